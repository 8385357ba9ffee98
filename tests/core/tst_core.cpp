#include "coreFixture.h"

#include "core/backup.h"
#include "core/certificateGenerator.h"
#include "core/configSnapshot.h"
#include "core/rootedEnumerator.h"
#include "core/securityActions.h"
#include "core/usersService.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Mox::Ini;

namespace {
int modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}
} // namespace

class TestCore : public CoreFixture
{
    Q_OBJECT

    ConfigSnapshot load()
    {
        RootedInstEnumerator instances(root());
        instances.Refresh();
        return ConfigSnapshot::load(instances.GetActiveInstance());
    }
    static QStringList messages(const Problems& problems)
    {
        QStringList lines;
        for (const Problem& problem : problems)
            lines << problem.text();
        return lines;
    }

private slots:
    void snapshot_data();
    void snapshot();
    void untrustedFilesNeverHang();
    void generatorMakesAPrivatePairThroughPlantedLinks();
    void userEditsLandWholeOrNotAtAll();
    void createdFilesTakeTheConfigurationsOwnership();
    void deletionsKeepABackup();
};

void TestCore::snapshot_data()
{
    // Changes to the sample configuration; the errors (message, then detail); the certificate path shown
    // relative to mox/ (or as written); whether generation applies; the salt the users file is read with.
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("canGenerate");
    QTest::addColumn<QString>("salt");
    QTest::newRow("sample") << QStringList{} << QStringList{} << "mox:OpcUa/pki/own/cert.pem" << true
                            << "k7ud30";
    QTest::newRow("paths as written") << QStringList{"USE_RELATIVE_PATH=N", "OPTIONAL_ENCODING_SALT=pepper"}
                                      << QStringList{} << "pki/own/cert.pem" << true << "pepper";
    QTest::newRow("lower-case yes")
        << QStringList{"USE_RELATIVE_PATH=yes"}
        << QStringList{"The OPC UA config file is invalid.\nUSE_RELATIVE_PATH=yes"} << "pki/own/cert.pem"
        << false << "k7ud30";
    QTest::newRow("missing keys") << QStringList{"APPLICATION_URI", "CREDENTIALS_INI_PATH",
                                                 "OPTIONAL_ENCODING_SALT"}
                                  << QStringList{"The OPC UA config does not contain: APPLICATION_URI",
                                                 "The OPC UA config does not contain: CREDENTIALS_INI_PATH"}
                                  << "mox:OpcUa/pki/own/cert.pem" << true << "k7ud30";
}

void TestCore::snapshot()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, errors);
    QFETCH(QString, certificate);
    QFETCH(bool, canGenerate);
    QFETCH(QString, salt);
    configure(changes);
    const ConfigSnapshot s = load();
    QCOMPARE(messages(s.errors), errors);
    QCOMPARE(s.opcUaCertificate.path, certificate.startsWith("mox:") ? mox(certificate.mid(4)) : certificate);
    QVERIFY(s.opcUaCertificate.configured && !s.opcUaCertificate.exists);
    QCOMPARE(s.canGenerateOpcUa, canGenerate);
    QCOMPARE(s.effectiveSalt(), salt);
    QCOMPARE(s.canGenerateFolders && !s.canDeleteFolders, true);
}

void TestCore::untrustedFilesNeverHang()
{
    // A key, users file or configuration that is a device or FIFO is an error naming it, never a hang.
    QVERIFY(QFile::remove(mox("OpcUa/users.ini")) || true);
    QCOMPARE(::mkfifo(QFile::encodeName(mox("OpcUa/users.ini")).constData(), 0600), 0);
    QVERIFY(write(mox("OpcUa/pki/own/cert.pem"), "x"));
    configure({"APPLICATION_PRIVATE_KEY_PATH=/dev/zero", "APPLICATION_PRIVATE_KEY_PASSWORD=secret-phrase"});
    ConfigSnapshot s = load();
    const QStringList lines = messages(s.errors);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("The OPC UA Auth file was not parsed correctly.\n") &&
                 lines[0].contains(mox("OpcUa/users.ini")),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("The passphrase in OPC UA config does not work for the key.\n") &&
                 lines[1].contains("/dev/zero"),
             qPrintable(lines[1]));
    // What is meant for display never holds the pass phrase.
    QVERIFY(!lines.join(' ').contains("secret-phrase") && !messages(s.warnings).join(' ').contains("secret"));

    QVERIFY(QFile::remove(mox("OpcUa/MoxOpcUa.ini")));
    QCOMPARE(::mkfifo(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0600), 0);
    s = load();
    QCOMPARE(s.errors.value(0).message, QString("The OPC UA config file was not parsed correctly."));
    QVERIFY(s.errors.value(0).detail.contains(mox("OpcUa/MoxOpcUa.ini")));
}

void TestCore::generatorMakesAPrivatePairThroughPlantedLinks()
{
    // Someone who may write into the key's folder planted links at the outputs: they are replaced, and
    // what they pointed at is never written.
    QVERIFY(write(mox("victim"), "root's file"));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/own/private")));
    QVERIFY(QFile::link(mox("victim"), mox("OpcUa/pki/own/private/key.pem")));
    QVERIFY(QFile::link(mox("victim"), mox("OpcUa/pki/own/cert.der")));
    QVERIFY(QFile::link(mox("victim"), mox("OpcUa/pki/own/openssl_v3.ext")));
    QCOMPARE(::chown(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0, 65534), 0);
    QCOMPARE(::chmod(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0644), 0);
    const ConfigSnapshot s = load();

    CertificateRequest request;
    request.opensslDir = s.opensslDir;
    request.certPath = mox("OpcUa/pki/own/cert.der");
    request.keyPath = s.opcUaKey.path;
    request.country = "DE", request.state = "S", request.locality = "L", request.organization = "O";
    request.commonName = "server";
    request.uri = "urn:example:server";
    request.dnsNames = QStringList{"plant.example"};
    request.ipAddresses = QStringList{"10.0.0.30"};
    request.pem = false;
    request.protectKey = true;
    request.passphrase = "open sesame";
    QVERIFY(request.validate().isEmpty());
    const mode_t umask = ::umask(0);
    const CertificateGenerator::Result result =
        CertificateGenerator().generate(request, SecurityActions(s).ownership());
    ::umask(umask);
    QVERIFY2(result.ok, qPrintable(result.message + ' ' + result.cause));
    QCOMPARE(readAll(mox("victim")), QByteArray("root's file"));
    for (const QString& file : {request.keyPath, request.certPath}) {
        QVERIFY(QFileInfo(file).isFile() && !QFileInfo(file).isSymLink());
        QCOMPARE(modeOf(file), 0640); // the configuration's group may read it, others nothing
        QCOMPARE(int(QFileInfo(file).groupId()), 65534);
    }
    QVERIFY(QFileInfo(mox("OpcUa/pki/own/openssl_v3.ext")).isSymLink()); // left alone
    QCOMPARE(QDir(mox("OpcUa/pki/own")).entryList({"*.tmp"}, QDir::Hidden | QDir::Files), QStringList());
    QVERIFY(ConfigSnapshot::keyOpensWith(request.keyPath, "open sesame"));
    QVERIFY(!ConfigSnapshot::keyOpensWith(request.keyPath, "wrong"));
    QProcess openssl;
    openssl.start("openssl",
                  {"x509", "-inform", "DER", "-in", request.certPath, "-noout", "-ext", "subjectAltName"});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(QString(openssl.readAllStandardOutput()).simplified(),
             QString("X509v3 Subject Alternative Name: URI:urn:example:server, DNS:plant.example, IP "
                     "Address:10.0.0.30"));

    // Bad input is refused before anything runs.
    request.ipAddresses = QStringList{"10.0.0.300"};
    request.dnsNames = QStringList{"bad_name"};
    QCOMPARE(request.validate(), QStringList({"'bad_name' is not a valid DNS name.",
                                              "'10.0.0.300' is not an IPv4 or IPv6 address."}));
}

void TestCore::userEditsLandWholeOrNotAtAll()
{
    ConfigSnapshot s = load();
    SecurityActions(s).createUsersFile();
    s = load();
    std::unique_ptr<IniAuth> store = s.takeUsersStore();
    QVERIFY(store);
    const UsersService users(store.get());
    QCOMPARE(users.add("alice", "alicepw", eAuthRole_Admin), eAuthRoleCode_Good);
    QCOMPARE(users.add("bob", "bobspw", eAuthRole_Guest), eAuthRoleCode_Good);
    const QByteArray before = readAll(s.usersFile.path);

    // A rename onto an existing name, with a new role: nothing lands.
    QCOMPARE(users.edit(User("alice", eAuthRole_Admin), "bob", eAuthRole_Operator, "newpass"),
             eAuthRoleCode_BadAlreadyExist);
    QCOMPARE(readAll(s.usersFile.path), before);
    QCOMPARE(users.check("alice", "alicepw"), eAuthRole_Admin);

    // A save that cannot be written (file size limit): nothing lands either, also in memory.
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{16, 16};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const AuthRoleCode code =
            users.edit(User("alice", eAuthRole_Admin), "alicia", eAuthRole_Guest, "newpass");
        std::vector<User> list;
        users.list(list);
        ::_exit(code == eAuthRoleCode_BadCannotSaveFile && list.size() == 2 && list[0].m_name == "alice" ? 0
                                                                                                         : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(readAll(s.usersFile.path), before);

    // Role, name and password together: the user logs in under the new name at once.
    QCOMPARE(users.edit(User("alice", eAuthRole_Admin), "alicia", eAuthRole_Operator, "newpass"),
             eAuthRoleCode_Good);
    QCOMPARE(users.check("alicia", "newpass"), eAuthRole_Operator);
    QCOMPARE(users.check("alice", "alicepw"), eAuthRole_None);
    QCOMPARE(UsersService::nameError("x"), QString("This field has to have between 2 and 20 characters."));
    QCOMPARE(UsersService::nameError("a=b"),
             QString("The name cannot contain \"=\", a line break or a NUL, or begin with \";\"."));
}

void TestCore::createdFilesTakeTheConfigurationsOwnership()
{
    // Whatever the umask: the configuration's group and bits, never anything for others.
    QVERIFY(QFile::remove(mox("OpcUa/users.ini")) || true);
    QCOMPARE(::chown(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0, 65534), 0);
    QCOMPARE(::chmod(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0664), 0);
    const mode_t umask = ::umask(0);
    const ConfigSnapshot s = load();
    const SecurityActions actions(s);
    const ActionResult created = actions.createUsersFile();
    const ActionResult folders = actions.createClientFolders();
    ::umask(umask);
    QVERIFY(created.ok && created.changed && folders.ok && folders.changed);
    QCOMPARE(modeOf(s.usersFile.path), 0660);
    QCOMPARE(int(QFileInfo(s.usersFile.path).groupId()), 65534);
    for (const PathState* folder : s.clientFolders())
        QCOMPARE(modeOf(folder->path), 0750);

    // Deleting the folders keeps one that holds the configuration and says why.
    configure({"CERTIFICATE_TRUST_LIST_PATH=."});
    const ActionResult removed = SecurityActions(load()).deleteClientFolders();
    QVERIFY(!removed.ok && removed.changed);
    QCOMPARE(removed.problems.size(), 1);
    QVERIFY2(removed.problems[0].message.contains(mox("OpcUa/MoxOpcUa.ini")),
             qPrintable(removed.problems[0].message));
    QVERIFY(QFile::exists(mox("OpcUa/MoxOpcUa.ini")) && !QFileInfo::exists(mox("OpcUa/pki/issuers")));
}

void TestCore::deletionsKeepABackup()
{
    // Each deletion moves the users file into a new backup; restoring gives it back byte for byte.
    QStringList made;
    for (int round = 0; round < 12; ++round) {
        ConfigSnapshot s = load();
        QVERIFY(SecurityActions(s).createUsersFile().ok);
        QVERIFY(write(s.usersFile.path, "[ADMIN]\r\nround=" + QByteArray::number(round) + "\r\n"));
        const ActionResult removed = SecurityActions(load()).deleteUsersFile();
        QVERIFY(removed.ok && removed.changed && removed.backups.size() == 1);
        made << removed.backups.first();
        QVERIFY(!QFile::exists(s.usersFile.path));
    }
    const QDir backups(mox("OpcUa/.backup"));
    QCOMPARE(modeOf(backups.path()), 0700);
    // The ten newest are kept, the oldest two pruned.
    QCOMPARE(backups.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name).size(), Backup::s_kept);
    QVERIFY(!QFileInfo::exists(made.at(1)) && QFileInfo::exists(made.at(2)));
    QCOMPARE(readAll(made.last() + "/users.ini"), QByteArray("[ADMIN]\r\nround=11\r\n"));
    QCOMPARE(modeOf(made.last()), 0700);
    QCOMPARE(modeOf(made.last() + "/users.ini"), 0600);

    // A planted link in place of the backup folder is never followed: nothing is moved, and it says why.
    QVERIFY(QDir(backups.path()).removeRecursively() && QFile::link(mox("elsewhere"), backups.path()));
    QVERIFY(QDir().mkpath(mox("elsewhere")));
    ConfigSnapshot s = load();
    QVERIFY(SecurityActions(s).createUsersFile().ok);
    const ActionResult refused = SecurityActions(load()).deleteUsersFile();
    QVERIFY(!refused.ok && QFile::exists(s.usersFile.path));
    QVERIFY(QDir(mox("elsewhere")).isEmpty());
    QVERIFY(SecurityActions(load()).deleteUsersFile(false).ok && !QFile::exists(s.usersFile.path));
}

QTEST_MAIN(TestCore)
#include "tst_core.moc"
