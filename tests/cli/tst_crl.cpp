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
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no CRL") << "none" << QStringList{m_noCrl};
        QTest::newRow("expired CRL") << "expired" << QStringList{m_expired};
        QTest::newRow("CRL of an unknown CA") << "unknown" << QStringList{m_unknown};
        // The issuer's name is A's, the key another's: only the signature tells.
        QTest::newRow("CRL forged in a known CA's name") << "forged" << QStringList{m_noCrl, m_unknown};
        QTest::newRow("all right") << "valid" << QStringList{};
    }
    void warnings()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, expected);
        QVERIFY(makeCa("A", "A") && makeCa("B", "B") && makeCa("F", "A"));
        const QString folder = setup == "valid" ? "pki/trusted/" : "pki/issuers/";
        QVERIFY(write(path("OpcUa/" + folder + "A.pem"), readAll(ca("A.pem"))));
        QDir().mkpath(path("OpcUa/pki/crl"));
        const QString crl = path("OpcUa/pki/crl/list.crl");
        if (setup == "expired")
            QVERIFY(makeCrl("A", crl, m_past, m_later));
        if (setup == "valid" || setup == "unknown")
            QVERIFY(makeCrl("A", crl, m_past, m_future));
        if (setup == "unknown")
            QVERIFY(makeCrl("B", path("OpcUa/pki/crl/other.crl"), m_past, m_future));
        if (setup == "forged")
            QVERIFY(makeCrl("F", crl, m_past, m_future));
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
