// The certificate dialog's certificate and moxsec's certificate lifecycle in an independent OPC UA stack,
// node-opcua from the npm registry (pinned by package-lock.json) in a cache folder keyed by that file;
// skipped only when no registry answers.
#include "dialogFixture.h"

#include "core/configSnapshot.h"
#include "core/rootedEnumerator.h"
#include "core/securityActions.h"

class TestInterop : public DialogFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void interop_data();
    void interop();
    void trustFolders();
    void caSignedServer();
    void renewRetrust();

private:
    QString script(const QString& name) const { return m_scripts.filePath(name); }
    ConfigSnapshot config() const
    {
        RootedInstEnumerator instances(m_dir->path());
        instances.Refresh();
        return ConfigSnapshot::load(instances.GetActiveInstance());
    }
    // The exit code (-1 when killed or not ended within a minute); what the program said when not 0 becomes
    // a warning, so a failed step shows why.
    static int run(const QString& program, const QStringList& arguments, const QByteArray& input = {},
                   QByteArray* out = nullptr)
    {
        QProcess process;
        process.start(program, arguments);
        process.write(input);
        process.closeWriteChannel();
        const bool ended = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
        const int code = ended ? process.exitCode() : -1;
        const QByteArray output = process.readAllStandardOutput();
        if (code != 0)
            qWarning() << program << arguments << output << process.readAllStandardError();
        if (out)
            *out = output;
        return code;
    }
    QJsonObject moxsec(const QStringList& arguments, const QByteArray& input = {}) const
    {
        QByteArray out;
        run(MOXSEC_PATH, QStringList{"--root", m_dir->path(), "--json"} + arguments, input, &out);
        return QJsonDocument::fromJson(out).object();
    }
    bool generated() const
    {
        return moxsec({"cert", "generate", "opcua", "--country", "DE", "--state", "BY", "--locality", "Town",
                       "--organization", "Org", "--uri-end", "TestServer", "--dns", "localhost", "--ip",
                       "127.0.0.1", "--yes"})["ok"]
            .toBool();
    }
    QString lifecycle(const QStringList& toTrust = {}) const;
    static bool readsNow(const QString& answer);

    QTemporaryDir m_scripts; // beside node-opcua's cache, which stays as npm left it
};

void TestInterop::initTestCase()
{
    const QString source = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/tests/interop/";
    const QByteArray lock =
        QCryptographicHash::hash(readAll(source + "package-lock.json"), QCryptographicHash::Sha256);
    const QString cache = QStringLiteral(MOX_NODE_CACHE "/") + lock.toHex().left(16);
    // npm ci empties node_modules first, so a broken install is redone: the mark comes only after success.
    if (!QFile::exists(cache + "/node_modules/.mox-installed")) {
        for (const char* name : {"package.json", "package-lock.json"})
            write(cache + '/' + name, readAll(source + name));
        QVERIFY2(!QStandardPaths::findExecutable("npm").isEmpty(), "Node.js and npm are needed");
        QProcess npm;
        npm.setWorkingDirectory(cache);
        // npm's own download cache too, so nothing lands in HOME.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("npm_config_cache", MOX_NODE_CACHE "/npm");
        npm.setProcessEnvironment(env);
        npm.setProcessChannelMode(QProcess::MergedChannels);
        npm.start("npm", {"ping"});
        if (!npm.waitForFinished(120000) || npm.exitCode() != 0)
            QSKIP(qPrintable("no npm registry answers to install node-opcua: " + npm.readAll().left(200)));
        npm.start("npm", {"ci", "--no-audit", "--no-fund"});
        QVERIFY2(npm.waitForFinished(15 * 60000) && npm.exitCode() == 0, npm.readAll().constData());
        write(cache + "/node_modules/.mox-installed");
    }
    // Node finds node-opcua from a script's folder upwards.
    QVERIFY(QFile::link(cache + "/node_modules", script("node_modules")));
    for (const char* name : {"interop.mjs", "trust.mjs", "lifecycle.mjs"})
        write(script(name), readAll(source + name));
}

void TestInterop::interop_data()
{
    QTest::addColumn<QString>("warnings"); // of the server about its certificate, which it uses all the same
    QTest::addColumn<bool>("adopt");       // the configuration takes the new URI, the server is given that
    QTest::newRow("InteropServer") << "" << false;
    QTest::newRow("OtherServer") << "W06" << false;
    QTest::newRow("Renamed") << "" << true;
}

void TestInterop::interop()
{
    QFETCH(QString, warnings);
    QFETCH(bool, adopt);
    const ConfigSnapshot before = config();
    const QString cert = before.opcUaCertificate.path, key = before.opcUaKey.path;
    const QString configured = adopt ? before.uri : "urn:MOX:UA:InteropServer";
    dialog(cert, key, "", configured);
    field<QLineEdit>(m_form.get(), "endPartLineEdit")->clear();
    QTest::keyClicks(field<QLineEdit>(m_form.get(), "endPartLineEdit"), QTest::currentDataTag());
    field<QTextEdit>(m_form.get(), "domainNamesTextEdit")->setPlainText("localhost");
    field<QTextEdit>(m_form.get(), "ipAddressesTextEdit")->setPlainText("127.0.0.1");
    m_form->accept();
    QVERIFY2(m_form->result() == QDialog::Accepted,
             qPrintable(field<QLabel>(m_form.get(), "statusLabel")->text()));
    QString uri = configured;
    if (adopt) {
        QVERIFY(SecurityActions(before).adoptIntoConfiguration(m_form->request()).ok);
        uri = config().uri;
        QCOMPARE(uri, "urn:MOX:UA:" + QString(QTest::currentDataTag()));
    }

    QProcess node;
    node.setProcessChannelMode(QProcess::MergedChannels);
    node.start("node", {script("interop.mjs"), cert, key, uri, mox("")});
    QVERIFY(node.waitForFinished(180000));
    const QString output = node.readAll();
    QVERIFY2(output.contains("SERVER STATE 0\n"), qPrintable(output)); // a session, and the server running
    // Its checks of the URI, key usages, a self-signed key identifier, key and certificate matching.
    for (const QString code : {"W06", "W14", "W15", "W16", "W17", "W18", "W60", "E01"})
        QVERIFY2(output.contains("NODE-OPCUA-" + code) == warnings.contains(code), qPrintable(output));
    QCOMPARE(output.contains(QRegularExpression("subjectAltName *= urn:MOX:UA:OtherServer\\s+[^\\n]*"
                                                "applicationUri *= " +
                                                uri + "\\b")),
             !warnings.isEmpty());
}

// The four folders in node-opcua's layout, used by a node-opcua server that accepts no unknown certificate:
// a client it refused connects once moxsec trusts its certificate, and is refused again once moxsec rejects
// it.
void TestInterop::trustFolders()
{
    QByteArray ini = readAll(mox("OpcUa/MoxOpcUa.ini"));
    for (const char* change : {"TRUST_LIST_PATH=pki/trusted|/certs", "ISSUER_LIST_PATH=pki/issuers|/certs",
                               "REVOCATION_LIST_PATH=pki/crl|", "REJECTED_LIST_PATH=pki/rejected|"}) {
        const QByteArray from = QByteArray("CERTIFICATE_") + QByteArray(change).split('|')[0] + '\n';
        QVERIFY2(ini.contains(from), from.constData());
        ini.replace(from, from.chopped(1) + QByteArray(change).split('|')[1] + '\n');
    }
    ini.replace("pki/crl\n", "pki/issuers/crl\n");
    write(mox("OpcUa/MoxOpcUa.ini"), ini);
    const QString pki = mox("OpcUa/pki");

    QProcess node;
    node.start("node", {script("trust.mjs"), pki, m_dir->filePath("client-pki")});
    const auto stop = qScopeGuard([&node] {
        node.kill();
        node.waitForFinished();
    });
    QString log; // node-opcua's own lines, shown when an answer is not the expected one
    auto next = [&node, &log]() {
        for (;;) {
            while (!node.canReadLine() && node.waitForReadyRead(120000)) {
            }
            if (!node.canReadLine())
                return QString("no answer:\n") + log + node.readAllStandardError();
            const QString line = QString(node.readLine()).trimmed();
            if (line.startsWith("FIRST ") || line.startsWith("NOW "))
                return line;
            log += line + '\n';
        }
    };
    QCOMPARE(next(), QString("FIRST REFUSED"));
    const QJsonArray entries = moxsec({"trust", "list"})["data"].toObject()["entries"].toArray();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]["folder"].toString(), QString("rejected"));
    const QString thumbprint = entries[0]["thumbprint"].toString();
    QVERIFY(moxsec({"trust", "accept", thumbprint})["ok"].toBool());
    node.write("connected\n");
    QCOMPARE(next(), QString("NOW CONNECTED"));
    QVERIFY(moxsec({"trust", "reject", thumbprint.left(10)})["ok"].toBool());
    node.write("refused\n");
    QCOMPARE(next(), QString("NOW REFUSED"));
    node.write("quit\n");
    QVERIFY(node.waitForFinished(30000));
}

// lifecycle.mjs on the configured OPC UA pair, within three minutes: its READ or REFUSED line, else all it
// said.
QString TestInterop::lifecycle(const QStringList& toTrust) const
{
    const ConfigSnapshot snapshot = config();
    QProcess node;
    node.setProcessChannelMode(QProcess::MergedChannels);
    node.start("node",
               QStringList{script("lifecycle.mjs"), snapshot.opcUaCertificate.path, snapshot.opcUaKey.path,
                           snapshot.passphrase(), snapshot.uri, m_dir->filePath("node")} +
                   toTrust);
    if (!node.waitForFinished(180000)) {
        node.kill();
        node.waitForFinished();
    }
    const QString output = node.readAll();
    const QRegularExpressionMatch answer =
        QRegularExpression("^(READ|REFUSED) .*$", QRegularExpression::MultilineOption).match(output);
    return answer.hasMatch() ? answer.captured() : "no answer:\n" + output;
}

// The server's clock as read by the client, within a few minutes of this one.
bool TestInterop::readsNow(const QString& answer)
{
    const QDateTime read = QDateTime::fromString(answer.mid(5), Qt::ISODateWithMs);
    return answer.startsWith("READ ") && read.isValid() &&
           qAbs(read.secsTo(QDateTime::currentDateTimeUtc())) < 300;
}

// A server certificate signed by an independent CA (openssl) on moxsec's request, installed by moxsec with
// its chain, and the CA's CRL made by moxsec: node-opcua's client, trusting nothing but that CA and holding
// its CRL, reads from the server; without the CRL it refuses the same server.
void TestInterop::caSignedServer()
{
    const QString ca = m_dir->filePath("ca/"), client = m_dir->filePath("node/client-pki/trusted/");
    QVERIFY(generated() && moxsec({"folders", "create"})["ok"].toBool() && QDir().mkpath(ca));
    QCOMPARE(run("openssl",
                 {"req", "-x509", "-newkey", "rsa:2048", "-passout", "pass:secret", "-keyout", ca + "ca.key",
                  "-out", ca + "ca.pem", "-subj", "/CN=Interop CA", "-days", "10", "-addext",
                  "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign,cRLSign"}),
             0);
    QVERIFY(moxsec({"cert", "csr", "opcua", "--out", ca + "request.pem"})["ok"].toBool());
    // What an application instance certificate carries; node-opcua finds the CA by the authority key
    // identifier.
    write(ca + "extensions", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
                             "dataEncipherment\nextendedKeyUsage=serverAuth,clientAuth\n"
                             "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n"
                             "subjectAltName=URI:" +
                                 config().uri.toUtf8() + ",DNS:localhost,IP:127.0.0.1\n");
    QCOMPARE(run("openssl", {"x509", "-req", "-in", ca + "request.pem", "-CA", ca + "ca.pem", "-CAkey",
                             ca + "ca.key", "-passin", "pass:secret", "-CAcreateserial", "-days", "30",
                             "-extfile", ca + "extensions", "-out", ca + "signed.pem"}),
             0);
    QVERIFY(moxsec({"cert", "install", "opcua", ca + "signed.pem", "--chain", ca + "ca.pem", "--yes"})["ok"]
                .toBool());
    const QString crl = moxsec({"trust", "crl-create", "--ca", ca + "ca.pem", "--ca-key", ca + "ca.key",
                                "--passphrase-stdin"},
                               "secret\n")["data"]
                            .toObject()["written"]
                            .toString();
    QVERIFY2(QFileInfo(crl).isFile(), qPrintable(crl));
    write(client + "certs/ca.pem", readAll(ca + "ca.pem"));
    write(client + "crl/" + QFileInfo(crl).fileName(), readAll(crl));
    QString answer = lifecycle();
    QVERIFY2(readsNow(answer), qPrintable(answer));

    QVERIFY(QFile::remove(client + "crl/" + QFileInfo(crl).fileName()));
    answer = lifecycle();
    QVERIFY2(answer.startsWith("REFUSED ") && answer.contains("BadCertificateRevocationUnknown"),
             qPrintable(answer));
}

// A client trusting moxsec's self-signed certificate is refused by the server restarted on the renewed one
// (same key, opened with the configured pass phrase), until it trusts the certificate renew names.
void TestInterop::renewRetrust()
{
    QVERIFY(moxsec({"config", "set-passphrase", "--passphrase-stdin", "--tighten"}, "s3cret pass\n")["ok"]
                .toBool());
    QVERIFY(generated());
    QString answer = lifecycle({config().opcUaCertificate.path});
    QVERIFY2(readsNow(answer), qPrintable(answer));
    const QJsonObject renewed = moxsec({"cert", "renew", "opcua", "--yes"})["data"].toObject();
    QVERIFY2(renewed["newKey"] == false && renewed["certificate"].isString(),
             QJsonDocument(renewed).toJson().constData());

    answer = lifecycle();
    QVERIFY2(answer.startsWith("REFUSED ") && answer.contains("BadCertificateUntrusted"), qPrintable(answer));
    answer = lifecycle({renewed["certificate"].toString()});
    QVERIFY2(readsNow(answer), qPrintable(answer));
}

QTEST_MAIN(TestInterop)
#include "tst_interop.moc"
