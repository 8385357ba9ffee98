// A certificate and key made by the certificate dialog must work in an independent OPC UA stack: node-opcua
// serves with them on 127.0.0.1 and a node-opcua client that trusts only that certificate opens a
// Basic256Sha256/SignAndEncrypt channel and a session and reads the server's state.
// node-opcua comes from the npm registry (versions pinned by package-lock.json) into a cache folder keyed by
// the lock file; the test is skipped only when no registry can be reached.
#include "certificateDialog.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDialogButtonBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

const int s_installTimeoutMs = 15 * 60 * 1000;
const int s_startTimeoutMs = 90 * 1000;
const int s_clientTimeoutMs = 120 * 1000;
const char s_serverUri[] = "urn:MOX:UA:InteropServer";

QString interopSource(const QString& name)
{
    return qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + QStringLiteral("/tests/interop/") + name;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs a command to its end within timeoutMs; returns its exit code, or -1 when it did not finish.
int runTool(const QString& program, const QStringList& arguments, const QString& workingDir, int timeoutMs,
            QByteArray* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(workingDir);
    process.start(program, arguments);
    const bool finished = process.waitForStarted(30000) && process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    if (output)
        *output = process.readAll();
    return finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

class TestInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serverAndClientAcceptTheCertificate();
    void uriMismatchIsReportedByTheServer();

private:
    struct Outcome
    {
        QByteArray serverOutput;
        QJsonObject client;
    };

    // Makes a key and certificate through the dialog's widgets, as a user would.
    void generate(const QString& folder, const QString& endPart, QString& cert, QString& key);
    // Starts the server with cert and key, runs the client against it, and stops the server.
    void serveAndConnect(const QString& folder, const QString& cert, const QString& key, Outcome& outcome);

    QString m_node;
    QString m_modules;
    std::unique_ptr<QTemporaryDir> m_work;
};

void TestInterop::initTestCase()
{
    m_node = QStandardPaths::findExecutable("node");
    const QString npm = QStandardPaths::findExecutable("npm");
    QVERIFY2(!m_node.isEmpty() && !npm.isEmpty(), "Node.js and npm are needed for the interop test");
    QVERIFY(!QStandardPaths::findExecutable("openssl").isEmpty());
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());

    const QByteArray manifest = readAll(interopSource("package.json"));
    const QByteArray lock = readAll(interopSource("package-lock.json"));
    QVERIFY(!manifest.isEmpty() && !lock.isEmpty());
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash(manifest + lock, QCryptographicHash::Sha256).toHex().left(16));
    QString cacheHome = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cacheHome.isEmpty())
        cacheHome = QDir::homePath() + "/.cache";
    const QString installed = cacheHome + "/moxsecurityconfig/interop/" + key;
    m_modules = installed + "/node_modules";
    const QString marker = m_modules + "/.mox-installed";

    if (!QFile::exists(marker)) {
        QByteArray output;
        if (runTool(npm, {"ping"}, m_work->path(), 120000, &output) != 0)
            QSKIP(qPrintable("no npm registry can be reached (npm ping failed), so node-opcua cannot be "
                             "installed: " +
                             QString::fromUtf8(output).simplified().left(300)));
        // Install aside and move into place only when complete, so a broken run never poisons the cache.
        const QString staging = installed + QString(".staging-%1").arg(QCoreApplication::applicationPid());
        QDir(staging).removeRecursively();
        QVERIFY(QDir().mkpath(staging));
        QVERIFY(QFile::copy(interopSource("package.json"), staging + "/package.json"));
        QVERIFY(QFile::copy(interopSource("package-lock.json"), staging + "/package-lock.json"));
        const int code = runTool(npm, {"ci", "--no-audit", "--no-fund", "--loglevel=error"}, staging,
                                 s_installTimeoutMs, &output);
        if (code != 0) {
            QDir(staging).removeRecursively();
            QFAIL(qPrintable("npm ci failed although the registry answers:\n" + QString::fromUtf8(output)));
        }
        QFile done(staging + "/node_modules/.mox-installed");
        QVERIFY(done.open(QIODevice::WriteOnly));
        done.close();
        QDir(installed).removeRecursively();
        if (!QDir().rename(staging, installed))
            QDir(staging).removeRecursively(); // another run finished first; its copy is as good
    }
    QVERIFY2(QFile::exists(marker), qPrintable(m_modules));

    // ES modules find their packages beside the importing script, so the scripts run next to a link.
    QVERIFY(QFile::link(m_modules, m_work->filePath("node_modules")));
    for (const char* script : {"server.mjs", "client.mjs"})
        QVERIFY(QFile::copy(interopSource(script), m_work->filePath(script)));
}

void TestInterop::generate(const QString& folder, const QString& endPart, QString& cert, QString& key)
{
    cert = m_work->filePath(folder + "/own/cert.pem");
    key = m_work->filePath(folder + "/own/private/key.pem");
    CertificateDialog dialog(true, qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/share/openssl", cert, key,
                             "", s_serverUri, nullptr);
    QTest::keyClicks(dialog.findChild<QLineEdit*>("endPartLineEdit"), endPart);
    dialog.findChild<QLineEdit*>("organizationLineEdit")->setText("Mox Interop");
    dialog.findChild<QLineEdit*>("localityLineEdit")->setText("Munich");
    dialog.findChild<QLineEdit*>("stateLineEdit")->setText("Bavaria");
    dialog.findChild<QLineEdit*>("countryLineEdit")->setText("DE");
    dialog.findChild<QTextEdit*>("domainNamesTextEdit")->setPlainText("localhost");
    dialog.findChild<QTextEdit*>("ipAddressesTextEdit")->setPlainText("127.0.0.1");
    QVERIFY(!dialog.findChild<QCheckBox*>("passwordCheckBox")->isChecked());
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    QVERIFY2(dialog.result() == QDialog::Accepted,
             qPrintable(dialog.findChild<QLabel*>("statusLabel")->text()));
    QCOMPARE(dialog.findChild<QLineEdit*>("applicationURILineEdit")->text(), "urn:MOX:UA:" + endPart);
}

void TestInterop::serveAndConnect(const QString& folder, const QString& cert, const QString& key,
                                  Outcome& outcome)
{
    const quint16 port = freePort();
    QVERIFY(port != 0);

    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.setWorkingDirectory(m_work->path());
    server.start(m_node, {"server.mjs", QString::number(port), cert, key, s_serverUri,
                          m_work->filePath(folder + "/server-pki")});
    QVERIFY(server.waitForStarted(30000));

    QElapsedTimer clock;
    clock.start();
    while (!outcome.serverOutput.contains("READY ") && server.state() == QProcess::Running &&
           clock.elapsed() < s_startTimeoutMs) {
        server.waitForReadyRead(1000);
        outcome.serverOutput += server.readAll();
    }
    const int ready = outcome.serverOutput.indexOf("READY ");
    if (ready < 0) {
        server.kill();
        server.waitForFinished(5000);
        QFAIL(qPrintable("the OPC UA server did not start:\n" + QString::fromUtf8(outcome.serverOutput)));
    }
    const QByteArray endpoint = outcome.serverOutput.mid(ready + 6).split('\n').first().trimmed();

    QByteArray clientOutput;
    runTool(m_node,
            {"client.mjs", QString::fromUtf8(endpoint), m_work->filePath(folder + "/client-pki"), cert},
            m_work->path(), s_clientTimeoutMs, &clientOutput);

    server.terminate();
    if (!server.waitForFinished(10000)) {
        server.kill();
        server.waitForFinished(5000);
    }
    outcome.serverOutput += server.readAll();

    const QList<QByteArray> lines = clientOutput.trimmed().split('\n');
    outcome.client = QJsonDocument::fromJson(lines.last()).object();
    QVERIFY2(!outcome.client.isEmpty(), clientOutput.constData());
}

void TestInterop::serverAndClientAcceptTheCertificate()
{
    QString cert;
    QString key;
    generate("matching", "InteropServer", cert, key);
    if (QTest::currentTestFailed())
        return;
    Outcome outcome;
    serveAndConnect("matching", cert, key, outcome);
    if (QTest::currentTestFailed())
        return;

    const QString server = QString::fromUtf8(outcome.serverOutput);
    QVERIFY2(outcome.client.value("channel").toBool(), qPrintable(outcome.client.value("error").toString()));
    QVERIFY2(outcome.client.value("session").toBool(), qPrintable(outcome.client.value("error").toString()));
    QCOMPARE(outcome.client.value("state").toInt(-1), 0); // ServerState Running
    // The server's own checks of its certificate: URI, key usages, a self-signed key identifier (a
    // CA-signed look would ask for a chain), key and certificate matching.
    for (const char* code : {"W06", "W14", "W15", "W16", "W17", "W18", "W60", "E01"})
        QVERIFY2(!server.contains(QString("NODE-OPCUA-") + code), qPrintable(server));
}

void TestInterop::uriMismatchIsReportedByTheServer()
{
    QString cert;
    QString key;
    generate("mismatch", "OtherServer", cert, key);
    if (QTest::currentTestFailed())
        return;
    Outcome outcome;
    serveAndConnect("mismatch", cert, key, outcome);
    if (QTest::currentTestFailed())
        return;

    // node-opcua warns with both URIs and still serves.
    const QString server = QString::fromUtf8(outcome.serverOutput);
    QVERIFY2(server.contains("[NODE-OPCUA-W06] The certificate subjectAltName does not match the server "
                             "applicationUri"),
             qPrintable(server));
    QVERIFY(server.contains(QRegularExpression("certificate subjectAltName *= urn:MOX:UA:OtherServer\\b")));
    QVERIFY(server.contains(QRegularExpression("server applicationUri *= urn:MOX:UA:InteropServer\\b")));
    QVERIFY2(outcome.client.value("session").toBool(), qPrintable(outcome.client.value("error").toString()));
    QCOMPARE(outcome.client.value("state").toInt(-1), 0);
}

QTEST_MAIN(TestInterop)
#include "tst_interop.moc"
