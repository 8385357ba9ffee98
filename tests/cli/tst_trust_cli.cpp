// moxsec's trust commands attacked as whole processes: planted links, odd names, and kills at random times.
#include "moxsecFixture.h"
#include "testCertificates.h"

#include <unistd.h>

class TestTrustCli : public MoxsecFixture
{
    Q_OBJECT

    QString pki(const QString& relative = QString()) const { return path("OpcUa/pki/" + relative); }
    // The exit code, -1 when killed (SIGKILL after killAfterMs unless it ended first).
    int moxsec(const QStringList& arguments, int killAfterMs = -1) const
    {
        return MoxsecFixture::moxsec(arguments, {}, {}, killAfterMs).exitCode;
    }
    // Hidden names anywhere in the folders: temporaries or aside names a run left.
    QStringList hidden() const
    {
        QStringList found;
        QDirIterator it(pki(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            if (it.next(), it.fileName().startsWith('.'))
                found << it.filePath();
        }
        return found;
    }
    // trust list --json: its entries by thumbprint ("" for unreadable ones), checked to be strict JSON.
    QMultiMap<QString, QJsonObject> listing()
    {
        const auto [code, out, err] = MoxsecFixture::moxsec({"trust", "list", "--json"});
        QMultiMap<QString, QJsonObject> entries;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        if (code != 0 || error.error != QJsonParseError::NoError || QString::fromUtf8(out).toUtf8() != out) {
            qWarning() << "trust list:" << code << out;
            entries.insert("failed", QJsonObject());
        }
        for (const QJsonValue& value : document["data"]["entries"].toArray())
            entries.insert(value["thumbprint"].toString(), value.toObject());
        return entries;
    }

private slots:
    void init()
    {
        MoxsecFixture::init();
        QCOMPARE(moxsec({"folders", "create"}), 0);
    }

    // A link to /proc/kmsg (a "regular file" whose read blocks) is listed as a link, never read; a name that
    // is no UTF-8 is listed with its bytes in file_hex, and accepted and removed by its thumbprint.
    void linksAndOddNames()
    {
        QVERIFY(QFile::link("/proc/kmsg", pki("rejected/kmsg.der")));
        TestCertificates make(m_dir->filePath("certs"));
        const QString odd = make.make("odd.der", "Odd", false, true);
        const QByteArray name = QFile::encodeName(pki("rejected/")) + "odd \xff.der";
        QVERIFY(::link(QFile::encodeName(odd).constData(), name.constData()) == 0);
        auto entries = listing();
        QVERIFY(!entries.contains("failed"));
        const QJsonObject link = entries.value("");
        QVERIFY(link["link"].toBool() && link["target"].toString() == "/proc/kmsg");
        const QString thumbprint = make.thumbprint(odd, true);
        QCOMPARE(entries.value(thumbprint)["file_hex"].toString(), QString(name.toHex()));
        QCOMPARE(moxsec({"trust", "accept", thumbprint}), 0);
        const QByteArray trusted = QFile::encodeName(pki("trusted/")) + "odd \xff.der";
        QVERIFY(::access(trusted.constData(), F_OK) == 0);
        QCOMPARE(moxsec({"trust", "remove", thumbprint, "--yes"}), 0);
        QVERIFY(::access(trusted.constData(), F_OK) != 0);
        QCOMPARE(listing().size(), 1);
    }

    // Imports, then accepts and rejects, each SIGKILLed at a random moment: afterwards the next listing
    // leaves no hidden file, and every certificate lies whole in its old or its new folder, not in both.
    void killCampaign()
    {
        TestCertificates make(m_dir->filePath("certs"));
        QStringList files, thumbprints, names;
        for (int i = 0; i < 5; ++i) {
            files << make.make(QString("c%1.der").arg(i), QString("Panel %1").arg(i), false, true);
            thumbprints << make.thumbprint(files.last(), true);
            names << QString("Panel %1 [%2].der").arg(i).arg(thumbprints.last());
        }
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        QElapsedTimer total;
        total.start();
        for (int run = 0; run < 50 && total.elapsed() < 10000; ++run)
            moxsec(QStringList{"trust", "import"} + files, random.bounded(60));
        auto entries = listing();
        QVERIFY2(hidden().isEmpty(), qPrintable(hidden().join('\n') + QString(" seed %1").arg(seed)));
        QVERIFY(!entries.contains("failed") && !entries.contains(""));
        QCOMPARE(moxsec(QStringList{"trust", "import"} + files), 0);

        for (int run = 0; run < 50 && total.elapsed() < 20000; ++run) {
            const int i = run % 5;
            bool inTrusted = QFile::exists(pki("trusted/" + names[i]));
            if (!inTrusted && !QFile::exists(pki("rejected/" + names[i]))) {
                listing(); // puts back what a killed run took aside
                inTrusted = QFile::exists(pki("trusted/" + names[i]));
                QVERIFY2(inTrusted || QFile::exists(pki("rejected/" + names[i])),
                         qPrintable(QString("%1 lost in run %2, seed %3").arg(names[i]).arg(run).arg(seed)));
            }
            moxsec({"trust", inTrusted ? "reject" : "accept", thumbprints[i]}, random.bounded(60));
        }
        entries = listing();
        QVERIFY2(hidden().isEmpty(), qPrintable(hidden().join('\n') + QString(" seed %1").arg(seed)));
        QVERIFY(!entries.contains("failed") && !entries.contains(""));
        for (const QString& thumbprint : thumbprints)
            QVERIFY2(entries.count(thumbprint) == 1, qPrintable(thumbprint));
    }
};

QTEST_GUILESS_MAIN(TestTrustCli)
#include "tst_trust_cli.moc"
