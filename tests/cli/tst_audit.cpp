// The change log: one whole record per change or failed attempt, never a secret, the logger's copy on a
// socket of the test's own, parallel writers, and a log that cannot be written.
#include "../common/moxsecFixture.h"
#include "../common/nobodyCopy.h"
#include "../common/testCertificates.h"

#include "core/auditScope.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

class TestAudit : public MoxsecFixture
{
    Q_OBJECT

    QString logPath() const { return m_dir->path() + "/var/log/moxsecurityconfig/audit.jsonl"; }
    QString work(const QString& name) const { return m_dir->path() + "/work/" + name; }
    // Every line of the log, each of which must be a JSON object.
    QList<QJsonObject> records() const
    {
        QList<QJsonObject> objects;
        if (!QFile::exists(logPath()))
            return objects;
        for (const QByteArray& line : readAll(logPath()).split('\n')) {
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!line.isEmpty())
                objects << (document.isObject() ? document.object()
                                                : QJsonObject{{"damaged", QString(line)}});
        }
        return objects;
    }
    int bindLogger()
    {
        QDir().mkpath(m_dir->path() + "/dev");
        const QByteArray path = QFile::encodeName(m_dir->path() + "/dev/log");
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
    }
    static QByteArrayList datagrams(int fd)
    {
        QByteArrayList all;
        char buffer[8192];
        for (ssize_t size; (size = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            all << QByteArray(buffer, int(size));
        return all;
    }
    int m_logger = -1;
    QByteArrayList m_datagrams;

    bool openssl(const QStringList& arguments) { return QProcess::execute("openssl", arguments) == 0; }

    // Runs command and checks it added actions (one record per core action it asked for, in order) and
    // that the last names subject ("#": a certificate's thumbprint), a path ending in file, who and how.
    void expect(const QStringList& command, const QByteArray& input, const QStringList& actions,
                const QString& subject = {}, const QString& file = {})
    {
        const int before = records().size();
        const Run run = moxsec(command, input);
        QVERIFY2(run.exitCode == 0, qPrintable(command.join(' ') + ": " + run.err));
        if (m_logger >= 0)
            m_datagrams << datagrams(m_logger); // a datagram socket's queue is short
        const QList<QJsonObject> all = records();
        QVERIFY2(all.size() == before + actions.size(), qPrintable(command.join(' ')));
        for (int i = 0; i < actions.size(); ++i)
            QCOMPARE(all.at(before + i)["action"].toString(), actions.at(i));
        if (actions.isEmpty())
            return;
        const QJsonObject last = all.last();
        QCOMPARE(last["result"].toString(), "ok");
        QCOMPARE(last["frontEnd"].toString(), "moxsec");
        QCOMPARE(last["realUser"].toString(), "nobody");
        QCOMPARE(last["uid"].toInt(), int(::geteuid()));
        const QString time = last["time"].toString();
        QVERIFY2(time.endsWith('Z') &&
                     QDateTime::fromString(time, Qt::ISODateWithMs).msecsTo(QDateTime::currentDateTimeUtc()) <
                         60000,
                 qPrintable(time));
        if (subject == "#")
            QVERIFY(QRegularExpression("^[0-9A-F]{40}$").match(last["subject"].toString()).hasMatch());
        else
            QCOMPARE(last["subject"].toString(), subject);
        const QStringList files = last["files"].toVariant().toStringList();
        QVERIFY2(std::any_of(files.begin(), files.end(), [&](const QString& f) { return f.endsWith(file); }),
                 qPrintable(files.join(", ")));
    }

private slots:
    void init()
    {
        MoxsecFixture::init();
        m_env.insert("SUDO_UID", "65534");
        QVERIFY(QDir().mkpath(work("")));
    }

    // Each changing command adds its records with who, what and how it went; dry runs add none. Neither
    // the log nor the logger's lines hold a password, pass phrase or hash.
    void everyChange()
    {
        m_logger = bindLogger();
        QVERIFY(m_logger >= 0);
        QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", work("ca.key"), "-out",
                         work("ca.pem"), "-subj", "/CN=Test CA", "-days", "10", "-addext",
                         "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign,cRLSign"}));
        TestCertificates certificates(work("client"));
        const QString client = certificates.make("panel.pem", "Panel");
        const QString thumbprint = certificates.thumbprint(client);
        const QStringList subject{"--country",      "DE",  "--state",   "BY",    "--locality", "Town",
                                  "--organization", "Org", "--uri-end", "Plant", "--yes"};
        const QStringList secrets{"alice-secret-1", "bob-secret-2", "bob-secret-3", "carol-secret-4",
                                  "dave-secret-5",  "key-phrase-6", "key-phrase-7", "config-phrase-8"};
        QCOMPARE(::chmod(QFile::encodeName(path("OpcUa/MoxOpcUa.ini")).constData(), 0640), 0);
        const QString users = "users.ini", config = "MoxOpcUa.ini",
                      phraseKey = "APPLICATION_PRIVATE_KEY_PASSWORD";

        expect({"auth", "create"}, {}, {"auth create"}, "", "OpcUa/users.ini");
        expect({"users", "add", "alice", "--role", "admin", "--password-stdin"}, "alice-secret-1\n",
               {"users add"}, "alice", users);
        expect({"users", "add", "bob", "--role", "guest", "--password-stdin"}, "bob-secret-2\n",
               {"users add"}, "bob", users);
        expect({"users", "add", "eve", "--role", "guest", "--password-stdin", "--dry-run"}, "eve-secret\n",
               {});
        expect({"users", "passwd", "bob", "--password-stdin"}, "bob-secret-3\n", {"users edit"}, "bob",
               users);
        expect({"users", "rename", "bob", "carol", "--password-stdin"}, "carol-secret-4\n", {"users edit"},
               "bob -> carol", users);
        expect({"users", "role", "carol", "operator"}, {}, {"users edit"}, "carol", users);
        expect({"users", "ensure", "dave", "--role", "guest", "--password-stdin"}, "dave-secret-5\n",
               {"users ensure"}, "dave", users);
        const QByteArray usersFile = readAll(path("OpcUa/users.ini"));
        expect({"users", "ensure", "dave", "--absent", "--yes"}, {}, {"users ensure"}, "dave", users);
        expect({"users", "remove", "carol", "--yes"}, {}, {"users remove"}, "carol", users);
        expect({"auth", "delete", "--yes"}, {}, {"auth delete"}, "", users);

        expect(QStringList{"cert", "generate", "opcua", "--passphrase-stdin", "--update-config"} + subject,
               "key-phrase-6\n", {"cert generate", "config set"}, "APPLICATION_URI," + phraseKey, config);
        expect(QStringList{"cert", "ensure", "opcua"} + subject.mid(0, 8), {}, {"cert ensure"}, "#",
               "cert.pem");
        expect({"cert", "renew", "opcua", "--yes"}, {}, {"cert renew"}, "#", "cert.pem");
        expect({"cert", "renew", "opcua", "--new-key", "--passphrase-stdin", "--update-config", "--yes"},
               "key-phrase-7\n", {"cert renew", "config set"}, phraseKey, config);
        expect({"config", "set-passphrase", "--passphrase-stdin"}, "config-phrase-8\n", {"config set"},
               phraseKey, config);
        expect({"config", "set-passphrase", "--passphrase-stdin"}, "key-phrase-7\n", {"config set"},
               phraseKey, config);
        expect({"config", "set-uri", "urn:audit:Plant"}, {}, {"config set"}, "APPLICATION_URI", config);
        expect({"folders", "create"}, {}, {"folders create"}, "", "pki/rejected");
        expect({"cert", "csr", "opcua", "--new-key", "--out", work("req.pem")}, {}, {"cert csr"}, "",
               "key.pem.pending");
        QVERIFY(write(work("ext"), "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
                                   "dataEncipherment\nextendedKeyUsage=serverAuth,clientAuth\n"));
        QVERIFY(openssl({"x509", "-req", "-in", work("req.pem"), "-CA", work("ca.pem"), "-CAkey",
                         work("ca.key"), "-CAcreateserial", "-days", "5", "-copy_extensions", "copy",
                         "-extfile", work("ext"), "-out", work("leaf.pem")}));
        expect({"cert", "install", "opcua", work("leaf.pem"), "--chain", work("ca.pem"), "--update-config",
                "--yes"},
               {}, {"cert install"}, certificates.thumbprint(work("leaf.pem")), "cert.pem");
        expect({"cert", "delete", "opcua", "--yes"}, {}, {"cert delete"}, "#", "cert.pem");

        expect({"trust", "import", client}, {}, {"trust import"}, thumbprint,
               "pki/trusted/Panel [" + thumbprint + "].pem");
        expect({"trust", "reject", thumbprint}, {}, {"trust reject"}, thumbprint, ".pem");
        expect({"trust", "accept", thumbprint}, {}, {"trust accept"}, thumbprint, ".pem");
        expect({"trust", "remove", thumbprint, "--yes"}, {}, {"trust remove"}, thumbprint, ".pem");
        expect({"trust", "crl-create", "--ca", work("ca.pem"), "--ca-key", work("ca.key"), "--days", "10"},
               {}, {"trust crl-create"}, certificates.thumbprint(work("ca.pem")), ".crl");
        expect({"folders", "delete", "--yes"}, {}, {"folders delete"}, "", "pki/rejected");
        const auto newest = [this] {
            return QJsonDocument::fromJson(moxsec({"backup", "list", "--json"}).out)["data"]["backups"]
                .toArray()
                .last()["id"]
                .toString();
        };
        const QString restored = newest();
        expect({"backup", "restore", restored, "--yes"}, {}, {"backup restore"}, restored, "pki/rejected");
        expect({"folders", "delete", "--yes"}, {}, {"folders delete"}, "", "pki/rejected");
        const QString deleted = newest();
        expect({"backup", "delete", deleted, "--yes"}, {}, {"backup delete"}, deleted, "pki/rejected");

        const int count = records().size();
        Problems problems;
        QCOMPARE(AuditTrail::read(logPath(), QDateTime(), &problems).size(), count);
        QVERIFY(problems.isEmpty());
        QByteArrayList hashes;
        for (const QByteArray& line : usersFile.split('\n'))
            if (line.contains('='))
                hashes << line.mid(line.indexOf('=') + 1).trimmed();
        QCOMPARE(hashes.size(), 3);
        const QByteArrayList lines = m_datagrams;
        ::close(m_logger);
        m_logger = -1;
        QCOMPARE(lines.size(), count);
        QVERIFY2(lines.first().startsWith("<85>") && lines.first().contains(" moxsecurityconfig[") &&
                     lines.first().contains("action=\"auth create\"") && lines.first().contains("result=ok"),
                 lines.first());
        const QByteArray everything = readAll(logPath()) + lines.join('\n');
        for (const QString& secret : secrets)
            QVERIFY2(!everything.contains(secret.toUtf8()), qPrintable(secret));
        for (const QByteArray& hash : hashes)
            QVERIFY2(!everything.contains(hash), hash);
    }

    // Failed in the core, refused by the rule book: recorded as failed with the reason the user saw (a
    // refused dry run is no change). A log that cannot be written warns naming it, and the change stays.
    void failures()
    {
        const QStringList generate{"cert", "generate",   "opcua", "--country",      "DE", "--state",
                                   "BY",   "--locality", "Town",  "--organization", "Org"};
        QVERIFY(write(path("OpcUa/pki/own/cert.pem"), "no key beside it"));
        const Run failed = moxsec(QStringList{"cert", "ensure", "opcua"} + generate.mid(3));
        QVERIFY(QFile::remove(path("OpcUa/pki/own/cert.pem")));
        QVERIFY(QDir(path("OpenSSL")).removeRecursively());
        QCOMPARE(moxsec(generate + QStringList{"--yes", "--dry-run"}).exitCode, 1);
        const Run refused = moxsec(generate + QStringList{"--yes"});
        const QList<QJsonObject> all = records();
        QCOMPARE(all.size(), 2);
        const QList<Run> runs{failed, refused};
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(runs.at(i).exitCode, 1);
            QCOMPARE(all.at(i)["action"].toString(), i ? "cert generate" : "cert ensure");
            QCOMPARE(all.at(i)["result"].toString(), "failed");
            const QString reason = all.at(i)["reason"].toString();
            QVERIFY2(!reason.isEmpty() && runs.at(i).err.contains(reason.section(" (", 0, 0).toUtf8()),
                     qPrintable(reason + " / " + runs.at(i).err));
        }

        QVERIFY(QFile::remove(logPath()) && QDir().mkpath(logPath()));
        QCOMPARE(moxsec({"auth", "create"}).exitCode, 0);
        const Run run =
            moxsec({"users", "add", "zoe", "--role", "admin", "--password-stdin"}, "zoe-secret-1\n");
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.contains("the change log could not be written") &&
                     run.err.contains(logPath().toUtf8()),
                 run.err);
        QVERIFY(readAll(path("OpcUa/users.ini")).contains("zoe"));
    }

    // Four processes appending at once leave whole lines, every one of them.
    void parallelWriters()
    {
        AuditTrail::setRoot(m_dir->path());
        AuditTrail::setFrontEnd("moxsec");
        const int writers = 4, each = 200;
        QList<pid_t> children;
        for (int w = 0; w < writers; ++w) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                // A long subject makes a torn line likely if writes were split.
                const AuditTrail::Event event{
                    "users add", {QString(3000, QChar('a' + w))}, QString::number(w)};
                bool ok = true;
                for (int i = 0; i < each; ++i) {
                    QString why;
                    ok = AuditTrail::append(AuditTrail::recordOf(event, true, true, {}), &why) && ok;
                }
                ::_exit(ok ? 0 : 1);
            }
            children << pid;
        }
        for (const pid_t pid : children) {
            int status = -1;
            QCOMPARE(::waitpid(pid, &status, 0), pid);
            QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        AuditTrail::setFrontEnd(QString());
        const QList<QJsonObject> all = records();
        QCOMPARE(all.size(), writers * each);
        for (const QJsonObject& record : all)
            QCOMPARE(record["files"].toArray().first().toString().size(), 3000);
        struct stat folder = {}, file = {};
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(logPath()).path()).constData(), &folder), 0);
        QCOMPARE(::stat(QFile::encodeName(logPath()).constData(), &file), 0);
        QCOMPARE(folder.st_mode & 07777, 0750u);
        QCOMPARE(file.st_mode & 07777, 0640u);
    }

    // Nobody can put another name on the trail: SUDO_UID counts only for a process sudo made root, and no
    // name or path can break the logger's line or forge a field in it.
    void noForgedEntries()
    {
        AuditTrail::Record record;
        record.event = {"users add", {"/a b/c=d"}, "x\ny=\"z\" \x1b[2K\r"};
        const QByteArray line = AuditTrail::keyValues(record);
        QVERIFY2(line.contains("subject=\"x\\x0ay=\\\"z\\\" \\x1b[2K\\x0d\"") &&
                     line.contains("files=\"/a b/c=d\""),
                 line.constData());
        for (const char raw : {'\n', '\r', '\x1b'})
            QVERIFY(!line.contains(raw));

        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty() || ::geteuid() != 0)
            QSKIP("needs root and setpriv");
        QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755) == 0);
        const QString folder = QFileInfo(logPath()).path();
        QVERIFY(QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
        QTemporaryDir programs;
        m_program = nobodyCopy(MOXSEC_PATH, programs.filePath("bin"), m_env);
        QVERIFY(!m_program.isEmpty() && ::chmod(QFile::encodeName(programs.path()).constData(), 0755) == 0);
        m_env.insert("SUDO_UID", "0");
        m_env.insert("PKEXEC_UID", "0");
        QCOMPARE(moxsec({"auth", "create"}, {}, {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"})
                     .exitCode,
                 1);
        const QList<QJsonObject> all = records();
        QCOMPARE(all.size(), 1);
        QCOMPARE(all.first()["result"].toString(), "failed");
        QCOMPARE(all.first()["uid"].toInt(), 65534);
        // Without a login uid the process's own user is the one behind it.
        bool set = false;
        const uint login = readAll("/proc/self/loginuid").trimmed().toUInt(&set);
        QCOMPARE(all.first()["realUid"].toInt(), set && login != uint(-1) ? int(login) : 65534);
    }

    // moxsec log: the records as JSON or a table, --since, and a damaged line reported but not fatal.
    void logCommand()
    {
        QCOMPARE(moxsec({"auth", "create"}).exitCode, 0);
        QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
        QFile log(logPath());
        QVERIFY(log.open(QIODevice::Append));
        log.write("{\"time\": broken\n");
        log.close();
        Run run = moxsec({"log", "--json"});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject out = QJsonDocument::fromJson(run.out).object();
        QCOMPARE(out["data"]["records"].toArray().size(), 2);
        QCOMPARE(out["data"]["records"][1]["action"].toString(), "folders create");
        QVERIFY2(out["warnings"].toArray().size() == 1 &&
                     out["warnings"][0]["message"].toString().contains("damaged"),
                 run.out);
        run = moxsec({"log"});
        QVERIFY2(run.out.contains("nobody as ") && run.out.contains("auth create") &&
                     run.err.contains("line 3"),
                 run.out + run.err);
        run = moxsec(
            {"log", "--json", "--since", QDateTime::currentDateTimeUtc().addSecs(60).toString(Qt::ISODate)});
        QCOMPARE(QJsonDocument::fromJson(run.out)["data"]["records"].toArray().size(), 0);
        QCOMPARE(moxsec({"log", "--since", "yesterday"}).exitCode, 2);
    }
};

QTEST_GUILESS_MAIN(TestAudit)
#include "tst_audit.moc"
