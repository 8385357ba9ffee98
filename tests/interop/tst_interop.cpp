// The certificate dialog's certificate in an independent OPC UA stack, node-opcua from the npm registry
// (pinned by package-lock.json) in a cache folder keyed by that file; skipped only when no registry answers.
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

private:
    QString m_cache;
};

void TestInterop::initTestCase()
{
    const QString source = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/tests/interop/";
    const QByteArray lock =
        QCryptographicHash::hash(readAll(source + "package-lock.json"), QCryptographicHash::Sha256);
    m_cache = QStringLiteral(MOX_NODE_CACHE "/") + lock.toHex().left(16);
    for (const char* name :
         {"package.json", "package-lock.json", "interop.mjs", "trust.mjs"}) // it imports from beside it
        write(m_cache + '/' + name, readAll(source + name));
    // npm ci empties node_modules first, so a broken install is redone: the mark comes only after success.
    if (!QFile::exists(m_cache + "/node_modules/.mox-installed")) {
        QVERIFY2(!QStandardPaths::findExecutable("npm").isEmpty(), "Node.js and npm are needed");
        QProcess npm;
        npm.setWorkingDirectory(m_cache);
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
        write(m_cache + "/node_modules/.mox-installed");
    }
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
    RootedInstEnumerator instances(m_dir->path());
    instances.Refresh();
    ConfigSnapshot before = ConfigSnapshot::load(instances.GetActiveInstance());
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
        uri = ConfigSnapshot::load(instances.GetActiveInstance()).uri;
        QCOMPARE(uri, "urn:MOX:UA:" + QString(QTest::currentDataTag()));
    }

    QProcess node;
    node.setProcessChannelMode(QProcess::MergedChannels);
    node.start("node", {m_cache + "/interop.mjs", cert, key, uri, mox("")});
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
    QByteArray config = readAll(mox("OpcUa/MoxOpcUa.ini"));
    for (const char* change : {"TRUST_LIST_PATH=pki/trusted|/certs", "ISSUER_LIST_PATH=pki/issuers|/certs",
                               "REVOCATION_LIST_PATH=pki/crl|", "REJECTED_LIST_PATH=pki/rejected|"}) {
        const QByteArray from = QByteArray("CERTIFICATE_") + QByteArray(change).split('|')[0] + '\n';
        QVERIFY2(config.contains(from), from.constData());
        config.replace(from, from.chopped(1) + QByteArray(change).split('|')[1] + '\n');
    }
    config.replace("pki/crl\n", "pki/issuers/crl\n");
    write(mox("OpcUa/MoxOpcUa.ini"), config);
    const QString pki = mox("OpcUa/pki");
    RootedInstEnumerator instances(m_dir->path());
    instances.Refresh();
    const ConfigSnapshot snapshot = ConfigSnapshot::load(instances.GetActiveInstance());
    QCOMPARE(QStringList({snapshot.trustList.path, snapshot.issuers.path, snapshot.revocation.path,
                          snapshot.rejected.path}),
             QStringList(
                 {pki + "/trusted/certs", pki + "/issuers/certs", pki + "/issuers/crl", pki + "/rejected"}));

    QProcess node;
    node.start("node", {m_cache + "/trust.mjs", pki, m_dir->filePath("client-pki")});
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
    auto moxsec = [&](const QStringList& arguments) {
        QProcess process;
        process.start(MOXSEC_PATH, QStringList{"--root", m_dir->path()} + arguments);
        process.waitForFinished(60000);
        const QByteArray out = process.readAllStandardOutput();
        if (process.exitCode() != 0)
            qWarning() << arguments << out << process.readAllStandardError();
        return QJsonDocument::fromJson(out).object();
    };
    QCOMPARE(next(), QString("FIRST REFUSED"));
    const QJsonArray entries = moxsec({"trust", "list", "--json"})["data"].toObject()["entries"].toArray();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0]["folder"].toString(), QString("rejected"));
    const QString thumbprint = entries[0]["thumbprint"].toString();
    QVERIFY(moxsec({"trust", "accept", thumbprint, "--json"})["ok"].toBool());
    node.write("connected\n");
    QCOMPARE(next(), QString("NOW CONNECTED"));
    QVERIFY(moxsec({"trust", "reject", thumbprint.left(10), "--json"})["ok"].toBool());
    node.write("refused\n");
    QCOMPARE(next(), QString("NOW REFUSED"));
    node.write("quit\n");
    QVERIFY(node.waitForFinished(30000));
}

QTEST_MAIN(TestInterop)
#include "tst_interop.moc"
