// cert renew: a new self-signed certificate that keeps what peers and the server rely on (key, URI, names,
// usages), changes only when due, and leaves the old certificate in a backup.
#include "moxsecFixture.h"

class TestRenew : public MoxsecFixture
{
    Q_OBJECT

private:
    // A self-signed pair made by openssl in the sample's configured place, valid for days.
    bool makePair(int days)
    {
        return QDir().mkpath(QFileInfo(key()).path()) &&
               openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key(), "-out", cert(),
                        "-days", QString::number(days), "-subj", "/C=DE/O=Acme/CN=Plant 1", "-addext",
                        "subjectAltName=URI:urn:plant:server,DNS:plant1.example,IP:10.0.0.7", "-addext",
                        "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
                        "-addext", "extendedKeyUsage=serverAuth,clientAuth"});
    }
    // openssl x509 -noout with the given options on the installed certificate.
    static QByteArray x509(const QString& cert, const QStringList& options)
    {
        QByteArray out;
        openssl(QStringList{"x509", "-noout", "-in", cert} + options, {}, &out); // -checkend fails when due
        return out;
    }

    QString cert() const { return path("OpcUa/pki/own/cert.pem"); }
    QString key() const { return path("OpcUa/pki/own/private/key.pem"); }

private slots:
    void renewKeepsWhatPeersRelyOn_data()
    {
        QTest::addColumn<bool>("newKey");
        QTest::newRow("key kept") << false;
        QTest::newRow("new key") << true;
    }

    void renewKeepsWhatPeersRelyOn()
    {
        QFETCH(bool, newKey);
        QVERIFY(makePair(400));
        const QStringList names{"-subject", "-ext", "subjectAltName,keyUsage,extendedKeyUsage"};
        const QByteArray oldNames = x509(cert(), names), oldKey = x509(cert(), {"-pubkey"});
        const QByteArray oldSerial = x509(cert(), {"-serial"}),
                         oldFingerprint = x509(cert(), {"-fingerprint"});
        QVERIFY(oldNames.contains("URI:urn:plant:server"));

        const Run run = moxsec(QStringList{"--json", "cert", "renew", "opcua", "--days", "30", "--yes"} +
                               (newKey ? QStringList{"--new-key"} : QStringList()));
        QVERIFY2(run.exitCode == 0, run.out + run.err);
        const QJsonObject data = QJsonDocument::fromJson(run.out).object().value("data").toObject();

        QCOMPARE(x509(cert(), names), oldNames);
        QCOMPARE(x509(cert(), {"-pubkey"}) == oldKey, !newKey);
        QVERIFY(x509(cert(), {"-serial"}) != oldSerial);
        QVERIFY(x509(cert(), {"-checkend", QString::number(29 * 86400)}).contains("will not expire"));
        QVERIFY(x509(cert(), {"-checkend", QString::number(31 * 86400)}).contains("will expire"));
        // The thumbprints printed are those of the files, so peers can be told which one to trust.
        QCOMPARE("SHA1 Fingerprint=" + data.value("oldThumbprint").toString().toLatin1(),
                 oldFingerprint.trimmed().replace(":", ""));
        QCOMPARE("SHA1 Fingerprint=" + data.value("newThumbprint").toString().toLatin1(),
                 x509(cert(), {"-fingerprint"}).trimmed().replace(":", ""));
        // The key in place signs the certificate in place.
        QByteArray publicKey;
        QVERIFY(openssl({"verify", "-CAfile", cert(), cert()}) &&
                openssl({"pkey", "-in", key(), "-pubout"}, {}, &publicKey));
        QCOMPARE(publicKey, x509(cert(), {"-pubkey"}));
        // The old certificate is in the backup, and the old key only when it was replaced.
        const QJsonArray backups = data.value("backups").toArray();
        QStringList kept;
        for (const QJsonValue backup : backups)
            kept << QDir(backup.toString()).entryList(QDir::Files);
        QCOMPARE(kept, newKey ? QStringList({"key.pem", "cert.pem"}) : QStringList{"cert.pem"});
        QCOMPARE(x509(backups.last().toString() + "/cert.pem", {"-fingerprint"}), oldFingerprint);
    }

    void ifExpiresWithin_data()
    {
        QTest::addColumn<int>("days");
        QTest::addColumn<bool>("renewed");
        QTest::newRow("valid for a year") << 365 << false;
        QTest::newRow("expires tomorrow") << 1 << true;
    }

    void ifExpiresWithin()
    {
        QFETCH(int, days);
        QFETCH(bool, renewed);
        QVERIFY(makePair(days));
        const QMap<QString, QByteArray> before = files();
        const Run run = moxsec(
            {"--json", "cert", "renew", "opcua", "--if-expires-within", "30", "--days", "365", "--yes"});
        QVERIFY2(run.exitCode == 0, run.out + run.err);
        QCOMPARE(QJsonDocument::fromJson(run.out).object().value("changed").toBool(), renewed);
        if (!renewed)
            QCOMPARE(files(), before);
        else
            QVERIFY(x509(cert(), {"-checkend", QString::number(300 * 86400)}).contains("will not expire"));
    }

    // The example units as installed, with ExecStart on the built moxsec: systemd reports unknown keys and
    // sections only as warnings, so its output must be empty too.
    void systemdUnitsVerify()
    {
        if (QStandardPaths::findExecutable("systemd-analyze").isEmpty())
            QSKIP("systemd-analyze is not installed (Debian package systemd)");
        const QDir examples(QFileInfo(MOX_SAMPLE_SCRIPT).dir().filePath("../examples/systemd"));
        QStringList units;
        for (const QString name : {"moxsec-renew.service", "moxsec-renew.timer"}) {
            QByteArray text = readAll(examples.filePath(name));
            QVERIFY2(text.contains("[Unit]"), qPrintable(name));
            QVERIFY(write(path(name), text.replace("/usr/bin/moxsec", MOXSEC_PATH)));
            units << path(name);
        }
        QVERIFY(readAll(units.first()).contains("cert renew opcua --if-expires-within 30 --yes"));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start("systemd-analyze", QStringList{"verify"} + units);
        QVERIFY(verify.waitForFinished(60000));
        const QByteArray output = verify.readAll();
        QVERIFY2(verify.exitCode() == 0 && output.isEmpty(), output.constData());
    }
};

QTEST_GUILESS_MAIN(TestRenew)
#include "tst_renew.moc"
