// A CA round trip with openssl as an independent CA: moxsec writes the request, openssl signs it, and moxsec
// installs the answer only when every check passes, else it names the reason and writes nothing.
#include "../common/moxsecFixture.h"
#include "../common/testFiles.h"

#include <sys/stat.h>

class TestCa : public MoxsecFixture
{
    Q_OBJECT

    const QString m_cert = "OpcUa/pki/own/cert.pem", m_key = "OpcUa/pki/own/private/key.pem";

private slots:
    void init()
    {
        MoxsecFixture::init();
        const Run generated = generate("opcua", {"--uri-end", "TestServer", "--dns", "plant.example"});
        QVERIFY2(generated.exitCode == 0, generated.err);
        QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
        QVERIFY(makeCa());
    }

    void roundTrip_data()
    {
        QTest::addColumn<bool>("newKey");
        QTest::newRow("installed key") << false;
        QTest::newRow("new key") << true;
    }

    void roundTrip()
    {
        QFETCH(bool, newKey);
        const QByteArray oldKey = readAll(path(m_key));
        const auto inode = [](const QString& file) {
            struct stat st;
            return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_ino : ino_t(0);
        };
        const ino_t oldInode = inode(path(m_key));
        const QString request = ca("req.pem");
        QStringList csr{"cert", "csr", "opcua", "--out", request, "--unit", "Line 1"};
        if (newKey)
            csr << "--new-key";
        const Run made = moxsec(csr);
        QVERIFY2(made.exitCode == 0, made.err);

        // openssl checks the request's signature; its names are the installed certificate's, the unit
        // overridden.
        QByteArray shown;
        QVERIFY(openssl({"req", "-in", request, "-verify", "-noout", "-text"}, {}, &shown));
        for (const char* expected : {"C = DE, ST = BY, L = Town, O = Org, OU = Line 1, CN = MOX-OPC_UA@",
                                     "URI:urn:MOX:UA:TestServer", "DNS:plant.example"})
            QVERIFY2(shown.contains(expected), shown);

        const QString pending = path(m_key) + ".pending";
        QCOMPARE(QFileInfo::exists(pending), newKey);
        if (newKey) {
            QCOMPARE(fileMode(pending), 0600);
            QVERIFY(moxsec({"status"}).out.contains(".pending"));
        }

        QVERIFY(sign(request, ca("leaf.pem")));
        const Run installed =
            moxsec({"cert", "install", "opcua", ca("leaf.pem"), "--chain", ca("ca.pem"), "--yes"});
        QVERIFY2(installed.exitCode == 0, installed.err);
        QCOMPARE(readAll(path(m_cert)), readAll(ca("leaf.pem")));
        QCOMPARE(readAll(path(m_key)) == oldKey, !newKey);
        QCOMPARE(inode(path(m_key)) == oldInode, !newKey); // a kept key is not written again
        QVERIFY(!QFileInfo::exists(pending));
        QVERIFY(QDir(path("OpcUa/pki/issuers")).entryList(QDir::Files).join(' ').contains("Test CA"));
        QVERIFY(QDir(path("OpcUa/pki/own/.backup")).exists());
        const Run status = moxsec({"status", "--json"});
        QVERIFY2(status.exitCode == 0 && status.out.contains("\"errors\":[]"), status.out + status.err);

        // The same leaf again leaves the pair alone, with no backup and no question; only a chain gone
        // meanwhile comes back.
        const auto backups = [this] {
            return QDir(path("OpcUa/pki/own/.backup")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        };
        const QStringList backupsBefore = backups();
        const ino_t certInode = inode(path(m_cert));
        for (const bool chainGone : {true, false}) {
            QDir issuers(path("OpcUa/pki/issuers"));
            for (const QString& name : chainGone ? issuers.entryList(QDir::Files) : QStringList())
                QVERIFY(issuers.remove(name));
            const Run again =
                moxsec({"cert", "install", "opcua", ca("leaf.pem"), "--chain", ca("ca.pem"), "--json"});
            QVERIFY2(again.exitCode == 0, again.err);
            QVERIFY2(again.out.contains(chainGone ? "\"changed\":true" : "\"changed\":false"), again.out);
            QCOMPARE(inode(path(m_cert)), certInode);
            QCOMPARE(backups(), backupsBefore);
            QVERIFY(issuers.entryList(QDir::Files).join(' ').contains("Test CA"));
        }
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("csrOptions");
        QTest::addColumn<QByteArray>("extensions");
        QTest::addColumn<int>("days");
        QTest::addColumn<bool>("chain");
        QTest::addColumn<QByteArray>("reason");
        const auto row = [](const char* tag, QStringList csr, QByteArray extensions, int days, bool chain,
                            QByteArray reason) {
            QTest::newRow(tag) << csr << extensions << days << chain << reason;
        };
        row("another key", {"OTHER"}, {}, 30, true, "installed or the pending key");
        row("another URI", {"--uri-end", "Other"}, {}, 30, true, "uri is application_uri");
        row("expired", {}, {}, 0, true, "valid now");
        row("no chain", {}, {}, 30, false, "verifies up to a ca");
        row("wrong usages", {}, "keyUsage=digitalSignature\n", 30, true, "usages of an application instance");
    }

    void refusals()
    {
        QFETCH(QStringList, csrOptions);
        QFETCH(QByteArray, extensions);
        QFETCH(int, days);
        QFETCH(bool, chain);
        QFETCH(QByteArray, reason);
        const QString request = ca("req.pem");
        if (csrOptions == QStringList{"OTHER"}) {
            QVERIFY(openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", ca("other.key"),
                             "-subj", "/CN=other", "-addext", "subjectAltName=URI:urn:MOX:UA:TestServer",
                             "-out", request}));
        } else {
            const Run made = moxsec(QStringList{"cert", "csr", "opcua", "--out", request} + csrOptions);
            QVERIFY2(made.exitCode == 0, made.err);
        }
        QVERIFY(sign(request, ca("leaf.pem"), extensions, days));
        if (days == 0)
            QTest::qWait(1100); // openssl ends it at this second
        const QMap<QString, QByteArray> before = files();
        QStringList install{"cert", "install", "opcua", ca("leaf.pem"), "--yes"};
        if (chain)
            install << "--chain" << ca("ca.pem");
        const Run refused = moxsec(install);
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.toLower().contains(reason), refused.err);
        QCOMPARE(files(), before);
    }

    // A certificate naming another URI than APPLICATION_URI (refused without --update-config, see refusals):
    // with it the configuration follows; a dry run names every change and leaves every file as it was.
    void otherUri_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArrayList>("reported");
        QTest::newRow("update") << QStringList() << QByteArrayList{"Installed"};
        QTest::newRow("dry run") << QStringList{"--dry-run"}
                                 << QByteArrayList{"Would replace the certificate", "by the pending key",
                                                   "Would import 1 CA certificate",
                                                   "Would write APPLICATION_URI=urn:MOX:UA:Other into"};
    }

    void otherUri()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArrayList, reported);
        const QString request = ca("req.pem");
        const Run made =
            moxsec({"cert", "csr", "opcua", "--out", request, "--uri-end", "Other", "--new-key"});
        QVERIFY2(made.exitCode == 0, made.err);
        QVERIFY(sign(request, ca("leaf.pem")));
        const QMap<QString, QByteArray> before = files();
        const Run run = moxsec(QStringList{"cert", "install", "opcua", ca("leaf.pem"), "--chain",
                                           ca("ca.pem"), "--update-config", "--yes"} +
                               options);
        QVERIFY2(run.exitCode == 0, run.err);
        for (const QByteArray& expected : reported)
            QVERIFY2(run.out.contains(expected), run.out);
        if (!options.isEmpty()) {
            QCOMPARE(files(), before);
            return;
        }
        QCOMPARE(readAll(path(m_cert)), readAll(ca("leaf.pem")));
        QVERIFY(readAll(path("OpcUa/MoxOpcUa.ini")).contains("\nAPPLICATION_URI=urn:MOX:UA:Other\n"));
        const Run status = moxsec({"status", "--json"});
        QVERIFY2(status.exitCode == 0 && status.out.contains("\"errors\":[]"), status.out + status.err);
    }
};

QTEST_GUILESS_MAIN(TestCa)
#include "tst_ca.moc"
