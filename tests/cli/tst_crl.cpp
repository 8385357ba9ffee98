// The CRL checks of status, trust crl-create and the expiry threshold of status, with openssl as the CA.
#include "../common/moxsecFixture.h"

class TestCrl : public MoxsecFixture
{
    Q_OBJECT

private:
    // A CRL of the CA issuer, from lastUpdate to nextUpdate (YYYYMMDDHHMMSSZ).
    bool makeCrl(const QString& issuer, const QString& out, const QString& last, const QString& next) const
    {
        const QString config = ca("ca.cnf");
        return write(ca("index.txt"), "") &&
               write(config, "[ca]\ndefault_ca=d\n[d]\ndatabase=" + ca("index.txt").toUtf8() +
                                 "\ndefault_md=sha256\n") &&
               openssl({"ca", "-config", config, "-gencrl", "-cert", ca(issuer + ".pem"), "-keyfile",
                        ca(issuer + ".key"), "-crl_lastupdate", last, "-crl_nextupdate", next, "-out", out});
    }
    QString status() const { return QString::fromUtf8(moxsec({"status"}).out); }

    const QString m_past = "20200101000000Z", m_later = "20200201000000Z", m_future = "20991231000000Z";
    const QString m_noCrl = "has no CRL in the revocation folder", m_expired = "expired on 2020-02-01",
                  m_unknown = "is signed by no CA of the issuers or trust folder";

private slots:
    void warnings_data()
    {
        // The folder that holds CA A, the CAs that issue a CRL each (F is named A), its next update.
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("crls");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no CRL") << "issuers" << QStringList{} << m_future << QStringList{m_noCrl};
        QTest::newRow("expired CRL") << "issuers" << QStringList{"A"} << m_later << QStringList{m_expired};
        QTest::newRow("CRL of an unknown CA")
            << "issuers" << QStringList{"A", "B"} << m_future << QStringList{m_unknown};
        // The issuer's name is A's, the key another's: only the signature tells.
        QTest::newRow("CRL forged in a known CA's name")
            << "issuers" << QStringList{"F"} << m_future << QStringList{m_noCrl, m_unknown};
        QTest::newRow("all right") << "trusted" << QStringList{"A"} << m_future << QStringList{};
    }
    void warnings()
    {
        QFETCH(QString, folder);
        QFETCH(QStringList, crls);
        QFETCH(QString, next);
        QFETCH(QStringList, expected);
        QVERIFY(makeCa("A", "A") && makeCa("B", "B") && makeCa("F", "A"));
        QVERIFY(write(path("OpcUa/pki/" + folder + "/A.pem"), readAll(ca("A.pem"))));
        QDir().mkpath(path("OpcUa/pki/crl"));
        for (const QString& issuer : crls)
            QVERIFY(makeCrl(issuer, path("OpcUa/pki/crl/" + issuer + ".crl"), m_past, next));
        const QString out = status();
        for (const QString& phrase : {m_noCrl, m_expired, m_unknown})
            QVERIFY2(out.contains(phrase) == expected.contains(phrase), qPrintable(out));
        // Only status reads every CA and CRL; the load that every command shares does not.
        QVERIFY(!QString::fromUtf8(moxsec({"users", "list"}).out).contains("CRL"));
    }

    void crlCreate()
    {
        QVERIFY(makeCa("A", "A", true));
        QVERIFY(write(path("OpcUa/pki/issuers/A.pem"), readAll(ca("A.pem"))));
        QDir().mkpath(path("OpcUa/pki/crl"));
        const QStringList create{"trust",     "crl-create",         "--ca",   ca("A.pem"), "--ca-key",
                                 ca("A.key"), "--passphrase-stdin", "--days", "10"};
        const auto before = files();
        QCOMPARE(moxsec(create, "wrong\n").exitCode, 1);
        QCOMPARE(files(), before);

        const Run run = moxsec(create, "secret\n");
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QStringList written = QDir(path("OpcUa/pki/crl")).entryList(QDir::Files);
        QCOMPARE(written.size(), 1);
        QVERIFY(openssl({"crl", "-inform", "DER", "-in", path("OpcUa/pki/crl/" + written.first()), "-CAfile",
                         ca("A.pem"), "-noout", "-verify"}));
        QVERIFY(!status().contains(m_noCrl));
        // Made again, it replaces the CA's earlier list.
        QTest::qSleep(1100);
        QCOMPARE(moxsec(create, "secret\n").exitCode, 0);
        QCOMPARE(QDir(path("OpcUa/pki/crl")).entryList(QDir::Files), written);
    }

    void warnDays()
    {
        QCOMPARE(generate("opcua", {"--dns", QSysInfo::machineHostName(), "--days", "40"}).exitCode, 0);
        const QByteArray expires = "The certificate expires on";
        const Run warned = moxsec({"status", "--warn-days", "60", "--strict"});
        QVERIFY2(warned.exitCode == 1 && (warned.out + warned.err).contains(expires), warned.out);
        const Run quiet = moxsec({"status", "--warn-days", "30", "--strict"});
        QVERIFY2(quiet.exitCode == 0 && !(quiet.out + quiet.err).contains(expires), quiet.out + quiet.err);
        QCOMPARE(moxsec({"status", "--warn-days", "soon"}).exitCode, 2);
    }
};

QTEST_GUILESS_MAIN(TestCrl)
#include "tst_crl.moc"
