// moxsec's backups end to end: what each deletion takes comes back from `backup restore` as it was.
#include "moxsecFixture.h"
#include "testCertificates.h"

#include <sys/stat.h>
#include <unistd.h>

class TestBackupCli : public MoxsecFixture
{
    Q_OBJECT

    QByteArray m_certificate, m_key;

    QString opcUa(const QString& relative) const { return path("OpcUa/" + relative); }
    QJsonArray backups() const
    {
        const Run run = moxsec({"backup", "list", "--json"});
        if (run.exitCode != 0)
            return {QJsonValue("backup list failed")};
        return QJsonDocument::fromJson(run.out)["data"]["backups"].toArray();
    }

private slots:
    void init()
    {
        MoxsecFixture::init();
        QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
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
        const auto row = [](const char* tag, QStringList files, QStringList command, QString kind,
                            QString place) { QTest::newRow(tag) << files << command << kind << place; };
        row("users file", {"users.ini"}, {"auth", "delete"}, "users file", "users.ini");
        row("key pair", {"pki/own/private/key.pem", "pki/own/cert.pem"}, {"cert", "delete", "opcua"},
            "key pair", "pki/own/private/key.pem");
        row("folders", {"pki/trusted/a.pem"}, {"folders", "delete"}, "folders", "pki/trusted");
        row("trust remove", {"pki/trusted/a.pem"}, {"trust", "remove", "a.pem"}, "trust files",
            "pki/trusted/a.pem");
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

        Run run = moxsec(command + QStringList{"--yes"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(!QFileInfo::exists(opcUa(place)), run.err.constData());
        QJsonArray listed = backups();
        QCOMPARE(listed.size(), 1);
        const QString id = listed.at(0)["id"].toString();
        QCOMPARE(listed.at(0)["kind"].toString(), kind);
        QCOMPARE(listed.at(0)["items"][0]["place"].toString(), opcUa(place));

        // A name taken since refuses, and nothing changes.
        QVERIFY(write(opcUa(files.first()), "new"));
        run = moxsec({"backup", "restore", id});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("--yes"), run.err.constData());
        QCOMPARE(readAll(opcUa(files.first())), QByteArray("new"));

        QCOMPARE(moxsec({"backup", "restore", id, "--yes"}).exitCode, 0);
        for (const QString& file : files) {
            QCOMPARE(readAll(opcUa(file)), bytes[file]);
            QCOMPARE(fileMode(opcUa(file)), 0640);
            QCOMPARE(QFileInfo(opcUa(file)).groupId(), 65534u);
        }
        QCOMPARE(fileMode(opcUa("pki/trusted")), 0750);

        // The restored backup is gone; what it replaced is the only one left, and it can be deleted.
        listed = backups();
        QCOMPARE(listed.size(), 1);
        const QString replaced = listed.at(0)["id"].toString();
        QVERIFY(replaced != id);
        const QString stored = QFileInfo(opcUa(place)).path() + "/.backup/" + replaced;
        QCOMPARE(readAll(stored +
                         (kind == "folders" ? "/trusted/a.pem" : '/' + QFileInfo(files.first()).fileName())),
                 QByteArray("new"));
        QCOMPARE(moxsec({"backup", "delete", replaced, "--yes"}).exitCode, 0);
        QCOMPARE(backups().size(), 0);
        QVERIFY(!QFileInfo::exists(stored));
    }
};

QTEST_GUILESS_MAIN(TestBackupCli)
#include "tst_backup_cli.moc"
