// A certificate and key made by the certificate dialog must work in an independent OPC UA stack: interop.mjs
// serves them with node-opcua and connects its client. node-opcua comes from the npm registry, pinned by
// package-lock.json, into a cache folder keyed by that file; the test is skipped only when no registry
// answers.
#include "certificateDialog.h"

#include <QtTest>

class TestInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void interop_data();
    void interop();

private:
    // Runs a command in the cache folder; its exit code, or -1 when it did not finish in time.
    int run(const QStringList& command, QByteArray& output, int timeoutMs = 180000)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(m_cache);
        process.start(command.first(), command.mid(1));
        const bool finished = process.waitForFinished(timeoutMs);
        output = process.readAll();
        return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    const QString m_source = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/tests/interop";
    QString m_cache;
    QTemporaryDir m_work;
};

void TestInterop::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable("npm").isEmpty(), "Node.js and npm are needed");
    QFile lock(m_source + "/package-lock.json");
    QVERIFY(lock.open(QIODevice::ReadOnly));
    m_cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
              "/moxsecurityconfig/interop/" +
              QCryptographicHash::hash(lock.readAll(), QCryptographicHash::Sha256).toHex().left(16);
    QVERIFY(QDir().mkpath(m_cache));
    for (const char* name :
         {"/package.json", "/package-lock.json", "/interop.mjs"}) { // a module imports from beside it
        QFile::remove(m_cache + name);
        QVERIFY(QFile::copy(m_source + name, m_cache + name));
    }
    // npm ci empties node_modules first, so a broken install is redone: the mark comes only after success.
    QByteArray output;
    if (!QFile::exists(m_cache + "/node_modules/.mox-installed")) {
        if (run({"npm", "ping"}, output) != 0)
            QSKIP(qPrintable("no npm registry answers, so node-opcua cannot be installed: " +
                             output.left(300)));
        QVERIFY2(run({"npm", "ci", "--no-audit", "--no-fund"}, output, 15 * 60000) == 0, output.constData());
        QFile(m_cache + "/node_modules/.mox-installed").open(QIODevice::WriteOnly);
    }
}

void TestInterop::interop_data()
{
    QTest::addColumn<bool>("matching"); // the certificate's URI and the server's
    QTest::newRow("InteropServer") << true;
    QTest::newRow("OtherServer") << false;
}

void TestInterop::interop()
{
    QFETCH(bool, matching);
    const QString end = QTest::currentDataTag();
    const QString cert = m_work.filePath(end + "/cert.pem");
    const QString key = m_work.filePath(end + "/key.pem");
    const QString uri = "urn:MOX:UA:InteropServer";
    CertificateDialog dialog(true, m_source + "/../../share/openssl", cert, key, "", uri);
    QTest::keyClicks(dialog.endPartLineEdit, end);
    for (QLineEdit* edit :
         {dialog.organizationLineEdit, dialog.localityLineEdit, dialog.stateLineEdit, dialog.countryLineEdit})
        edit->setText("DE");
    dialog.domainNamesTextEdit->setPlainText("localhost");
    dialog.ipAddressesTextEdit->setPlainText("127.0.0.1");
    dialog.accept();
    QVERIFY2(dialog.result() == QDialog::Accepted, qPrintable(dialog.statusLabel->text()));

    QByteArray output;
    run({"node", "interop.mjs", cert, key, uri, m_work.filePath(end)}, output);
    QVERIFY2(output.contains("SERVER STATE 0\n"), output.constData()); // a session, and the server running
    // The server's own checks of its certificate: URI, key usages, a self-signed key identifier (a CA-signed
    // look would ask for a chain), key and certificate matching. A wrong URI is warned about, with both.
    for (const char* code : {"W06", "W14", "W15", "W16", "W17", "W18", "W60", "E01"})
        QVERIFY2(output.contains(QByteArray("NODE-OPCUA-") + code) ==
                     (!matching && code == QByteArray("W06")),
                 output.constData());
    QCOMPARE(
        QString(output).contains(QRegularExpression("certificate subjectAltName *= urn:MOX:UA:OtherServer\\s+"
                                                    "[^\\n]*server applicationUri *= " +
                                                    uri + "\\b")),
        !matching);
}

QTEST_MAIN(TestInterop)
#include "tst_interop.moc"
