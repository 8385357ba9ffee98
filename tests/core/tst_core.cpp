#include "coreFixture.h"
#include "testFiles.h"

#include "core/backup.h"
#include "core/certificateGenerator.h"
#include "core/certificateInfo.h"
#include "core/configSnapshot.h"
#include "core/keyCheck.h"
#include "core/rootedEnumerator.h"
#include "core/securityActions.h"
#include "core/usersService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Mox::Ini;

class TestCore : public CoreFixture
{
    Q_OBJECT

    ConfigSnapshot load()
    {
        RootedInstEnumerator instances(root());
        instances.Refresh();
        return ConfigSnapshot::load(instances.GetActiveInstance());
    }
    // A new users file holding alice (Admin) and bob (Guest), and its store; null when that failed.
    std::unique_ptr<IniAuth> aliceAndBob(ConfigSnapshot& s, const char* bobPassword)
    {
        s = load();
        SecurityActions(s).createUsersFile();
        s = load();
        std::unique_ptr<IniAuth> store = s.takeUsersStore();
        const UsersService users(store.get());
        if (!store || !users.add("alice", "alicepw", eAuthRole_Admin).ok() ||
            !users.add("bob", bobPassword, eAuthRole_Guest).ok())
            return nullptr;
        return store;
    }
    static QStringList messages(const Problems& problems)
    {
        QStringList lines;
        for (const Problem& problem : problems)
            lines << problem.text();
        return lines;
    }

private slots:
    void snapshot_data();
    void snapshot();
    void untrustedFilesNeverHang();
    void pseudoFilesAreRefused_data();
    void pseudoFilesAreRefused();
    void generatorMakesAPrivatePairThroughPlantedLinks();
    void requestValidation_data();
    void requestValidation();
    void userRules_data();
    void userRules();
    void createdFilesTakeTheConfigurationsOwnership();
    void serverCertificateChecks_data();
    void serverCertificateChecks();
    void keyOpensInProcess_data();
    void keyOpensInProcess();
    void deletionsKeepABackup();
    void backupNamesAndPruning();
    void deletionsNeverChangeALinksTarget();
    void deadWritersLeftoversNeverKeepAFolder();
    void rootedPathsStayInside_data();
    void rootedPathsStayInside();
};

void TestCore::snapshot_data()
{
    // Changes to the sample configuration; the errors (message, then detail); the certificate path shown
    // relative to mox/ (or as written); whether generation applies; the salt the users file is read with.
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("canGenerate");
    QTest::addColumn<QString>("salt");
    QTest::newRow("sample") << QStringList{} << QStringList{} << "mox:OpcUa/pki/own/cert.pem" << true
                            << "k7ud30";
    QTest::newRow("paths as written") << QStringList{"USE_RELATIVE_PATH=N", "OPTIONAL_ENCODING_SALT=pepper"}
                                      << QStringList{} << "pki/own/cert.pem" << true << "pepper";
    QTest::newRow("lower-case yes")
        << QStringList{"USE_RELATIVE_PATH=yes"}
        << QStringList{"The OPC UA config file is invalid.\nUSE_RELATIVE_PATH=yes"} << "pki/own/cert.pem"
        << false << "k7ud30";
    QTest::newRow("missing keys") << QStringList{"APPLICATION_URI", "CREDENTIALS_INI_PATH",
                                                 "OPTIONAL_ENCODING_SALT"}
                                  << QStringList{"The OPC UA config does not contain: APPLICATION_URI",
                                                 "The OPC UA config does not contain: CREDENTIALS_INI_PATH"}
                                  << "mox:OpcUa/pki/own/cert.pem" << true << "k7ud30";
}

void TestCore::snapshot()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, errors);
    QFETCH(QString, certificate);
    QFETCH(bool, canGenerate);
    QFETCH(QString, salt);
    configure(changes);
    const ConfigSnapshot s = load();
    QCOMPARE(messages(s.errors), errors);
    QCOMPARE(s.opcUaCertificate.path, certificate.startsWith("mox:") ? mox(certificate.mid(4)) : certificate);
    QVERIFY(s.opcUaCertificate.configured && !s.opcUaCertificate.exists);
    QCOMPARE(s.canGenerateOpcUa, canGenerate);
    QCOMPARE(s.effectiveSalt(), salt);
    QCOMPARE(s.canGenerateFolders && !s.canDeleteFolders, true);
}

void TestCore::untrustedFilesNeverHang()
{
    // A key, users file or configuration that is a device or FIFO is an error naming it, never a hang.
    QVERIFY(QFile::remove(mox("OpcUa/users.ini")) || true);
    QCOMPARE(::mkfifo(QFile::encodeName(mox("OpcUa/users.ini")).constData(), 0600), 0);
    QVERIFY(write(mox("OpcUa/pki/own/cert.pem"), "x"));
    configure({"APPLICATION_PRIVATE_KEY_PATH=/dev/zero", "APPLICATION_PRIVATE_KEY_PASSWORD=secret-phrase"});
    ConfigSnapshot s = load();
    const QStringList lines = messages(s.errors);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("The OPC UA Auth file was not parsed correctly.\n") &&
                 lines[0].contains(mox("OpcUa/users.ini")),
             qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith("The OPC UA key file cannot be read.\n") && lines[1].contains("/dev/zero"),
             qPrintable(lines[1]));
    // What is meant for display never holds the pass phrase.
    QVERIFY(!lines.join(' ').contains("secret-phrase") && !messages(s.warnings).join(' ').contains("secret"));

    // A users file with a section that is no role: the section is named, with the file.
    QVERIFY(QFile::remove(mox("OpcUa/users.ini")));
    QVERIFY(write(mox("OpcUa/users.ini"), "[ADMIN]\r\n[ADMINS]\r\nbob=ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP\r\n"));
    s = load();
    QCOMPARE(messages(s.errors).first(), "The OPC UA Auth file holds a section that is no role: [ADMINS]\n" +
                                             mox("OpcUa/users.ini") +
                                             " (the roles are ADMIN, OPERATOR and GUEST)");

    QVERIFY(QFile::remove(mox("OpcUa/MoxOpcUa.ini")));
    QCOMPARE(::mkfifo(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0600), 0);
    s = load();
    QCOMPARE(s.errors.value(0).message, QString("The OPC UA config file was not parsed correctly."));
    QVERIFY(s.errors.value(0).detail.contains(mox("OpcUa/MoxOpcUa.ini")));
}

void TestCore::pseudoFilesAreRefused_data()
{
    // A link (or a setting) naming a file of procfs: /proc/kmsg claims size 0 and blocks on read.
    QTest::addColumn<QString>("link"); // replaced by a link to the pseudo file, relative to mox/
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QString>("target");
    const int kmsg = ::open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsg >= 0)
        ::close(kmsg);
    for (const QString target : {"/proc/self/status", "/proc/kmsg"}) {
        if (target == "/proc/kmsg" && kmsg < 0) {
            qWarning("/proc/kmsg cannot be opened here: its rows are left out");
            continue;
        }
        const QByteArray t = target.toUtf8();
        QTest::newRow("users file " + t) << "OpcUa/users.ini" << QStringList{} << target;
        QTest::newRow("CREDENTIALS_INI_PATH " + t)
            << "" << QStringList{"CREDENTIALS_INI_PATH=" + target} << target;
        QTest::newRow("certificate " + t) << "OpcUa/pki/own/cert.pem" << QStringList{} << target;
        QTest::newRow("key " + t) << "OpcUa/pki/own/private/key.pem"
                                  << QStringList{"APPLICATION_PRIVATE_KEY_PASSWORD=phrase"} << target;
        QTest::newRow("configuration " + t) << "OpcUa/MoxOpcUa.ini" << QStringList{} << target;
    }
}

void TestCore::pseudoFilesAreRefused()
{
    QFETCH(QString, link);
    QFETCH(QStringList, changes);
    QFETCH(QString, target);
    configure(changes);
    QVERIFY(write(mox("OpcUa/pki/own/cert.pem"), "x") && write(mox("OpcUa/pki/own/private/key.pem"), "x"));
    if (!link.isEmpty())
        QVERIFY((QFile::remove(mox(link)) || true) && QFile::link(target, mox(link)));
    const QString named = (link.isEmpty() ? target : mox(link)) + "' lies on procfs, a pseudo file system";
    // The load runs in a child with a time limit, so a read that blocks fails the test instead of hanging it.
    QVERIFY(inChild([&] {
        ::alarm(10);
        // As installed at /: the root's confinement would keep the configuration's link from /proc.
        RootedInstEnumerator instances(root());
        instances.Refresh();
        instances.GetActiveInstance()->OpcUaDefaultConfigPath = mox("OpcUa/MoxOpcUa.ini").toStdString();
        const ConfigSnapshot s = ConfigSnapshot::load(instances.GetActiveInstance());
        const QString errors = messages(s.errors + s.warnings).join('\n');
        if (!errors.contains(named))
            std::fprintf(stderr, "%s\n", qPrintable(errors));
        return errors.contains(named);
    }));
}

void TestCore::generatorMakesAPrivatePairThroughPlantedLinks()
{
    // Someone who may write into the key's folder planted links at the outputs: they are replaced, and
    // what they pointed at is never written.
    QVERIFY(write(mox("victim"), "root's file"));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/own/private")));
    for (const char* output : {"private/key.pem", "cert.der", "openssl_v3.ext"})
        QVERIFY(QFile::link(mox("victim"), mox("OpcUa/pki/own/") + output));
    QCOMPARE(::chown(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0, 65534), 0);
    QCOMPARE(::chmod(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0644), 0);
    const ConfigSnapshot s = load();

    CertificateRequest request;
    request.opensslDir = s.opensslDir;
    request.certPath = mox("OpcUa/pki/own/cert.der");
    request.keyPath = s.opcUaKey.path;
    request.country = "DE", request.state = "S", request.locality = "L", request.organization = "O";
    request.commonName = "server", request.uri = "urn:example:server", request.passphrase = "open sesame";
    request.dnsNames = QStringList{"plant.example"}, request.ipAddresses = QStringList{"10.0.0.30"};
    request.pem = false, request.protectKey = true;
    QVERIFY(request.validate().isEmpty());
    const mode_t umask = ::umask(0);
    const CertificateGenerator::Result result =
        CertificateGenerator().generate(request, SecurityActions(s).ownership());
    ::umask(umask);
    QVERIFY2(result.ok, qPrintable(result.message + ' ' + result.cause));
    QCOMPARE(readAll(mox("victim")), QByteArray("root's file"));
    for (const QString& file : {request.keyPath, request.certPath}) {
        QVERIFY(QFileInfo(file).isFile() && !QFileInfo(file).isSymLink());
        QCOMPARE(fileMode(file), 0640); // the configuration's group may read it, others nothing
        QCOMPARE(int(QFileInfo(file).groupId()), 65534);
    }
    QVERIFY(QFileInfo(mox("OpcUa/pki/own/openssl_v3.ext")).isSymLink()); // left alone
    QCOMPARE(QDir(mox("OpcUa/pki/own")).entryList({"*.tmp"}, QDir::Hidden | QDir::Files), QStringList());
    QVERIFY(ConfigSnapshot::keyOpensWith(request.keyPath, "open sesame"));
    QVERIFY(!ConfigSnapshot::keyOpensWith(request.keyPath, "wrong"));
    QProcess openssl;
    openssl.start("openssl",
                  {"x509", "-inform", "DER", "-in", request.certPath, "-noout", "-ext", "subjectAltName"});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(QString(openssl.readAllStandardOutput()).simplified(),
             QString("X509v3 Subject Alternative Name: URI:urn:example:server, DNS:plant.example, IP "
                     "Address:10.0.0.30"));
}

void TestCore::requestValidation_data()
{
    QTest::addColumn<QString>("field"); // dns, ip or uri
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("problem"); // as moxsec prints it; empty when accepted
    const QString dns = "DNS name: '%1' is not a valid DNS name.";
    const QString ip = "IP address: '%1' is not an IPv4 or IPv6 address.";
    const QString spaces = "URI: The URI cannot contain spaces.";
    const QString control = "URI: The URI cannot contain control characters.";
    const QString scheme = "URI: The URI needs a scheme, such as urn: or opc.tcp:, and something after it.";
    const struct
    {
        const char *field, *value;
        QString problem;
    } rows[] = {
        // clang-format off
        {"dns", "plant-1.example", ""}, {"dns", "*.plant.example", ""}, {"dns", "plant.example.", ""},
        {"dns", "plant_1", dns.arg("plant_1")}, {"dns", "-plant", dns.arg("-plant")},
        {"dns", "a..b", dns.arg("a..b")}, {"ip", "10.0.0.30", ""}, {"ip", "fe80::1", ""},
        {"ip", "10.0.0.300", ip.arg("10.0.0.300")}, {"ip", "10.0.0.0/8", ip.arg("10.0.0.0/8")},
        {"uri", "urn:MOX:UA:Plant", ""}, {"uri", "opc.tcp://plant:4840", ""}, {"uri", "not a uri", spaces},
        {"uri", "urn:MOX:UA:a\u00a0b", spaces}, {"uri", "urn:MOX\tUA", control},
        {"uri", "urn:MOX:UA\u0085", control}, {"uri", "urn:x\u007f", control},
        {"uri", "plant-server", scheme}, {"uri", "urn:", scheme}, {"uri", "1urn:x", scheme},
        // clang-format on
    };
    for (const auto& row : rows) {
        QTest::newRow(qPrintable(QString(row.field) + ' ' + QString(row.value).toHtmlEscaped()))
            << row.field << QString(row.value) << row.problem;
    }
}

// The rules the dialog, cert generate and config set-uri share, each problem named by its field.
void TestCore::requestValidation()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QString, problem);
    CertificateRequest request =
        CertificateRequest::defaults(CertificateRequest::Mode::OpcUa,
                                     CertificateRequest::Configured{"ssl", "c.pem", "k.pem", "", ""}, "host");
    request.country = request.state = request.locality = request.organization = "X";
    (field == "dns" ? request.dnsNames : request.ipAddresses) = QStringList{value};
    if (field == "uri")
        request.uri = value, request.ipAddresses.clear();
    QStringList texts;
    for (const CertificateRequest::FieldProblem& found : request.validate())
        texts << found.text();
    QCOMPARE(texts.join('\n'), problem);
}

void TestCore::userRules_data()
{
    // A change through the users service to alice (Admin) and bob (Guest): "add NAME PASSWORD",
    // "passwd NAME PASSWORD", "rename OLD NEW [PASSWORD]", "role NAME admin|guest" or "remove NAME"; the
    // reason it is refused (empty: done); whether the service first warns that no Admin would be left.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("lastAdmin");
    auto row = [](const char* tag, QString change, QString reason = QString(), bool lastAdmin = false) {
        QTest::newRow(tag) << change << reason << lastAdmin;
    };
    const QString bytes("This field has to have between %1 and %2 bytes; each non-ASCII character takes 2 to "
                        "4 bytes.");
    const QString password = bytes.arg(5).arg(30), name = bytes.arg(2).arg(20);
    const QString a16(16, QChar(0xe4)), a11 = a16.left(11); // two bytes each in UTF-8
    row("add, 16 \u00e4 password", "add carol " + a16, password);
    row("passwd, 16 \u00e4 password", "passwd bob " + a16, password);
    row("passwd, 15 \u00e4 password", "passwd bob " + a16.mid(1));
    row("add, ASCII password too long", "add carol " + QString(31, 'p'),
        "This field has to have between 5 and 30 characters.");
    row("add, 10 \u00e4 name", "add " + a11.mid(1) + " secret");
    row("add, 11 \u00e4 name", "add " + a11 + " secret", name);
    row("rename, 11 \u00e4 name", "rename bob " + a11 + " secret", name);
    row("rename without password", "rename bob robert",
        "A new name needs a new password: the stored one is bound to the name.");
    row("rename with password", "rename bob robert newpass");
    // A name that differs from another user's only in case is a likely slip; a user's own case may change.
    const QString twin("The user %1 exists, and a name that differs only in case is likely a mistake.");
    row("add, case-only twin", "add BOB secret", twin.arg("bob"));
    row("rename to a case-only twin", "rename alice Bob newpass", twin.arg("bob"));
    row("rename, own case", "rename bob Bob newpass");
    row("rename the last Admin", "rename alice alicia newpass");
    row("demote the last Admin", "role alice guest", "", true);
    row("remove the last Admin", "remove alice", "", true);
    row("remove a Guest", "remove bob");
}

// Every front end goes through the service, so its verdicts are the rules: a refusal leaves the file as it
// was, a change is what logs in afterwards.
void TestCore::userRules()
{
    QFETCH(QString, change);
    QFETCH(QString, reason);
    QFETCH(bool, lastAdmin);
    ConfigSnapshot s;
    std::unique_ptr<IniAuth> store = aliceAndBob(s, "bobpw");
    QVERIFY(store);
    const UsersService users(store.get());
    const QByteArray before = readAll(s.usersFile.path);

    const QStringList w = change.split(' ');
    const User old(w[1].toStdString(), w[1] == "alice" ? eAuthRole_Admin : eAuthRole_Guest);
    const AuthRole role = w[0] == "role"     ? UsersService::roleFromName(w[2])
                          : w[0] == "remove" ? eAuthRole_None
                          : w[0] == "add"    ? eAuthRole_Operator
                                             : old.m_role;
    QCOMPARE(!users.lastAdminGuard(w[1], role).isEmpty(), lastAdmin);
    UsersService::Result result;
    if (w[0] == "add")
        result = users.add(w[1], w[2], role);
    else if (w[0] == "passwd")
        result = users.edit(old, w[1], role, w[2]);
    else if (w[0] == "rename")
        result = users.edit(old, w[2], role, w.value(3));
    else if (w[0] == "role")
        result = users.edit(old, w[1], role, QString());
    else
        result = users.remove(w[1]);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.ok(), reason.isEmpty());
    if (!result.ok()) {
        QVERIFY(readAll(s.usersFile.path) == before && users.check("bob", "bobpw") == eAuthRole_Guest);
        return;
    }
    // Afterwards the user logs in, with the new password or the old one, as the new role (none: removed).
    const bool newPassword = w[0] == "add" || w[0] == "passwd" || w[0] == "rename";
    QCOMPARE(users.check(w[0] == "rename" ? w[2] : w[1], newPassword ? w.last() : w[1] + "pw"), role);
}

void TestCore::createdFilesTakeTheConfigurationsOwnership()
{
    // Whatever the umask: the configuration's group and bits, never anything for others.
    QVERIFY(QFile::remove(mox("OpcUa/users.ini")) || true);
    QCOMPARE(::chown(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0, 65534), 0);
    QCOMPARE(::chmod(QFile::encodeName(mox("OpcUa/MoxOpcUa.ini")).constData(), 0777), 0);
    const mode_t umask = ::umask(0);
    const ConfigSnapshot s = load();
    const SecurityActions actions(s);
    const ActionResult created = actions.createUsersFile();
    const ActionResult folders = actions.createClientFolders();
    ::umask(umask);
    QVERIFY(created.ok && created.changed && folders.ok && folders.changed);
    QCOMPARE(fileMode(s.usersFile.path), 0640); // a secret file, however open the configuration
    QCOMPARE(int(QFileInfo(s.usersFile.path).groupId()), 65534);
    for (const PathState* folder : s.clientFolders())
        QCOMPARE(fileMode(folder->path), 0750);

    // Deleting the folders keeps one that holds the configuration and says why.
    configure({"CERTIFICATE_TRUST_LIST_PATH=."});
    const ActionResult removed = SecurityActions(load()).deleteClientFolders();
    QVERIFY(!removed.ok && removed.changed);
    QCOMPARE(removed.problems.size(), 1);
    QVERIFY2(removed.problems[0].message.contains(mox("OpcUa/MoxOpcUa.ini")),
             qPrintable(removed.problems[0].message));
    QVERIFY(QFile::exists(mox("OpcUa/MoxOpcUa.ini")) && !QFileInfo::exists(mox("OpcUa/pki/issuers")));
}

namespace {
// Runs the real openssl in folder; true when it succeeded.
bool openssl(const QString& folder, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start("openssl", arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}
} // namespace

void TestCore::serverCertificateChecks_data()
{
    // openssl req options beyond a fresh RSA key; the key file used (own or another); the warnings expected,
    // each a start of a message (the sample configures urn:MOX:UA:TestServer); the CA flag.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("foreignKey");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<bool>("ca");
    const QString host = QSysInfo::machineHostName();
    const QString san = "subjectAltName=URI:urn:MOX:UA:TestServer,DNS:" + host;
    auto row = [](const char* tag, QStringList options, bool foreign, QStringList warnings, bool ca = false) {
        QTest::newRow(tag) << options << foreign << warnings << ca;
    };
    row("matching", {"-addext", san}, false, {});
    row("wrong URI", {"-addext", "subjectAltName=URI:urn:MOX:UA:Other,DNS:" + host}, false,
        {"The certificate's URI urn:MOX:UA:Other differs from APPLICATION_URI urn:MOX:UA:TestServer."});
    row("no URI, host missing", {"-addext", "subjectAltName=DNS:elsewhere.example"}, false,
        {"The certificate holds no URI, APPLICATION_URI is urn:MOX:UA:TestServer.",
         "The host name " + host + " is not among the certificate's DNS names (elsewhere.example)."});
    row("foreign key", {"-addext", san}, true, {"The key does not belong to the certificate."});
    row("expires tomorrow", {"-addext", san, "-days", "1"}, false, {"The certificate expires on "});
    row("1024 bits", {"-addext", san, "-newkey", "rsa:1024"}, false,
        {"The certificate's key has 1024 bits, under the 2048 that Basic256Sha256 needs."});
    row("SHA-1", {"-addext", san, "-sha1"}, false,
        {"The certificate is signed with sha1WithRSAEncryption, too weak for Basic256Sha256."});
    row("DER", {"-addext", san, "-outform", "DER"}, false, {});
    row("CA",
        {"-addext", san, "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign"},
        false, {}, true);
}

void TestCore::serverCertificateChecks()
{
    QFETCH(QStringList, options);
    QFETCH(bool, foreignKey);
    QFETCH(QStringList, warnings);
    QFETCH(bool, ca);
    const QString folder = root() + "/made";
    QVERIFY(QDir().mkpath(folder));
    // A configuration of its own, so only what the options ask for ends up in the certificate.
    QVERIFY(write(folder + "/req.cnf", "[req]\ndistinguished_name=dn\n[dn]\n"));
    QString arguments = "req -x509 -config req.cnf -nodes -keyout key.pem -out cert.crt";
    arguments += options.contains("-newkey") ? "" : " -newkey rsa:2048";
    arguments += options.contains("-days") ? "" : " -days 365";
    QVERIFY(openssl(folder, arguments.split(' ') + QStringList{"-subj", "/C=DE/O=Acme/CN=server"} + options));
    QVERIFY(!foreignKey || openssl(folder, {"genrsa", "-out", "key.pem", "2048"}));
    configure({"USE_RELATIVE_PATH=N", "APPLICATION_CERTIFICATE_PATH=" + folder + "/cert.crt",
               "APPLICATION_PRIVATE_KEY_PATH=" + folder + "/key.pem"});

    const ConfigSnapshot s = load();
    QCOMPARE(messages(s.errors), QStringList());
    QCOMPARE(s.warnings.size(), warnings.size());
    for (int i = 0; i < warnings.size(); ++i) {
        QVERIFY2(s.warnings[i].message.startsWith(warnings[i]), qPrintable(s.warnings[i].message));
        QVERIFY(s.warnings[i].detail.contains(folder + "/cert.crt"));
    }

    // The details against what the file holds, worked out here independently of libcrypto.
    CertificateInfo info;
    QString error;
    QVERIFY2(CertificateInfo::readFile(folder + "/cert.crt", info, &error), qPrintable(error));
    QByteArray der = readAll(folder + "/cert.crt");
    QCOMPARE(info.der, options.contains("DER"));
    if (!info.der) {
        QByteArray base64;
        for (const QByteArray& line : der.split('\n'))
            base64 += line.startsWith("-----") ? QByteArray() : line;
        der = QByteArray::fromBase64(base64);
    }
    QCOMPARE(info.sha1Thumbprint,
             QString(QCryptographicHash::hash(der, QCryptographicHash::Sha1).toHex().toUpper()));
    QCOMPARE(info.sha256Fingerprint,
             QString(QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex().toUpper()));
    QCOMPARE(info.subjectText, QString("CN=server,O=Acme,C=DE"));
    QVERIFY(info.selfSigned);
    QCOMPARE(info.isCa, ca);
    QCOMPARE(info.keyUsage, ca ? QStringList{"Certificate Sign"} : QStringList());
    QCOMPARE(info.keyBits, options.contains("rsa:1024") ? 1024 : 2048);
    QCOMPARE(info.daysLeft(), options.contains("-days") ? 0 : 364);
    QCOMPARE(info.notBefore.secsTo(info.notAfter), options.contains("-days") ? 86400 : 365 * 86400);
}

void TestCore::keyOpensInProcess_data()
{
    // openssl commands making key.pem (or key.der); the configured pass phrase; whether it opens.
    QTest::addColumn<QStringList>("make");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<bool>("opens");
    auto row = [](const char* tag, const QString& make, const char* file, const char* phrase, bool opens) {
        QTest::newRow(tag) << make.split(' ') << file << phrase << opens;
    };
    const QString encrypted = "genrsa -aes256 -passout pass:sesame -out key.pem 2048";
    const QString der = "pkcs8 -topk8 -in key.pem -passin pass:sesame -v2 aes256 -passout pass:sesame "
                        "-outform DER -out key.der";
    row("encrypted, right", encrypted, "key.pem", "sesame", true);
    row("encrypted, wrong", encrypted, "key.pem", "barley", false);
    row("encrypted, empty", encrypted, "key.pem", "", false);
    // openssl rsa -check took an unencrypted key whatever the phrase; so does the check in process.
    row("plain, any phrase", "genrsa -out key.pem 2048", "key.pem", "whatever", true);
    row("DER PKCS#8, encrypted", der, "key.der", "sesame", true);
    row("DER PKCS#8, wrong", der, "key.der", "barley", false);
    row("a certificate, no key", "req -x509 -key key.pem -passin pass:sesame -subj /CN=x -out cert.pem",
        "cert.pem", "sesame", false);
}

void TestCore::keyOpensInProcess()
{
    QFETCH(QStringList, make);
    QFETCH(QString, file);
    QFETCH(QString, passphrase);
    QFETCH(bool, opens);
    const QString folder = root() + "/keys";
    QVERIFY(QDir().mkpath(folder));
    if (make.first() != "genrsa")
        QVERIFY(openssl(folder, {"genrsa", "-aes256", "-passout", "pass:sesame", "-out", "key.pem", "2048"}));
    QVERIFY(openssl(folder, make));
    QString cause;
    QCOMPARE(ConfigSnapshot::keyOpensWith(folder + '/' + file, passphrase, &cause), opens);
    // A refusal names the file and never holds the phrase.
    QCOMPARE(cause.startsWith(folder + '/' + file + ": "), !opens);
    QVERIFY(passphrase.isEmpty() || !cause.contains(passphrase));
}

void TestCore::deletionsKeepABackup()
{
    // A deletion moves the users file into a new backup of its own mode (the backup folder keeps others
    // out), whence it can be restored byte for byte.
    ConfigSnapshot s = load();
    QVERIFY(SecurityActions(s).createUsersFile().ok);
    QVERIFY(write(s.usersFile.path, "[ADMIN]\r\nbob=1\r\n"));
    QCOMPARE(::chmod(QFile::encodeName(s.usersFile.path).constData(), 0640), 0);
    const ActionResult removed = SecurityActions(load()).deleteUsersFile();
    QVERIFY(removed.ok && removed.changed && removed.backups.size() == 1 && !QFile::exists(s.usersFile.path));
    QCOMPARE(readAll(removed.backups.first() + "/users.ini"), QByteArray("[ADMIN]\r\nbob=1\r\n"));
    const QDir backups(mox("OpcUa/.backup"));
    QCOMPARE(fileMode(backups.path()), 0700);
    QCOMPARE(fileMode(removed.backups.first()), 0700);
    QCOMPARE(fileMode(removed.backups.first() + "/users.ini"), 0640);

    // A planted link in place of the backup folder is never followed: nothing is moved, and it says why.
    QVERIFY(QDir(backups.path()).removeRecursively() && QFile::link(mox("elsewhere"), backups.path()));
    QVERIFY(QDir().mkpath(mox("elsewhere")));
    s = load();
    QVERIFY(SecurityActions(s).createUsersFile().ok);
    const ActionResult refused = SecurityActions(load()).deleteUsersFile();
    QVERIFY(!refused.ok && QFile::exists(s.usersFile.path));
    QVERIFY(QDir(mox("elsewhere")).isEmpty());
    QVERIFY(SecurityActions(load()).deleteUsersFile(false).ok && !QFile::exists(s.usersFile.path));
}

void TestCore::backupNamesAndPruning()
{
    // A folder named after a future time, foreign names and a clock going back never stop a backup; only
    // the tool's own oldest backups are pruned, by the order they were made.
    const QDir backups(mox("OpcUa/.backup"));
    const QStringList foreign{"99991231-235959", "99991231-235959-99", "zz-notes", "20200101-000000"};
    for (const QString& name : foreign)
        QVERIFY(backups.mkpath(name));
    QVERIFY(write(backups.filePath("99991231-235959/keep.txt"), "mine"));
    const QDateTime start = QDateTime::currentDateTime();
    QStringList made;
    for (int round = 0; round < 12; ++round) {
        const QString users = mox("OpcUa/users.ini");
        QVERIFY(write(users, "[ADMIN]\r\nround=" + QByteArray::number(round) + "\r\n"));
        QStringList used;
        QString error;
        // The clock goes back an hour each round; two rounds share each second.
        QVERIFY2(Backup::moveAway({users}, start.addSecs(-3600 * (round / 2)), used, &error),
                 qPrintable(error));
        QCOMPARE(used.size(), 1);
        QVERIFY(!made.contains(used.first()));
        made << used.first();
        QVERIFY(Backup::prune(mox("OpcUa"), {}).isEmpty());
    }
    QVERIFY(!QFileInfo::exists(made.at(0)) && !QFileInfo::exists(made.at(1)));
    for (int round = 2; round < 12; ++round)
        QCOMPARE(readAll(made.at(round) + "/users.ini"),
                 "[ADMIN]\r\nround=" + QByteArray::number(round) + "\r\n");
    for (const QString& name : foreign)
        QVERIFY(backups.exists(name));
    QCOMPARE(readAll(backups.filePath("99991231-235959/keep.txt")), QByteArray("mine"));
}

void TestCore::deletionsNeverChangeALinksTarget()
{
    // Key and users file are links to files elsewhere: each is backed up as the link, and what it points
    // at keeps its mode and bytes. The key and the certificate, in two folders, share one backup name.
    const std::pair<const char*, QByteArray> outside[] = {{"outside/passwd", "root:x:0:0\n"},
                                                          {"outside/users", "[ADMIN]\n"}};
    for (const auto& [file, bytes] : outside)
        QVERIFY(write(mox(file), bytes) && ::chmod(QFile::encodeName(mox(file)).constData(), 0644) == 0);
    QVERIFY(write(mox("OpcUa/pki/own/cert.pem"), "certificate"));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/own/private")));
    QVERIFY(QFile::link(mox("outside/passwd"), mox("OpcUa/pki/own/private/key.pem")));
    QVERIFY(QFile::link(mox("outside/users"), mox("OpcUa/users.ini")));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/own/.backup/99991231-235959")));
    const ConfigSnapshot s = load();
    const ActionResult pair = SecurityActions(s).deleteKeyPair(SecurityActions::Pair::OpcUa);
    const ActionResult users = SecurityActions(s).deleteUsersFile();
    QVERIFY(pair.ok && users.ok);
    for (const QString& moved : {pair.backups.value(0) + "/key.pem", users.backups.value(0) + "/users.ini"})
        QVERIFY2(QFileInfo(moved).isSymLink(), qPrintable(moved));
    for (const auto& [file, bytes] : outside)
        QVERIFY2(fileMode(mox(file)) == 0644 && readAll(mox(file)) == bytes, file);
    QCOMPARE(pair.backups.size(), 2);
    QCOMPARE(QFileInfo(pair.backups[0]).fileName(), QFileInfo(pair.backups[1]).fileName());
}

void TestCore::deadWritersLeftoversNeverKeepAFolder()
{
    // What killed writers left (empty or half written) goes with its folder; a live writer's file, or a
    // foreign file, still keeps the folder.
    const pid_t dead = ::fork();
    if (dead == 0)
        _exit(0);
    QCOMPARE(::waitpid(dead, nullptr, 0), dead);
    const QByteArray pid = QByteArray::number(dead);
    QVERIFY(SecurityActions(load()).createClientFolders().ok);
    QVERIFY(write(mox("OpcUa/pki/trusted/.a.der." + pid + ".0f3c.tmp")));
    QVERIFY(write(mox("OpcUa/pki/crl/.b.crl." + pid + ".12ab.aside"), "-----BEGIN X509 CRL-----"));
    QVERIFY(write(mox("OpcUa/pki/issuers/.c.der." + QByteArray::number(::getppid()) + ".0f3c.tmp")));
    QVERIFY(write(mox("OpcUa/pki/rejected/a.der." + pid + ".0f3c.tmp")));
    const ActionResult removed = SecurityActions(load()).deleteClientFolders(false);
    QVERIFY(!QFileInfo::exists(mox("OpcUa/pki/trusted")) && !QFileInfo::exists(mox("OpcUa/pki/crl")));
    QCOMPARE(messages(removed.problems).join('|').count("was not deleted"), 2);
    QVERIFY(QFileInfo::exists(mox("OpcUa/pki/issuers")) && QFileInfo::exists(mox("OpcUa/pki/rejected")));
}

// Under a root, ".." and links (relative or absolute, in the middle or at the end) never lead out of it;
// a loop of links gives no path at all rather than one the kernel would follow elsewhere.
void TestCore::rootedPathsStayInside_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("inside"); // empty: no path
    for (const char* link :
         {"/mox/../../../etc/key.pem", "/mox/out/key.pem", "/mox/up/etc/key.pem", "/mox/key.pem"})
        QTest::newRow(link) << link << "/etc/key.pem";
    QTest::newRow("loop") << "/mox/loop/key.pem" << QString();
}

void TestCore::rootedPathsStayInside()
{
    QFETCH(QString, path);
    QFETCH(QString, inside);
    QVERIFY(QDir(root()).mkpath("mox"));
    QVERIFY(QFile::link("/etc", mox("out")) && QFile::link("../../../..", mox("up")) &&
            QFile::link("/etc/key.pem", mox("key.pem")) && QFile::link("loop", mox("loop")));
    QCOMPARE(QString::fromStdString(RootedInstEnumerator::rooted(root(), path.toStdString())),
             inside.isEmpty() ? inside : root() + inside);
}

QTEST_MAIN(TestCore)
#include "tst_core.moc"
