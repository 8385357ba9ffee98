// moxsec's backups end to end: what each deletion takes comes back from `backup restore` as it was.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "testCertificates.h"

#include <sys/stat.h>
#include <unistd.h>

class TestBackupCli : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_certificate, m_key;

    QString opcUa(const QString& relative) const { return m_dir->path() + "/mox/OpcUa/" + relative; }
    int moxsec(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr)
    {
        QProcess process;
        process.start(MOXSEC_PATH, QStringList{"--root", m_dir->path()} + arguments);
        if (!process.waitForFinished(30000))
            return -1;
        if (out)
            *out = process.readAllStandardOutput();
        if (err)
            *err = process.readAllStandardError();
        return process.exitCode();
    }
    QJsonArray backups()
    {
        QByteArray out;
        if (moxsec({"backup", "list", "--json"}, &out) != 0)
            return {QJsonValue("backup list failed")};
        return QJsonDocument::fromJson(out)["data"]["backups"].toArray();
    }
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
    static bool write(const QString& path, const QByteArray& data)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
    }
    static struct stat statOf(const QString& path)
    {
        struct stat st = {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        return st;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QProcess install;
        install.start("bash", {MOX_SAMPLE_SCRIPT, m_dir->path()});
        QVERIFY(install.waitForFinished(30000) && install.exitCode() == 0);
        QCOMPARE(moxsec({"folders", "create"}), 0);
        TestCertificates make(m_dir->filePath("certs"));
        const QString certificate = make.make("a.pem", "Panel");
        m_certificate = readAll(certificate);
        m_key = readAll(certificate + ".key");
    }

    void deleteListRestore_data()
    {
        // Files (under the OPC UA folder) the deletion takes, the command, the kind listed, and the place the
        // backup records (the folder for a folder deletion).
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("place");
        QTest::newRow("users file") << QStringList{"users.ini"} << QStringList{"auth", "delete"}
                                    << "users file"
                                    << "users.ini";
        QTest::newRow("key pair") << QStringList{"pki/own/private/key.pem", "pki/own/cert.pem"}
                                  << QStringList{"cert", "delete", "opcua"} << "key pair"
                                  << "pki/own/private/key.pem";
        QTest::newRow("folders") << QStringList{"pki/trusted/a.pem"} << QStringList{"folders", "delete"}
                                 << "folders"
                                 << "pki/trusted";
        QTest::newRow("trust remove")
            << QStringList{"pki/trusted/a.pem"} << QStringList{"trust", "remove", "a.pem"} << "trust files"
            << "pki/trusted/a.pem";
    }
    // The files come back byte for byte with their modes and group; a taken name refuses without --yes, and
    // with it what was there goes into a backup of its own, which `backup delete` removes for good.
    void deleteListRestore()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, command);
        QFETCH(QString, kind);
        QFETCH(QString, place);
        QMap<QString, QByteArray> bytes;
        for (const QString& file : files) {
            bytes[file] = file.endsWith("users.ini") ? QByteArray("[ADMIN]\r\n")
                          : file.endsWith("key.pem") ? m_key
                                                     : m_certificate;
            QVERIFY(write(opcUa(file), bytes[file]));
            QCOMPARE(::chmod(QFile::encodeName(opcUa(file)).constData(), 0640), 0);
            QCOMPARE(::chown(QFile::encodeName(opcUa(file)).constData(), 0, 65534), 0);
        }
        QCOMPARE(::chmod(QFile::encodeName(opcUa("pki/trusted")).constData(), 0750), 0);

        QByteArray out, err;
        QCOMPARE(moxsec(command + QStringList{"--yes"}, nullptr, &err), 0);
        QVERIFY2(!QFileInfo::exists(opcUa(place)), err.constData());
        QJsonArray listed = backups();
        QCOMPARE(listed.size(), 1);
        const QString id = listed.at(0)["id"].toString();
        QCOMPARE(listed.at(0)["kind"].toString(), kind);
        QCOMPARE(listed.at(0)["items"][0]["place"].toString(), opcUa(place));

        // A name taken since refuses, and nothing changes.
        QVERIFY(write(opcUa(files.first()), "new"));
        QCOMPARE(moxsec({"backup", "restore", id}, nullptr, &err), 1);
        QVERIFY2(err.contains("--yes"), err.constData());
        QCOMPARE(readAll(opcUa(files.first())), QByteArray("new"));

        QCOMPARE(moxsec({"backup", "restore", id, "--yes"}, nullptr, &err), 0);
        for (const QString& file : files) {
            QCOMPARE(readAll(opcUa(file)), bytes[file]);
            QCOMPARE(statOf(opcUa(file)).st_mode & 07777, 0640u);
            QCOMPARE(statOf(opcUa(file)).st_gid, gid_t(65534));
        }
        QCOMPARE(statOf(opcUa("pki/trusted")).st_mode & 07777, 0750u);

        // The restored backup is gone; what it replaced is the only one left, and it can be deleted.
        listed = backups();
        QCOMPARE(listed.size(), 1);
        const QString replaced = listed.at(0)["id"].toString();
        QVERIFY(replaced != id);
        const QString stored = QFileInfo(opcUa(place)).path() + "/.backup/" + replaced;
        QCOMPARE(readAll(stored +
                         (kind == "folders" ? "/trusted/a.pem" : '/' + QFileInfo(files.first()).fileName())),
                 QByteArray("new"));
        QCOMPARE(moxsec({"backup", "delete", replaced, "--yes"}), 0);
        QCOMPARE(backups().size(), 0);
        QVERIFY(!QFileInfo::exists(stored));
    }
};

QTEST_GUILESS_MAIN(TestBackupCli)
#include "tst_backup_cli.moc"
