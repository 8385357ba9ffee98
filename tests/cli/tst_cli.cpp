// moxsec as a whole process, and in process where the process adds nothing to check, on a sample
// installation in a temporary folder.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtTest>

#include "cli/moxsec.h"
#include "cli/output.h"
#include "moxsecFixture.h"
#include "nobodyCopy.h"
#include "testCertificates.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
const char s_password[] = "Alice-pw-1";
} // namespace

class TestCli : public MoxsecFixture
{
    Q_OBJECT

private slots:
    void init();
    void jsonShape_data();
    void jsonShape();
    void badInputChangesNothing_data();
    void badInputChangesNothing();
    void ensureWritesNothing_data();
    void ensureWritesNothing();
    void unwritableUsersFile_data();
    void unwritableUsersFile();
    void statusReportsErrorsButNoSecrets();
    void secretsNeverOnCommandLines();
    void helpAndVersion();
    void manPageCoversHelp();
    void terminalPrompts();
    void certificateAndConfigCommands();
    void trustListAndImport();
    void trustNames_data();
    void trustNames();
    void honestOutput();
    void plainNameTest();
    void boundedInput_data();
    void boundedInput();
    void rootConfines();

private:
    // In this process, on the sample installation.
    Moxsec::Result inProcess(const QStringList& arguments, const QByteArray& input = QByteArray()) const
    {
        return Moxsec::runInProcess(QStringList{"--root", m_dir->path()} + arguments, input);
    }
};

// Every test starts on a sample installation with a users file holding alice (admin).
void TestCli::init()
{
    MoxsecFixture::init();
    QCOMPARE(inProcess({"auth", "create"}).exitCode, 0);
    QCOMPARE(inProcess({"users", "add", "alice", "--role", "admin", "--password-stdin"}, s_password).exitCode,
             0);
}

void TestCli::jsonShape_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("dataKey");         // a key data must hold
    QTest::addColumn<bool>("dryRun");             // tried first with --dry-run (and without --yes)
    QTest::addColumn<QStringList>("wouldChange"); // a word each entry holds, in order; none: unchanged

    const QString subject = " --country DE --state BY --locality M --organization Acme --bits 1024";
    const char* const none = nullptr; // no dry run: reads only, or fails
    const struct
    {
        const char *tag, *arguments, *input;
        int exitCode;
        const char *dataKey, *wouldChange;
    } rows[] = {
        {"status", "status", "", 0, "paths", none},
        {"users list", "users list", "", 0, "users", none},
        {"users add", "users add bob --role guest --password-stdin", "bob-pw-1", 0, "role", "bob"},
        {"users passwd", "users passwd alice --password-stdin", "other-pw", 0, "user", "password"},
        {"users rename", "users rename alice carol --password-stdin", "carol-pw", 0, "previous", "carol"},
        {"users role", "users role alice operator --force", "", 0, "role", "operator"},
        {"users remove", "users remove alice --yes --force", "", 0, "user", "alice"},
        {"users check ok", "users check alice --password-stdin", s_password, 0, "valid", none},
        {"users check wrong", "users check alice --password-stdin", "Alice-pw-2", 1, "valid", none},
        {"users ensure new", "users ensure dave --role guest --password-stdin", "dave-pw-1", 0, "role",
         "dave"},
        {"users ensure same", "users ensure alice --role admin --password-stdin", s_password, 0, "", ""},
        {"users ensure other", "users ensure alice --role guest --password-stdin --force", "Alice-pw-9", 0,
         "", "guest password"},
        {"users ensure absent", "users ensure alice --absent --yes --force", "", 0, "user", "alice"},
        {"cert generate", "cert generate core SUBJECT", "", 0, "encoding", "moxcore.key moxcore.cer"},
        {"cert ensure", "cert ensure opcua --passphrase-stdin --update-config --tighten SUBJECT", "phrase", 0,
         "uri", "key.pem cert.pem APPLICATION_PRIVATE_KEY_PASSWORD"},
        {"cert delete", "cert delete core --yes", "", 0, "pair", ""},
        {"config set-uri", "config set-uri urn:MOX:UA:Other", "", 0, "key", "APPLICATION_URI"},
        {"config set-uri same", "config set-uri urn:MOX:UA:TestServer", "", 0, "key", ""},
        {"config set-passphrase", "config set-passphrase --passphrase-stdin --tighten", "p", 0, "",
         "APPLICATION_PRIVATE_KEY_PASSWORD"},
        {"folders create", "folders create", "", 0, "folders", "trusted issuers crl rejected"},
        {"folders delete", "folders delete --yes", "", 0, "folders", ""},
        {"auth create", "auth create", "", 0, "usersFile", ""},
        {"auth delete", "auth delete --yes", "", 0, "usersFile", "users.ini"},
        {"trust import", "trust import CERT", "", 0, "", "issuers"},            // a CA certificate
        {"trust import twice", "trust import CERT CERT", "", 0, "", "issuers"}, // the same file: one write
        {"bad usage", "users frobnicate", "", 2, "", none},
    };
    for (const auto& row : rows)
        QTest::newRow(row.tag) << QString(row.arguments).replace(" SUBJECT", subject).split(' ')
                               << QByteArray(row.input) + '\n'
                               << row.exitCode << QString(row.dataKey) << bool(row.wouldChange)
                               << QString(row.wouldChange).split(' ', Qt::SkipEmptyParts);
}

// A dry run checks as the real run does, says what that will change and writes nothing. Then the real run:
// one object with five typed keys for every command, failures included; ok and exit status agree.
void TestCli::jsonShape()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, dataKey);
    QFETCH(bool, dryRun);
    QFETCH(QStringList, wouldChange);

    if (arguments.first() == "trust") {
        QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
        arguments.replaceInStrings("CERT", TestCertificates(m_dir->path()).make("client.pem", "Panel", true));
    }
    if (dryRun) {
        const QMap<QString, QByteArray> before = files();
        QStringList dry = arguments;
        dry.removeAll("--yes");
        const Run run = moxsec(QStringList{"--json", "--dry-run"} + dry, input);
        QVERIFY2(run.exitCode == 0, run.out.constData());
        QCOMPARE(files(), before);
        const QJsonObject object = QJsonDocument::fromJson(run.out).object();
        QCOMPARE(object["changed"].toBool(), !wouldChange.isEmpty());
        QVERIFY(object["data"]["dry_run"].toBool());
        const QJsonArray changes = object["data"]["would_change"].toArray();
        QCOMPARE(changes.size(), wouldChange.size());
        for (int i = 0; i < changes.size(); ++i)
            QVERIFY2(changes[i].toString().contains(wouldChange[i]), qPrintable(changes[i].toString()));
    }

    const Run run = moxsec(QStringList{"--json"} + arguments, input);
    QCOMPARE(run.exitCode, exitCode);
    // Problems are in the object: standard error holds only errors, and no parser noise.
    QVERIFY2(!run.err.contains("warning:") && !run.err.contains("QCommandLineParser"), run.err.constData());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(run.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, run.out.constData());
    const QJsonObject object = document.object();
    QCOMPARE(object.keys(), (QStringList{"changed", "data", "errors", "ok", "warnings"}));
    QVERIFY(object["ok"].isBool() && object["changed"].isBool());
    QVERIFY(object["errors"].isArray() && object["warnings"].isArray() && object["data"].isObject());
    QCOMPARE(object["ok"].toBool(), exitCode == 0);
    QCOMPARE(object["changed"].toBool(), !wouldChange.isEmpty());
    QCOMPARE(object["errors"].toArray().isEmpty(), exitCode == 0);
    for (const char* list : {"errors", "warnings"}) {
        for (const QJsonValue& problem : object[list].toArray())
            QVERIFY(problem.toObject()["message"].isString() && problem.toObject()["detail"].isString());
    }
    if (!dataKey.isEmpty())
        QVERIFY2(object["data"].toObject().contains(dataKey), run.out.constData());
}

void TestCli::badInputChangesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("plant"); // a file to lay down first, under mox/
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QString add = "users add %1 --role guest --password-stdin",
                  lastAdmin = "alice is the last Admin: "
                              "without an Admin no one will be able to administer the server.";
    const QString subject = " --country DE --state BY --locality M --organization Acme";
    const struct
    {
        const char* tag;
        QString arguments; // split as a shell would
        QByteArray input;
        const char* plant; // a file to lay down first, under mox/
        int exitCode;
        QString message;
    } rows[] = {
        {"unknown user", "users passwd zoe --password-stdin", "zoe-pw-1", "", 1, "There is no such user."},
        {"last admin: remove", "users remove alice --yes", "", "", 1, lastAdmin},
        {"last admin: role", "users role alice guest", "", "", 1, lastAdmin},
        {"last admin: ensure", "users ensure alice --absent --yes", "", "", 1, lastAdmin},
        {"unknown role", "users add bob --role boss --password-stdin", "bob-pw-1", "", 2,
         "Unknown role 'boss'"},
        {"name with =", add.arg("a=b"), "bob-pw-1", "", 2, "cannot contain"},
        {"short password", add.arg("bob"), "abc\n", "", 2, "between 5 and 30"},
        {"existing user", add.arg("alice"), "bob-pw-1", "", 1, "A user of that name already exists."},
        {"no terminal", "users passwd alice", "x-pw-123", "", 2, "--password-stdin"},
        {"delete without yes", "auth delete", "y\n", "", 2, "--yes"},
        {"new user without password", "users ensure bob --role guest", "", "", 1, "needs a password"},
        {"bad ip", "cert generate opcua --ip 10.0.0.256" + subject, "", "", 2, "not an IPv4 or IPv6 address"},
        {"no country", "cert generate core --state BY --locality M --organization Acme", "", "", 2,
         "--country is required"},
        {"der for pem path", "cert generate opcua --der" + subject, "", "", 2, "--der is refused"},
        {"key without certificate", "cert ensure opcua" + subject, "", "OpcUa/pki/own/private/key.pem", 1,
         "pki/own/cert.pem"},
        {"certificate without key", "cert ensure core" + subject, "", "moxcore/moxcore.cer", 1,
         "moxcore/moxcore.key"},
        {"set-uri plant-server", "config set-uri plant-server", "", "", 2, "URI needs a scheme"},
        // The sample configuration is 0644, so a pass phrase needs --tighten.
        {"pass phrase, readable config", "config set-passphrase --passphrase-stdin", "secret\n", "", 1,
         "others may read the OPC UA config"},
        {"new pair, readable config", "cert generate opcua --passphrase-stdin --update-config" + subject,
         "secret\n", "", 1, "--tighten removes their access"},
    };
    for (const auto& row : rows)
        QTest::newRow(row.tag) << QProcess::splitCommand(row.arguments) << row.input << QString(row.plant)
                               << row.exitCode << row.message;
}

// Refused input says why in one line and leaves every file byte for byte.
void TestCli::badInputChangesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, plant);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    if (!plant.isEmpty())
        QVERIFY(write(path(plant), "planted"));
    const QMap<QString, QByteArray> before = files();
    const auto run = inProcess(arguments, input);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY2(!run.err.contains("This field"), run.err.constData()); // the dialogs' wording
    QCOMPARE(files(), before);
}

void TestCli::ensureWritesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("changed");

    QTest::newRow("same role and password")
        << QStringList{"--role", "admin", "--password-stdin"} << QByteArray(s_password) << false;
    QTest::newRow("same role") << QStringList{"--role", "ADMIN"} << QByteArray() << false;
    QTest::newRow("other role") << QStringList{"--role", "guest", "--force"} << QByteArray() << true;
    QTest::newRow("other password") << QStringList{"--role", "admin", "--password-stdin"}
                                    << QByteArray("Alice-pw-9") << true;
}

// An ensure that matches the file does not touch it (inode and mtime); one that differs changes only that.
void TestCli::ensureWritesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(bool, changed);

    const QByteArray users = QFile::encodeName(path("OpcUa/users.ini"));
    struct stat before, after;
    QCOMPARE(::stat(users.constData(), &before), 0);
    const auto run = inProcess(QStringList{"--json", "users", "ensure", "alice"} + arguments, input);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.json["changed"].toBool(), changed);
    QCOMPARE(::stat(users.constData(), &after), 0);
    const bool same = before.st_ino == after.st_ino && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                      before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
    QCOMPARE(same, !changed);
    // What ensure promised is what the file now says.
    const QByteArray password = input.isEmpty() ? QByteArray(s_password) : input;
    QCOMPARE(inProcess({"users", "check", "alice", "--password-stdin"}, password).exitCode, 0);
    const QString role = arguments.at(1).toLower();
    QVERIFY(inProcess({"users", "list"}).out.contains(role.toUtf8()));
}

// A users file moxsec may not write: nobody, who may read it, is refused up front, naming the file and sudo,
// and still gets the same status as root; root under a file size limit fails in the save. The file stays.
void TestCli::unwritableUsersFile_data()
{
    QTest::addColumn<bool>("nobody");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("nobody") << true << QByteArray("This user cannot write what this changes");
    QTest::newRow("size limit") << false << QByteArray("The users file could not be written.");
}

void TestCli::unwritableUsersFile()
{
    QFETCH(bool, nobody);
    QFETCH(QByteArray, said);
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty() || ::geteuid() != 0)
        QSKIP("needs root and setpriv");
    QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(path("OpcUa/users.ini")).constData(), 0644) == 0);
    QTemporaryDir programs;
    m_program = nobodyCopy(MOXSEC_PATH, programs.filePath("bin"), m_env);
    QVERIFY(!m_program.isEmpty() && ::chmod(QFile::encodeName(programs.path()).constData(), 0755) == 0);
    // An ignored SIGXFSZ stays ignored through exec, so the write fails instead of killing moxsec.
    const QStringList prefix =
        nobody ? QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"}
               : QStringList{"bash", "-c", "trap '' XFSZ; exec prlimit --fsize=16 \"$@\"", "bash"};
    QString backup;
    if (nobody) {
        // A backup nobody may read (opened to all here) but not write: restoring it is refused up front.
        QVERIFY(moxsec({"auth", "delete", "--yes"}).exitCode == 0 && write(path("OpcUa/users.ini"), ""));
        QVERIFY(::chmod(QFile::encodeName(path("OpcUa/users.ini")).constData(), 0644) == 0);
        for (const QFileInfo& entry :
             QDir(path("OpcUa/.backup")).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot))
            QVERIFY(::chmod(QFile::encodeName(entry.filePath()).constData(), entry.isDir() ? 0755 : 0644) ==
                    0);
        QVERIFY(::chmod(QFile::encodeName(path("OpcUa/.backup")).constData(), 0755) == 0);
        backup = QFileInfo(QDir(path("OpcUa/.backup")).entryList({"*.json"}).value(0)).completeBaseName();
    }
    const QMap<QString, QByteArray> before = files();
    if (nobody) {
        const Run restore = moxsec({"backup", "restore", backup, "--yes"}, {}, prefix);
        QCOMPARE(restore.exitCode, 1);
        QVERIFY2(restore.err.contains(path("OpcUa/.backup").toUtf8()) && restore.err.contains("sudo moxsec"),
                 restore.err.constData());
    }
    const Run run =
        moxsec({"users", "add", "bob", "--role", "guest", "--password-stdin"}, "bob-pw-1", prefix);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(said), run.err.constData());
    if (nobody) {
        QVERIFY2(run.err.contains(path("OpcUa/users.ini").toUtf8()) && run.err.contains("sudo moxsec"),
                 run.err.constData());
        const Run status = moxsec({"status"}, {}, prefix), asRoot = moxsec({"status"});
        QCOMPARE(status.exitCode, asRoot.exitCode);
        QCOMPARE(status.out, asRoot.out);
    }
    QCOMPARE(files(), before);
}

// Errors and warnings come out with their details; the pass phrase and salt never do.
void TestCli::statusReportsErrorsButNoSecrets()
{
    QVERIFY(write(
        path("OpcUa/MoxOpcUa.ini"),
        readAll(path("OpcUa/MoxOpcUa.ini"))
            .replace("APPLICATION_PRIVATE_KEY_PASSWORD=", "APPLICATION_PRIVATE_KEY_PASSWORD=Zebra-Phrase-77")
            .replace("OPTIONAL_ENCODING_SALT=", "OPTIONAL_ENCODING_SALT=Quokka-Salt-88")
            .replace("USE_RELATIVE_PATH=Y", "USE_RELATIVE_PATH=perhaps")));

    for (const QStringList& arguments : {QStringList{"status"}, QStringList{"--json", "status"}}) {
        const Run run = moxsec(arguments);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.contains("The OPC UA config file is invalid."));
        QVERIFY(run.out.contains("USE_RELATIVE_PATH=perhaps"));
        for (const QByteArray& secret : {QByteArray("Zebra-Phrase-77"), QByteArray("Quokka-Salt-88")})
            QVERIFY(!run.out.contains(secret) && !run.err.contains(secret));
    }
}

// A stand-in openssl first on PATH writes down its own command line and its parent's (moxsec) while
// generating a protected key from a pass phrase on standard input.
void TestCli::secretsNeverOnCommandLines()
{
    const QString bin = m_dir->path() + "/bin";
    QVERIFY(write(bin + "/openssl",
                  QString("#!/bin/bash\n"
                          "tr '\\0' ' ' < /proc/$$/cmdline >> '%1/cmdlines'; echo >> '%1/cmdlines'\n"
                          "tr '\\0' ' ' < /proc/$PPID/cmdline >> '%1/cmdlines'; echo >> '%1/cmdlines'\n"
                          "sleep 0.2\nexec '%2' \"$@\"\n")
                      .arg(m_dir->path(), QStandardPaths::findExecutable("openssl"))
                      .toUtf8()));
    QVERIFY(QFile::setPermissions(bin + "/openssl", QFile::ReadOwner | QFile::ExeOwner));
    m_env.insert("PATH", bin + ":" + m_env.value("PATH"));

    const QByteArray phrase = "Pelican-Phrase-42";
    const Run run = moxsec({"cert", "generate", "opcua", "--passphrase-stdin", "--bits", "1024", "--country",
                            "DE", "--state", "BY", "--locality", "M", "--organization", "Acme"},
                           phrase + "\n");
    QCOMPARE(run.exitCode, 0);
    const QByteArray cmdlines = readAll(m_dir->path() + "/cmdlines");
    QCOMPARE(cmdlines.count(MOXSEC_PATH), 3); // moxsec is the parent of each of the three steps
    QVERIFY(!cmdlines.contains(phrase));
    QVERIFY(readAll(path("OpcUa/pki/own/private/key.pem")).contains("ENCRYPTED"));
}

void TestCli::helpAndVersion()
{
    const Run version = moxsec({"--version"});
    QCOMPARE(version.exitCode, 0);
    const QList<QByteArray> lines = version.out.split('\n');
    QVERIFY(lines.size() >= 3 && lines.at(0).startsWith("moxsec ") && lines.at(1).startsWith("Qt "));
    const Run cert = moxsec({"cert", "ensure", "--help"});
    QCOMPARE(cert.exitCode, 0);
    QVERIFY(cert.out.contains("--passphrase-stdin") && !cert.out.contains("--password-stdin"));
}

// Every command and option that --help lists, of moxsec and of each command, is in the man page.
void TestCli::manPageCoversHelp()
{
    QFile file(qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/packaging/moxsec.1");
    QVERIFY(file.open(QIODevice::ReadOnly));
    // As man shows it: "\-" is a hyphen, font changes and quotes vanish.
    const QString page =
        QString::fromUtf8(file.readAll()).replace("\\-", "-").remove(QRegularExpression(R"(\\f[BIRP]|")"));
    const QRegularExpression commandLine(R"(^  ([a-z]+(?: [a-z-]+)?) )"),
        option(R"((?<![\w-])(--?[a-z][a-z-]*))");
    QStringList commands, missing;
    for (const QString& line : QString(moxsec({"--help"}).out).split('\n')) {
        if (const QRegularExpressionMatch match = commandLine.match(line); match.hasMatch())
            commands << match.captured(1);
    }
    QVERIFY(commands.size() > 20);
    for (const QString& command : QStringList{""} + commands) {
        const QString help = moxsec(command.split(' ', Qt::SkipEmptyParts) + QStringList{"--help"}).out;
        if (!command.isEmpty() && !QRegularExpression("^\\.[A-Z]+ .*" + QRegularExpression::escape(command),
                                                      QRegularExpression::MultilineOption)
                                       .match(page)
                                       .hasMatch())
            missing << command;
        for (auto it = option.globalMatch(help.section("Options:", 1)); it.hasNext();) {
            const QString name = it.next().captured(1);
            if (!QRegularExpression("(?<![\\w-])" + name + "(?![\\w-])").match(page).hasMatch() &&
                !missing.contains(name))
                missing << name;
        }
    }
    QVERIFY2(missing.isEmpty(), qPrintable("not in moxsec.1: " + missing.join(", ")));
}

// On a terminal (a pty from script(1)) passwords are asked twice without echo, and deletions are asked.
void TestCli::terminalPrompts()
{
    // Each answer is typed after a pause, once moxsec waits for it; the pty echoes what it is not told to
    // hide.
    QByteArray shown;
    const auto onTerminal = [this, &shown](const QString& command, const QStringList& answers) {
        QString feed;
        for (const QString& answer : answers)
            feed += QString("sleep 0.4; printf '%1\\n'; ").arg(answer);
        QProcess shell;
        shell.start("bash", {"-c", QString("(%1 sleep 0.4) | script -qec '%2 --root %3 %4' /dev/null")
                                       .arg(feed, MOXSEC_PATH, m_dir->path(), command)});
        if (!shell.waitForFinished(30000))
            return -1;
        shown = shell.readAll();
        return shell.exitCode();
    };
    QCOMPARE(onTerminal("users passwd alice", {"typed-twice", "typed-twice"}), 0);
    QVERIFY2(shown.contains("password") && !shown.contains("typed-twice"), shown.constData());
    QCOMPARE(moxsec({"users", "check", "alice", "--password-stdin"}, "typed-twice\n").exitCode, 0);
    QVERIFY(onTerminal("users passwd alice", {"first-one", "second-one"}) != 0);
    QCOMPARE(moxsec({"users", "check", "alice", "--password-stdin"}, "typed-twice\n").exitCode, 0);
    QVERIFY(onTerminal("auth delete", {"n"}) != 0);
    QVERIFY(QFile::exists(path("OpcUa/users.ini")));
    QCOMPARE(onTerminal("auth delete", {"y"}), 0);
    QVERIFY(!QFile::exists(path("OpcUa/users.ini")));
}

// The pair and the configuration kept in step: generate with a new URI and pass phrase, show, check, rename.
void TestCli::certificateAndConfigCommands()
{
    const QByteArray before = files().value(path("OpcUa/MoxOpcUa.ini"));
    const QStringList subject{"--country",  "DE",     "--state",        "BY",
                              "--locality", "Munich", "--organization", "Acme"};
    Run run = moxsec(QStringList{"cert", "generate", "opcua", "--uri-end", "Plant", "--passphrase-stdin",
                                 "--update-config", "--tighten", "--dns", QSysInfo::machineHostName()} +
                         subject,
                     "new phrase\n");
    QCOMPARE(run.exitCode, 0);
    QByteArray expected = before;
    expected.replace("APPLICATION_URI=urn:MOX:UA:TestServer\n", "APPLICATION_URI=urn:MOX:UA:Plant\n")
        .replace("APPLICATION_PRIVATE_KEY_PASSWORD=\n", "APPLICATION_PRIVATE_KEY_PASSWORD=new phrase\n");
    QCOMPARE(files().value(path("OpcUa/MoxOpcUa.ini")), expected);
    // The sample configuration was 0644: others lost their access before the pass phrase went in.
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path("OpcUa/MoxOpcUa.ini")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, 0640u);

    run = moxsec({"cert", "show", "opcua", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject certificate =
        QJsonDocument::fromJson(run.out).object()["data"].toObject()["certificate"].toObject();
    QCOMPARE(certificate["uris"].toArray(), QJsonArray{"urn:MOX:UA:Plant"});
    QVERIFY(certificate["sha1Thumbprint"].toString().contains(QRegularExpression("^[0-9A-F]{40}$")));
    QCOMPARE(certificate["keyBits"].toInt(), 2048);
    QCOMPARE(moxsec({"cert", "show", path("OpcUa/MoxOpcUa.ini")}).exitCode, 1);

    QCOMPARE(moxsec({"status", "--strict"}).exitCode, 0);

    // A URI written alone: the certificate no longer fits, said as it stands after the write; a warning
    // about another file (users file readable by all) is left to status.
    QVERIFY(::chmod(QFile::encodeName(path("OpcUa/users.ini")).constData(), 0644) == 0);
    run = moxsec({"config", "set-uri", "urn:MOX:UA:Other"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, "moxsec: warning: The certificate's URI urn:MOX:UA:Plant differs from APPLICATION_URI "
                      "urn:MOX:UA:Other.\n" +
                          QFile::encodeName(path("OpcUa/pki/own/cert.pem")) + '\n');
    // Written back, the mismatch is gone: nothing to say, and with --json nothing on standard error.
    run = moxsec({"--json", "config", "set-uri", "urn:MOX:UA:Plant"});
    QVERIFY(run.exitCode == 0 && run.err.isEmpty());
    QCOMPARE(QJsonDocument::fromJson(run.out).object()["warnings"].toArray(), QJsonArray());
    QCOMPARE(moxsec({"config", "set-uri", "urn:MOX:UA:Other"}).exitCode, 0);
    expected.replace("urn:MOX:UA:Plant", "urn:MOX:UA:Other");
    QCOMPARE(files().value(path("OpcUa/MoxOpcUa.ini")), expected);
    run = moxsec({"status"}); // it names what set-uri left to it
    QVERIFY2(run.exitCode == 0 && run.out.contains("(mode 0644)"), run.out.constData());
    QCOMPARE(moxsec({"config", "set-passphrase"}).exitCode, 2);
}

// Imports by content, the names they get, and the shape of trust list --json.
void TestCli::trustListAndImport()
{
    QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
    TestCertificates make(m_dir->filePath("certs"));
    const QString plain = make.make("plain.der", "Line 3 HMI", false, true, "urn:plant:hmi");
    const QString ca = make.make("ca.pem", "Partner CA", true);
    const QString crl = make.crl("partner.crl", "ca.pem");
    QVERIFY(!plain.isEmpty() && !ca.isEmpty() && !crl.isEmpty());
    Run run = moxsec({"trust", "import", plain, ca, crl, "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject imported = QJsonDocument::fromJson(run.out).object();
    QVERIFY(imported["changed"].toBool());
    const QString pki = path("OpcUa/pki/");
    QCOMPARE(imported["data"]["written"].toArray().toVariantList(),
             QVariantList({pki + "trusted/Line 3 HMI [" + make.thumbprint(plain, true) + "].der",
                           pki + "issuers/Partner CA [" + make.thumbprint(ca) + "].pem",
                           pki + "crl/partner.crl"}));

    run = moxsec({"trust", "list", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject data = QJsonDocument::fromJson(run.out).object()["data"].toObject();
    QCOMPARE(data["folders"]["rejected"].toString(), pki + "rejected");
    const QJsonArray entries = data["entries"].toArray();
    QCOMPARE(entries.size(), 3);
    QStringList seen;
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        QCOMPARE(QStringList(entry.keys()),
                 QStringList({"file", "folder", "kind", "link", "name", "thumbprint", "uri", "validUntil"}));
        QCOMPARE(entry["thumbprint"].toString().size(), 40);
        seen << entry["folder"].toString() + '/' + entry["kind"].toString() + '/' + entry["name"].toString() +
                    '/' + entry["uri"].toString();
    }
    QCOMPARE(seen, QStringList({"trusted/certificate/Line 3 HMI/urn:plant:hmi",
                                "issuers/CA certificate/Partner CA/", "revocation/CRL/Partner CA/"}));
    QVERIFY(QDateTime::fromString(entries[0]["validUntil"].toString(), Qt::ISODate) >
            QDateTime::currentDateTimeUtc().addDays(29));
}

void TestCli::trustNames_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("length"); // of the thumbprint prefix given; 0 the file name
    QTest::addColumn<bool>("twice"); // the certificate lies twice in the rejected folder
    QTest::addColumn<int>("exitCode");
    QTest::newRow("accept, unique prefix") << "accept" << 8 << false << 0;
    QTest::newRow("accept, file name") << "accept" << 0 << false << 0;
    QTest::newRow("accept, ambiguous") << "accept" << 8 << true << 1;
    QTest::newRow("accept, too short") << "accept" << 7 << false << 2;
    QTest::newRow("reject, not in the trust list") << "reject" << 8 << false << 1;
    QTest::newRow("remove without --yes") << "remove" << 8 << false << 2;
}

void TestCli::trustNames()
{
    QFETCH(QString, action);
    QFETCH(int, length);
    QFETCH(bool, twice);
    QFETCH(int, exitCode);
    QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
    TestCertificates make(m_dir->filePath("certs"));
    const QString client = make.make("client.pem", "Client", false, false);
    const QString rejected = path("OpcUa/pki/rejected/");
    QVERIFY(QFile::copy(client, rejected + "client.pem"));
    if (twice)
        QVERIFY(QFile::copy(client, rejected + "client-again.pem"));
    const QMap<QString, QByteArray> before = files();
    const QString key = length ? make.thumbprint(client).left(length) : QString("client.pem");
    const Run run = moxsec({"trust", action, key});
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    if (exitCode == 0) {
        QVERIFY(!QFile::exists(rejected + "client.pem"));
        QCOMPARE(make.thumbprint(path("OpcUa/pki/trusted/client.pem")), make.thumbprint(client));
    } else {
        QCOMPARE(files(), before);
        QVERIFY2(run.err.contains(key.toUtf8()) || run.err.contains("rejected/client.pem"),
                 run.err.constData());
    }
}

namespace {

// Strict: invalid UTF-8 and lone surrogates (which json.loads alone lets through) both fail.
bool strictJson(const QByteArray& json)
{
    QProcess python;
    python.start("python3", {"-c", "import json,sys; json.dumps(json.loads(sys.stdin.buffer.read()"
                                   ".decode('utf-8','strict')),ensure_ascii=False).encode('utf-8')"});
    python.write(json);
    python.closeWriteChannel();
    return python.waitForFinished(30000) && python.exitStatus() == QProcess::NormalExit &&
           python.exitCode() == 0;
}

} // namespace

// A client chooses its own CN: control characters and bidi overrides in it must not redraw the listing, and
// names that are not UTF-8 (or cut inside a character) must not break the JSON.
void TestCli::honestOutput()
{
    if (QStandardPaths::findExecutable("python3").isEmpty())
        QSKIP("python3 is not installed");
    QCOMPARE(moxsec({"folders", "create"}).exitCode, 0);
    TestCertificates make(m_dir->filePath("certs"));
    const QString liar = make.make("liar.der",
                                   "x\r\033[2Ktrusted Plant HMI \u202e"
                                   "abc",
                                   false, true);
    const QString emoji = make.make("emoji.der", QString(64, 'x').replace("x", "\U0001F600"), false, true);
    QVERIFY(!liar.isEmpty() && !emoji.isEmpty());
    QVERIFY(QFile::copy(liar, path("OpcUa/pki/rejected/liar.der")));
    Run run = moxsec({"trust", "import", "--json", emoji});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(strictJson(run.out), run.out.constData());

    run = moxsec({"trust", "list"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("x\\r\\033[2Ktrusted Plant HMI \\u202eabc"), run.out.constData());
    for (const char* raw : {"\r", "\033", "\xe2\x80\xae"})
        QVERIFY(!run.out.contains(raw));
    QVERIFY(strictJson(moxsec({"trust", "list", "--json"}).out));

    QVERIFY(
        write(path("OpcUa/users.ini"), readAll(path("OpcUa/users.ini")) +
                                           "b\xff\xc3o\xed\xa0\xbd=DCDPOPMJLGNIEJKFFJKGPALJNCEBJAMA\r\n"));
    run = moxsec({"users", "list", "--json"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(strictJson(run.out), run.out.constData());
    QVERIFY(run.out.contains("\"b\xef\xbf\xbd\xef\xbf\xbdo"));
}

// The word-at-a-time test of a name against the byte-by-byte rule: every byte value at every place of
// names long enough for one and two words and a tail.
void TestCli::plainNameTest()
{
    const auto plain = [](const QByteArray& name) {
        return std::all_of(name.begin(), name.end(), [](char c) {
            return uchar(c) >= 0x20 && uchar(c) < 0x80 && c != '"' && c != '\\';
        });
    };
    for (const int size : {7, 8, 9, 16, 19})
        for (int at = 0; at < size; ++at)
            for (int byte = 0; byte < 256; ++byte) {
                QByteArray name(size, 'u');
                name[at] = char(byte);
                QVERIFY2(Output::needsNoEscape(name.constData(), name.size()) == plain(name),
                         qPrintable(QString("size %1, byte %2 at %3").arg(size).arg(byte).arg(at)));
            }
}

void TestCli::boundedInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");
    // Memory is capped, so reading without bound aborts instead of taking the machine down (not under
    // AddressSanitizer, which reserves far more address space than any cap would allow).
#ifdef MOX_SANITIZED
    const QStringList zero{"sh", "-c", "exec \"$@\" < /dev/zero", "sh"};
#else
    const QStringList zero{"sh", "-c", "ulimit -v 2000000; exec \"$@\" < /dev/zero", "sh"};
#endif
    QTest::newRow("70 MB pass phrase") << QString("config set-passphrase --passphrase-stdin").split(' ')
                                       << QByteArray(70 << 20, 'p') << "longer than 1024 bytes";
    QTest::newRow("pass phrase for a key")
        << QString(
               "cert generate opcua --passphrase-stdin --country DE --state BY --locality M --organization A")
               .split(' ')
        << QByteArray(1025, 'p') + '\n'
        << "longer than 1024 bytes";
    for (const char* command : {"add bob --role guest", "check alice", "ensure alice --role admin"})
        QTest::newRow(command) << zero + QString("users %1 --password-stdin").arg(command).split(' ')
                               << QByteArray() << "at most 30 characters";
}

// Input past what could ever be accepted is refused while reading: quickly, exit 2, nothing written.
void TestCli::boundedInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);
    const bool shell = arguments.first() == "sh";
    const QMap<QString, QByteArray> before = files();
    QElapsedTimer timer;
    timer.start();
    const Run run = shell ? moxsec(arguments.mid(4), input, arguments.mid(0, 4)) : moxsec(arguments, input);
    QVERIFY(timer.elapsed() < 20000);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QCOMPARE(files(), before);
}

QTEST_GUILESS_MAIN(TestCli)
// --root DIR is / for every path of the installation: an absolute path in the configuration and a link to an
// absolute path land inside DIR, never on the files of those names outside it.
void TestCli::rootConfines()
{
    QTemporaryDir outside;
    const QString victim = outside.filePath("etc/key.pem");
    QVERIFY(QDir().mkpath(outside.filePath("own")));
    QVERIFY(write(victim, "victim"));
    QVERIFY(QDir().mkpath(path("OpcUa/pki")) && QFile::link(outside.filePath("own"), path("OpcUa/pki/own")));
    QVERIFY(write(
        path("OpcUa/MoxOpcUa.ini"),
        readAll(path("OpcUa/MoxOpcUa.ini")).replace("pki/own/private/key.pem", QFile::encodeName(victim))));

    const QJsonObject paths = QJsonDocument::fromJson(moxsec({"status", "--json"}).out)
                                  .object()["data"]
                                  .toObject()["paths"]
                                  .toObject();
    QCOMPARE(paths["opcUaKey"].toObject()["path"].toString(), m_dir->path() + victim);
    QCOMPARE(paths["opcUaCertificate"].toObject()["path"].toString(),
             m_dir->path() + outside.filePath("own/cert.pem"));
    const Run run = moxsec({"cert", "generate", "opcua", "--country", "DE", "--state", "BY", "--locality",
                            "M", "--organization", "Acme"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(QFile::exists(m_dir->path() + victim) &&
            QFile::exists(m_dir->path() + outside.filePath("own/cert.pem")));
    QCOMPARE(readAll(victim), QByteArray("victim"));
    QVERIFY(QDir(outside.filePath("own")).isEmpty());

    // A root that is missing or holds no installation says exactly that.
    const struct
    {
        QString root, message;
    } roots[] = {
        {outside.filePath("none"), "moxsec: The folder given with --root does not exist."},
        {outside.filePath("own"), "moxsec: There is no installation under " + outside.filePath("own")}};
    for (const auto& root : roots) {
        for (const QStringList& command : {QStringList{"status"}, QStringList{"users", "list"}}) {
            const Run refused = moxsec(QStringList{"--root", root.root} + command);
            QCOMPARE(refused.exitCode, 1);
            QVERIFY2(refused.err.startsWith(root.message.toUtf8()), refused.err.constData());
        }
    }
}

#include "tst_cli.moc"
