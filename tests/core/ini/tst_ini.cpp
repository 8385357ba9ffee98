#include "DPrint.h"
#include "IniAuth.h"
#include "IniWriter.h"

#include "testFiles.h"

#include <QtTest>

#include <csignal>
#include <functional>
#include <grp.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Mox::Ini;

namespace {

// What body writes to file descriptor 2.
QByteArray captureStderr(const std::function<void()>& body)
{
    QTemporaryFile sink;
    const int saved = ::dup(2);
    if (!sink.open() || std::fflush(stderr) != 0 || ::dup2(sink.handle(), 2) < 0)
        return "<no capture>";
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    return sink.seek(0) ? sink.readAll() : "<no capture>";
}

// "A(x:1,z:3) B(y:2)"
QString dump(const IniManager& manager)
{
    QStringList sections;
    for (const auto& section : *manager.getSections()) {
        QStringList pairs;
        for (const auto& kv : section->m_values)
            pairs << QString::fromStdString(kv->m_key + ":" + kv->m_value);
        sections << QString::fromStdString(section->m_name) + "(" + pairs.join(',') + ")";
    }
    return sections.join(' ');
}

// "result code,name:role,..." in file order.
QString users(const IniAuth& auth)
{
    std::vector<User> list;
    QStringList names{QString::number(auth.getListOfUsers(list))};
    for (const User& user : list)
        names << QString::fromStdString(user.m_name) + ":" + QString::number(user.m_role);
    return names.join(',');
}
} // namespace

class TestIni : public QObject
{
    Q_OBJECT

    static std::string path(const QString& p) { return QFile::encodeName(p).toStdString(); }
    // Hidden ones too: a save must leave no temporary file behind.
    static QStringList entries(const QString& dir)
    {
        return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    QString file(const QByteArray& bytes)
    {
        const QString p = m_dir.filePath(QString("f%1.ini").arg(++m_files));
        return writeFile(p, bytes) ? p : QString();
    }

    QTemporaryDir m_dir;
    int m_files = 0;

private slots:
    // The reader's grammar, as its user, the document manager, gets it.
    void read_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("badLine"); // 0: read whole; -1: refused by the manager
        const auto row = [](const char* name, const QByteArray& bytes, const QString& document, int badLine) {
            QTest::newRow(name) << bytes << document << badLine;
        };
        row("values", "[S]\na=b=c\nkey = value\nx=", "S(a:b=c,key : value,x:)", 0);
        row("headers", ";c\n\n[a=b]\n[a]b]\n;k=v\nk=v\n[E]", "a=b() a]b(k:v) E()", 0);
        row("odd keys", "[S]\n[x=1\n=v\n", "S([x:1,:v)", 0);
        row("unclosed header", "[x\n", "", 1);
        row("blanks before ;", "[S]\n  ;x\nk=v\n", "", 2);
        row("# is no comment", "[S]\n#x\n", "", 2);
        row("stops at line 7", "[A]\n[B]\n\n;c\n[C]\nk=v\nbad\n[D]\nworse\n", "A() B() C(k:v)", 7);
        row("pair before any header", "k=v\n[A]\n", "", -1);
        row("empty section name", "[A]\nx=1\n[]\nk=v\n", "A(x:1)", -1);
        row("LF", "[A]\nk=v\n\n;c\nx=1\nbad", "A(k:v,x:1)", 6);
        row("CR LF", "[A]\r\nk=v\r\n\r\n;c\r\nx=1\r\nbad", "A(k:v,x:1)", 6);
        row("CR", "[A]\rk=v\r\r;c\rx=1\rbad", "A(k:v,x:1)", 6);
        row("mixed", "[A]\rk=v\n\r;c\r\nx=1\rbad", "A(k:v,x:1)", 6);
        for (const QByteArray& line : {QByteArray("k=a\0b", 5), QByteArray(";\0", 2), QByteArray("[\0]", 3)})
            row(("NUL in " + line).constData(), "[A]\nx=1\n" + line + "\ny=2\n", "A(x:1)", 3);

        // A section too large to search in place, continued after another one, its first and last key again.
        QStringList keys;
        for (int i = 0; i < 100; ++i)
            keys << QString("k%1=%1").arg(i);
        const QString pairs =
            keys.join(',').replace('=', ':').replace("k0:0,", "k0:new,").replace("k99:99", "k99:new");
        row("large section", ("[A]\n" + keys.join('\n') + "\n[B]\nb=1\n[A]\nk0=new\nk99=new").toLatin1(),
            "A(" + pairs + ") B(b:1)", 0);
        row("small sections again", "[A]\nx=1\n[B]\ny=1\n[A]\nx=2\ny=3\n", "A(x:2,y:3) B(y:1)", 0);

        // Line ends where the reader's 200-byte blocks used to split them (the first at byte `at`), very long
        // lines, and many short ones after a long one.
        const auto blocks = [&](const char* name, const QByteArray& end, int at, int fillers) {
            QByteArray value(at - 7, 'v');
            for (int i = 0; i < value.size(); i += 7)
                value[i] = char('a' + i % 26); // so that a shifted or repeated piece shows
            QByteArray bytes = "[S]\r\nk=" + value + end;
            QString pairs = "k:" + value;
            for (int i = 100000; i < 100000 + fillers; ++i) {
                bytes += "k" + QByteArray::number(i) + "=x\n";
                pairs += QString(",k%1:x").arg(i);
            }
            row(name, bytes + "b=2\r\n\r\nbad\r\nc=3\r\n", "S(" + pairs + ",b:2)", 5 + fillers);
        };
        blocks("CR LF split at 200", "\r\n", 199, 0);
        blocks("CR alone at 200", "\r", 199, 0);
        blocks("one long line", "\r\n", 100000, 0);
        blocks("many lines pending", "\r\n", 199, 3000);

        // A NUL used to drop the rest of the reader's 200-byte block, the [G] header after it too.
        QByteArray users = "[A]\n";
        QStringList values;
        for (int i = 0; i < 12; ++i) {
            users += (i == 6 ? "[G]\n" : "") + QByteArray::number(i) + "=" + QByteArray(32, 'x') + "\n";
            values << QString::number(i) + ":" + QString(32, 'x');
        }
        const auto nul = [&](const char* name, int at, const QString& document) {
            row(name, users.left(at) + '\0' + users.mid(at + 1), document, users.left(at).count('\n') + 1);
        };
        const QString five = "A(" + values.mid(0, 5).join(',') + ")";
        nul("NUL, last byte of a block", 199, five);
        nul("NUL, first byte of a block", 200, five);
        nul("NUL, middle of a block", 260, "A(" + values.mid(0, 6).join(',') + ") G(" + values[6] + ")");
    }

    void read()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, document);
        QFETCH(int, badLine);
        const QString f = file(bytes);
        bool ok = false;
        QString got;
        const QByteArray err = captureStderr([&] { got = dump(IniManager(path(f), ok, true)); });
        QCOMPARE(got, document);
        QCOMPARE(ok, badLine == 0);
        const QString message = "Invalid structure in INI file '" + f + "' on line %1.\n";
        QCOMPARE(QString(err), badLine > 0 ? message.arg(badLine) : QString());
    }

    void saveAndReload()
    {
        const QString f = file(";" + QByteArray(300, 'c') + "\n[A]\nx=1\n[B]\ny=2\n\n[A]\nz=3\n[E]\n");
        bool ok = false;
        IniManager manager(path(f), ok, false);
        QVERIFY(ok && manager.save());
        QCOMPARE(readFile(f), QByteArray("[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n\r\n[E]\r\n"));

        // Text the grammar can carry reads back as it was stored, lines longer than a 200-byte piece too.
        QVERIFY(manager.setKey("A", "", " v = w ", true) &&
                manager.setKey("n=a]me", " k", ";x]\xC3\xA9", true));
        QVERIFY(manager.setKey("E", std::string(150, 'K'), std::string(999, 'V'), true) && manager.save());
        QCOMPARE(dump(IniManager(path(f), ok, false)), dump(manager));

        // A failed reload keeps the old content: invalid line, repeated key, section not allowed, no file.
        UniqueKeyIniManager unique(path(f), ok);
        unique.setAllowedSections({"A", "B"});
        QVERIFY(writeFile(f, "[B]\ny=2\n") && unique.reload());
        for (const char* broken : {"[A]\nbad\n", "[A]\nz=3\nz=4\n", "[A]\n[Z]\n", ""}) {
            QVERIFY(*broken ? writeFile(f, broken) : QFile::remove(f));
            captureStderr([&] { ok = unique.reload(); });
            QVERIFY(!ok);
            QCOMPARE(dump(unique), QString("B(y:2)"));
        }
    }

    void uniqueKeys()
    {
        // On "A(a:1,b:2) B(c:3) C()"; out starts as "kept".
        const char* const start = "A(a:1,b:2) B(c:3) C()";
        const std::tuple<const char*, const char*, const char*, UKIMResult, const char*, const char*> rows[] =
            {{"add", "a", "Nope", UKIMResult_ExistingKey, "kept", start}, // the key beats the missing section
             {"add", "n", "Nope", UKIMResult_MissingSection, "kept", start},
             {"add", "n", "B", UKIMResult_Good, "kept", "A(a:1,b:2) B(c:3,n:v) C()"},
             {"value", "c", "30", UKIMResult_Good, "3", "A(a:1,b:2) B(c:30) C()"},
             {"move", "a", "A", UKIMResult_Good, "A", start},
             {"move", "a", "B", UKIMResult_Good, "A", "A(b:2) B(c:3,a:1) C()"},
             {"move", "zz", "Nope", UKIMResult_MissingKey, "kept", start},
             {"move", "b", "Nope", UKIMResult_MissingSection, "A", start},
             {"drop", "a", "", UKIMResult_Good, "A1", "A(b:2) B(c:3) C()"},
             {"rename", "zz", "b", UKIMResult_ExistingKey, "kept", start}, // the name beats the missing key
             {"rename", "zz", "yy", UKIMResult_MissingKey, "kept", start},
             {"rename", "zz", "zz", UKIMResult_Good, "kept", start},
             {"rename", "c", "d", UKIMResult_Good, "kept", "A(a:1,b:2) B(d:3) C()"}};
        for (const auto& [op, key, arg, result, out, document] : rows) {
            bool ok = false;
            UniqueKeyIniManager m(path(file("[A]\na=1\nb=2\n[B]\nc=3\n")), ok);
            m.setAllowedSections({"A", "B", "C"});
            const std::string o = op;
            std::string first = "kept", second;
            const UKIMResult got = o == "add"     ? m.addKey(key, arg, "v")
                                   : o == "value" ? m.setKeyValue(key, arg, first)
                                   : o == "move"  ? m.setKeySection(key, arg, first)
                                   : o == "drop"  ? m.dropKey(key, second, first)
                                                  : m.renameKey(key, arg);
            const QString row = QString("%1 %2 %3: ").arg(op, key, arg);
            QCOMPARE(row + QString("%1 %2 %3").arg(got).arg(QString::fromStdString(first + second), dump(m)),
                     row + QString("%1 %2 %3").arg(result).arg(out, document));
        }
    }

    void saveKeepsLinkModeAndOwner()
    {
        if (::geteuid() != 0)
            QSKIP("only root can give the file another owner");
        // A relative link into a subfolder: the new content lands in the real file, beside it.
        QTemporaryDir dir;
        const QString real = dir.filePath("real/target.ini"), link = dir.filePath("link.ini");
        QVERIFY(QDir(dir.path()).mkpath("real") && writeFile(real, "[O]\n"));
        QVERIFY(::symlink("real/target.ini", path(link).c_str()) == 0);
        QVERIFY(::chmod(path(real).c_str(), 0640) == 0 && ::chown(path(real).c_str(), 65534, 65534) == 0);
        bool ok = false;
        IniManager manager(path(link), ok, false);
        QVERIFY(ok && manager.setKey("O", "k", "v", false) && manager.save());
        QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(real).absoluteFilePath());
        QCOMPARE(readFile(real), QByteArray("[O]\r\nk=v\r\n"));
        QVERIFY(fileMode(real) == 0640 && QFileInfo(real).ownerId() == 65534 &&
                QFileInfo(real).groupId() == 65534);
        QCOMPARE(entries(dir.path()) + entries(dir.filePath("real")),
                 (QStringList{"link.ini", "real", "target.ini"}));
    }

    void authCodes()
    {
        // On ADMIN root and OPERATOR op, both with secret1; arg is the role for add and role, "NAME ROLE
        // PASSWORD" for update ("-": none), else the password or the new name.
        const QString seeded = file(""), start = "0,root:0,op:1", p30(30, 'p'), n20(20, 'n');
        bool ok = false;
        IniAuth seed(path(seeded), ok, "salt");
        QVERIFY(seed.addUser("root", "secret1", eAuthRole_Admin) == eAuthRoleCode_Good &&
                seed.addUser("op", "secret1", eAuthRole_Operator) == eAuthRoleCode_Good);
        const std::tuple<const char*, QString, QString, AuthRoleCode, QString> rows[] = {
            {"add", "op", "2", eAuthRoleCode_BadAlreadyExist, start},
            {"add", "new", "3", eAuthRoleCode_BadUnknownRole, start},
            {"add", "new", "-1", eAuthRoleCode_BadUnknownRole, start},
            {"add", "a=b", "2", eAuthRoleCode_BadInvalidUsername, start},
            {"add", "a\nb", "2", eAuthRoleCode_BadInvalidUsername, start},
            {"add", QString::fromLatin1("ab\0c", 4), "2", eAuthRoleCode_BadInvalidUsername, start},
            {"add", "g", "2", eAuthRoleCode_Good, start + ",g:2"}, // the callers check the length
            {"role", "op", "3", eAuthRoleCode_BadUnknownRole, start},
            {"role", "ghost", "2", eAuthRoleCode_BadUserDoesNotExist, start},
            {"role", "root", "2", eAuthRoleCode_Good, "0,op:1,root:2"},
            {"pass", "op", "1234", eAuthRoleCode_BadPasswordWrongLength, start},
            {"pass", "op", p30 + "p", eAuthRoleCode_BadPasswordWrongLength, start},
            {"pass", "op", "12345", eAuthRoleCode_Good, start},
            {"pass", "op", p30, eAuthRoleCode_Good, start},
            {"pass", "ghost", "12345", eAuthRoleCode_BadUserDoesNotExist, start},
            {"rename", "op", "x", eAuthRoleCode_BadUsernameWrongLength, start},
            {"rename", "op", n20 + "n", eAuthRoleCode_BadUsernameWrongLength, start},
            {"rename", "op", n20, eAuthRoleCode_Good, "0,root:0," + n20 + ":1"},
            {"rename", "op", "root", eAuthRoleCode_BadAlreadyExist, start},
            {"rename", "ghost", "g2", eAuthRoleCode_BadUserDoesNotExist, start}, // 2 bytes pass
            {"rename", "ghost", "ghost", eAuthRoleCode_Good, start},
            {"rename", "op", ";ab", eAuthRoleCode_BadInvalidUsername, start},
            {"rename", "op", "ab\r", eAuthRoleCode_BadInvalidUsername, start},
            {"rename", "op", QString::fromLatin1("ab\0c", 4), eAuthRoleCode_BadInvalidUsername, start},
            {"remove", "ghost", "", eAuthRoleCode_BadUserDoesNotExist, start},
            {"remove", "root", "", eAuthRoleCode_Good, "0,op:1"},
            // The first failing check wins, in the order: role, user, name length, name, name taken,
            // password.
            {"update", "ghost", "x 3 1", eAuthRoleCode_BadUnknownRole, start},
            {"update", "ghost", "x 2 1", eAuthRoleCode_BadUserDoesNotExist, start},
            {"update", "op", "x 2 1", eAuthRoleCode_BadUsernameWrongLength, start},
            {"update", "op", n20 + "n 2 1", eAuthRoleCode_BadUsernameWrongLength, start},
            {"update", "op", "a=b 2 1", eAuthRoleCode_BadInvalidUsername, start},
            {"update", "op", "root 2 1", eAuthRoleCode_BadAlreadyExist, start},
            {"update", "op", "op2 2 1234", eAuthRoleCode_BadPasswordWrongLength, start},
            {"update", "op", n20 + " 2 newpass1", eAuthRoleCode_Good, "0,root:0," + n20 + ":2"},
            {"update", "op", "op 0 -", eAuthRoleCode_Good, "0,root:0,op:0"}};
        for (const auto& [op, name, arg, code, listed] : rows) {
            const QString f = file(readFile(seeded).replace("\r\n", "\n")); // so that any save shows
            IniAuth auth(path(f), ok, "salt");
            const QByteArray before = readFile(f);
            const QStringList u = arg.split(' ');
            const std::string o = op, n = name.toStdString(), a = arg.toStdString(),
                              pw = u.value(2).toStdString();
            const AuthRoleCode got =
                o == "add"      ? auth.addUser(n, "secret1", AuthRole(arg.toInt()))
                : o == "role"   ? auth.setUserRole(n, AuthRole(arg.toInt()))
                : o == "pass"   ? auth.setPassword(n, a)
                : o == "rename" ? auth.renameUser(n, a)
                : o == "update" ? auth.updateUser(n, u[0].toStdString(), AuthRole(u.value(1).toInt()),
                                                  u.value(2) == "-" ? nullptr : &pw)
                                : auth.removeUser(n);
            // A change is saved at once, a refusal writes nothing.
            const QString row = QString("%1 %2 %3: ").arg(op, name, arg).toUtf8().toPercentEncoding(" :;=");
            const QString reread = users(IniAuth(path(f), ok, "salt")),
                          saved = readFile(f) == before ? "no" : "yes";
            QCOMPARE(row + QString("%1 %2 %3 saved %4").arg(got).arg(users(auth), reread, saved),
                     row + QString("%1 %2 %2 saved %3").arg(code).arg(listed, code ? "no" : "yes"));
            // The password, kept or new, logs the user in under the new name, as the new role.
            if (o == "update" && code == eAuthRoleCode_Good)
                QCOMPARE(
                    IniAuth(path(f), ok, "salt").getRole(u[0].toStdString(), u[2] == "-" ? "secret1" : pw),
                    AuthRole(u[1].toInt()));
        }
        // A value from the file ending with ']' under a name opening with '[' would read back as a section.
        const QString odd = file("[ADMIN]\nroot=X]\nop=Y\n");
        IniAuth auth(path(odd), ok, "salt");
        const QByteArray before = readFile(odd);
        QVERIFY(auth.renameUser("root", "[G]") == eAuthRoleCode_BadInvalidUsername &&
                auth.updateUser("root", "[G]", eAuthRole_Admin, nullptr) == eAuthRoleCode_BadInvalidUsername);
        QCOMPARE(readFile(odd), before);
        QVERIFY(auth.renameUser("op", "[G]") == eAuthRoleCode_Good);
        QCOMPARE(users(IniAuth(path(odd), ok, "salt")), "0,root:0,[G]:0");

        // A hand-edited file holding a name twice: one entry takes every step of an update, and a move onto
        // the other is refused, not reported done.
        const QString twice = file("[ADMIN]\nop=H1\n[OPERATOR]\nop=H2\n[GUEST]\n");
        IniAuth dup(path(twice), ok, "salt");
        const std::string pw = "newpass1";
        QCOMPARE(dup.updateUser("op", "op", eAuthRole_Operator, nullptr), eAuthRoleCode_BadAlreadyExist);
        QCOMPARE(dup.setUserRole("op", eAuthRole_Operator), eAuthRoleCode_BadAlreadyExist);
        QCOMPARE(dup.updateUser("op", "op2", eAuthRole_Guest, &pw), eAuthRoleCode_Good);
        IniAuth reread(path(twice), ok, "salt");
        QVERIFY(users(reread) == "0,op:1,op2:2" && reread.getRole("op2", pw) == eAuthRole_Guest);

        // A role the file lost on disk is there again for the next change.
        QVERIFY(writeFile(twice, "[ADMIN]\n"));
        QCOMPARE(dup.addUser("guest", "secret1", eAuthRole_Guest), eAuthRoleCode_Good);
    }

    void authStore()
    {
        const QString f = m_dir.filePath("users.ini");
        bool ok = true;
        std::unique_ptr<IniAuth> store;
        QCOMPARE(captureStderr([&] { store.reset(new IniAuth(path(f), ok, "salt")); }),
                 "Missing configuration file '" + f.toUtf8() + "'.\n");
        IniAuth& auth = *store;
        QVERIFY(!ok && users(auth) == "0" && !QFile::exists(f)); // nothing is written before a change

        // Hashes made independently of the code: the 64-byte block is built in the shell by repeating
        // password, name, salt and "9f3361mxta" and cutting at 64 bytes, digested with `openssl md5`, and
        // each digest byte written as 'A' + low nibble, then 'A' + high nibble:
        //   t=""; while [ ${#t} -lt 64 ]; do t="$t$pw$name${salt}9f3361mxta"; done
        //   printf '%s' "${t:0:64}" | openssl md5 -r
        // Digests: admin 1fe3c17db8a44a6d63aaae0928db19d6, operator1 3f54d90bc6f5125cea0b0f67a1c62aa3,
        // user-... bced9836202f273db0f0182fcd304e45, admin under "other" d644f97af201720b57881b7a3911f960.
        QCOMPARE(auth.addUser("admin", "secret1", eAuthRole_Admin), eAuthRoleCode_Good);
        const QByteArray admin = "[ADMIN]\r\nadmin=PBDOBMNHILEKKENGDGKKOKJAICLNJBGN\r\n\r\n[OPERATOR]\r\n";
        QCOMPARE(readFile(f), admin + "\r\n[GUEST]\r\n");
        QCOMPARE(fileMode(f), 0600);
        auth.setSalt("");
        QCOMPARE(auth.addUser("operator1", "pass12345", eAuthRole_Operator), eAuthRoleCode_Good);
        auth.setSalt("salt-1234567890abcde");
        QCOMPARE(auth.addUser("user-ABCDEFGHIJKLMNO", "pw-abcdefghijklmnopqrstuvwxyz0", eAuthRole_Guest),
                 eAuthRoleCode_Good);
        auth.setSalt("other");
        QCOMPARE(auth.setPassword("admin", "secret1"), eAuthRoleCode_Good);
        QCOMPARE(readFile(f),
                 QByteArray("[ADMIN]\r\nadmin=GNEEJPKHCPBACHLAHFIILBKHJDBBJPAG\r\n\r\n[OPERATOR]\r\n"
                            "operator1=PDEFJNLAGMFPCBMFKOLAPAHGBKGMKCDK\r\n\r\n[GUEST]\r\n"
                            "user-ABCDEFGHIJKLMNO=MLNOIJGDACPCHCNDALAPIBPCNMADOEFE\r\n"));
        QCOMPARE(auth.getRole("admin", "secret1"), eAuthRole_Admin);
        QCOMPARE(auth.getRole("admin", "secret1x"), eAuthRole_None);
        QCOMPARE(IniAuth(path(f), ok, "salt").getRole("admin", "secret1"), eAuthRole_None);

        // Every name without "=", CR, LF or a leading ";" reads back as it was stored, the empty one too.
        for (const char* name : {"a;b", "[x]", " pad ", "", "\xC3\xA9l\xC3\xA8ve"})
            QCOMPARE(auth.addUser(name, "secret1", eAuthRole_Operator), eAuthRoleCode_Good);
        QCOMPARE(users(IniAuth(path(f), ok, "other")), users(auth));

        // A code out of range reads no text past the table.
        for (int code : {-1, int(eAuthRoleCode_Last)})
            QCOMPARE(IniAuth::getCodeMessage(AuthRoleCode(code)), std::string("Unknown error."));
    }

    void undoAfterFailedSave_data()
    {
        QTest::addColumn<bool>("nobody"); // else a file size limit of 16 bytes
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("mode");
        QTest::newRow("file size limit") << false << 0755 << 0644;
        QTest::newRow("read-only folder") << true << 0755 << 0666;
        QTest::newRow("read-only file") << true << 0777 << 0644;
    }

    void undoAfterFailedSave()
    {
        QFETCH(bool, nobody);
        QFETCH(int, folderMode);
        QFETCH(int, mode);
        if (nobody && ::geteuid() != 0)
            QSKIP("only root can run a child as uid 65534");
        QTemporaryDir dir;
        const QString f = dir.filePath("users.ini");
        QVERIFY(writeFile(f, ""));
        bool ok = false;
        IniAuth setup(path(f), ok, "salt");
        for (const auto& [name, role] : {std::pair("admin", 0), {"op1", 1}, {"op2", 1}, {"g1", 2}})
            QCOMPARE(setup.addUser(name, "secret1", AuthRole(role)), eAuthRoleCode_Good);
        QVERIFY(::chmod(path(f).c_str(), mode_t(mode)) == 0 &&
                ::chmod(path(dir.path()).c_str(), folderMode) == 0);
        const QByteArray old = readFile(f);

        // A child meets the real fault: the size limit, or uid 65534, for whom permissions apply.
        QVERIFY(inChild([&] {
            const rlimit limit{16, 16};
            std::signal(SIGXFSZ, SIG_IGN);
            g_dwPrintFlags = 0; // the writer's note of a file it cannot open
            if (nobody ? ::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534)
                       : ::setrlimit(RLIMIT_FSIZE, &limit))
                return false;
            IniAuth auth(path(f), ok, "salt");
            const std::string password = "newpass1";
            QStringList codes;
            for (AuthRoleCode code :
                 {auth.addUser("new", "secret1", eAuthRole_Guest), auth.renameUser("op1", "op1-x"),
                  auth.updateUser("op1", "op1-x", eAuthRole_Admin, &password),
                  auth.setUserRole("op1", eAuthRole_Admin), auth.setPassword("admin", "newpass1"),
                  auth.removeUser("op1"), auth.removeUser("g1")})
                codes << QString::number(code);
            // An undone move or removal puts the user at the end of its section.
            const QString summary = codes.join(' ') + " " + users(auth) + " " +
                                    QString::number(auth.getRole("admin", "secret1")) +
                                    QString::number(auth.getRole("op1", "secret1"));
            const bool right = summary == "3 3 3 3 3 3 3 0,admin:0,op2:1,op1:1,g1:2 01";
            std::fprintf(stderr, "%s", right ? "" : qPrintable("child: " + summary + "\n"));
            return right;
        }));
        QCOMPARE(readFile(f), old);
        QCOMPARE(fileMode(f), mode);
        QCOMPARE(entries(dir.path()), QStringList{"users.ini"});
    }

    // Files the reader must refuse at once: it used to read /dev/zero forever and block on a FIFO.
    void notRegularFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        for (const char* name : {"/dev/zero", "fifo", "."})
            QTest::newRow(name) << name << "'%1' is not a regular file.\n";
        QTest::newRow("over 64 MB") << "big.ini"
                                    << "'%1' is larger than 64 MB.\n";
    }

    void notRegularFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString p = name.startsWith('/') ? name : dir.filePath(name);
        QVERIFY(::mkfifo(path(dir.filePath("fifo")).c_str(), 0600) == 0);
        QVERIFY(writeFile(dir.filePath("big.ini"), "[A]\n") &&
                ::truncate(path(dir.filePath("big.ini")).c_str(), (64 << 20) + 1) == 0);
        QVERIFY(inChild([&] {
            ::alarm(10);
            bool managerOk = true, authOk = true;
            const QByteArray err = captureStderr([&] {
                IniManager manager(path(p), managerOk, true);
                IniAuth auth(path(p), authOk, "salt");
            });
            return !managerOk && !authOk && err == message.arg(p).repeated(2).toUtf8();
        }));
    }

    // Saves killed at random moments, then one more save: no temporary copy of the hashes is left.
    void killedSaves()
    {
        QTemporaryDir dir;
        const QString f = dir.filePath("users.ini");
        QByteArray bytes = "[ADMIN]\n";
        for (int i = 0; i < 20000; ++i)
            bytes += "user" + QByteArray::number(i) + "=" + QByteArray(32, 'A') + "\n";
        QVERIFY(writeFile(f, bytes));
        std::mt19937 random(12345);
        for (int round = 0; round < 40; ++round) {
            std::fflush(nullptr);
            const pid_t pid = ::fork();
            if (pid == 0) {
                bool ok = false;
                IniAuth auth(path(f), ok, "salt");
                for (int i = 0;; ++i)
                    auth.setPassword("user1", i % 2 ? "secret1" : "secret2");
            }
            ::usleep(std::uniform_int_distribution<unsigned>(1000, 60000)(random));
            ::kill(pid, SIGKILL);
            QCOMPARE(::waitpid(pid, nullptr, 0), pid);
        }
        // Stale names of a dead writer and a live one (ours), and a name that is not one of ours.
        const pid_t dead = ::fork();
        if (dead == 0)
            ::_exit(0);
        QCOMPARE(::waitpid(dead, nullptr, 0), dead);
        const QString live = QString(".users.ini.%1.7.tmp").arg(::getpid());
        for (const QString& name :
             {QString(".users.ini.%1.7.tmp").arg(dead), live, QString(".users.ini.x.7.tmp")})
            QVERIFY(writeFile(dir.filePath(name), "[ADMIN]\n"));
        bool ok = false;
        IniAuth auth(path(f), ok, "salt");
        QVERIFY(ok);
        QCOMPARE(auth.setPassword("user1", "secret3"), eAuthRoleCode_Good);
        QCOMPARE(entries(dir.path()), (QStringList{live, ".users.ini.x.7.tmp", "users.ini"}));
        QCOMPARE(IniAuth(path(f), ok, "salt").getRole("user1", "secret3"), eAuthRole_Admin);
    }

    // A created file gets exactly the mode and owner asked for; the writer's classic use without commit.
    void newFile_data()
    {
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("mode");
        QTest::addColumn<long>("owner");
        QTest::addColumn<QString>("end"); // what the writer's user does last
        QTest::newRow("umask 022") << 022 << 0666 << -1L << "commit";
        QTest::newRow("umask 000") << 0 << 0640 << -1L << "commit";
        QTest::newRow("umask 077, given away") << 077 << 0644 << 65534L << "commit";
        QTest::newRow("no commit") << 022 << 0600 << -1L << "";
        QTest::newRow("discard") << 022 << 0600 << -1L << "discard";
    }

    void newFile()
    {
        QFETCH(int, umask);
        QFETCH(int, mode);
        QFETCH(long, owner);
        QFETCH(QString, end);
        if (owner >= 0 && ::geteuid() != 0)
            QSKIP("only root can give a file away");
        QTemporaryDir dir;
        const QString f = dir.filePath("new.ini"), g = dir.filePath("made.ini");
        const mode_t saved = ::umask(mode_t(umask));
        {
            bool ok = false;
            IniWriter writer(path(f), ok, unsigned(mode), owner, owner);
            QVERIFY(ok);
            writer.addSection("S");
            writer.addKeyValue("k", "v");
            if (end == "commit")
                QVERIFY(writer.commit());
            else if (end == "discard")
                writer.discard();
        }
        bool ok = true;
        std::unique_ptr<IniManager> made;
        captureStderr([&] { made.reset(new IniManager(path(g), ok, false)); });
        made->setNewFileMode(unsigned(mode));
        made->setNewFileOwner(owner, owner);
        const bool saved2 = made->setKey("S", "k", "v", false) && made->save();
        ::umask(saved);
        QVERIFY(saved2);
        QCOMPARE(readFile(f), end == "discard" ? QByteArray("<unreadable>") : QByteArray("[S]\r\nk=v\r\n"));
        for (const QString& p : {f, g}) {
            if (!QFile::exists(p))
                continue;
            QCOMPARE(fileMode(p), mode);
            QCOMPARE(QFileInfo(p).ownerId(), owner >= 0 ? uint(owner) : ::geteuid());
            QCOMPARE(QFileInfo(p).groupId(), owner >= 0 ? uint(owner) : ::getegid());
        }
        QCOMPARE(entries(dir.path()),
                 end == "discard" ? QStringList{"made.ini"} : (QStringList{"made.ini", "new.ini"}));
    }

    // Two stores on one file, and a file changed or removed behind a store's back.
    void sharedFile()
    {
        QTemporaryDir dir;
        const QString f = dir.filePath("users.ini");
        bool ok = false;
        std::unique_ptr<IniAuth> first, second;
        captureStderr([&] {
            first.reset(new IniAuth(path(f), ok, "salt"));
            second.reset(new IniAuth(path(f), ok, "salt"));
        });
        IniAuth &a = *first, &b = *second;
        QCOMPARE(a.addUser("x1", "secret1", eAuthRole_Admin), eAuthRoleCode_Good);
        QCOMPARE(b.addUser("y1", "secret1", eAuthRole_Guest), eAuthRoleCode_Good); // b never saw the file
        QCOMPARE(a.addUser("x2", "secret1", eAuthRole_Operator), eAuthRoleCode_Good);
        QCOMPARE(b.addUser("x2", "secret2", eAuthRole_Guest), eAuthRoleCode_BadAlreadyExist);
        QCOMPARE(b.updateUser("x2", "y2", eAuthRole_Guest, nullptr), eAuthRoleCode_Good);
        QCOMPARE(a.removeUser("y2"), eAuthRoleCode_Good);
        const QString both = "0,x1:0,y1:2";
        QCOMPARE(users(IniAuth(path(f), ok, "salt")), both);
        QCOMPARE(users(a), both);
        QCOMPARE(users(b), "0,x1:0,y1:2,y2:2"); // b learns of the removal at its next change

        // A file that no longer reads: nothing changes. A removed file is not brought back.
        const QByteArray broken = "[ADMIN]\nbad\n";
        QVERIFY(writeFile(f, broken));
        captureStderr(
            [&] { QCOMPARE(a.addUser("z1", "secret1", eAuthRole_Admin), eAuthRoleCode_BadCannotSaveFile); });
        QCOMPARE(readFile(f), broken);
        QCOMPARE(users(a), both);
        QVERIFY(QFile::remove(f));
        QCOMPARE(b.addUser("z1", "secret1", eAuthRole_Admin), eAuthRoleCode_BadCannotSaveFile);
        QCOMPARE(entries(dir.path()), QStringList());

        // Processes adding users at the same time: every one lands.
        QVERIFY(writeFile(f, ""));
        std::vector<pid_t> children;
        for (int c = 0; c < 4; ++c) {
            std::fflush(nullptr);
            const pid_t pid = ::fork();
            if (pid == 0) {
                IniAuth auth(path(f), ok, "salt");
                for (int i = 0; i < 10; ++i) {
                    if (auth.addUser(QString("p%1u%2").arg(c).arg(i).toStdString(), "secret1",
                                     eAuthRole_Guest))
                        ::_exit(1);
                }
                ::_exit(0);
            }
            children.push_back(pid);
        }
        for (const pid_t pid : children) {
            int status = -1;
            QCOMPARE(::waitpid(pid, &status, 0), pid);
            QCOMPARE(status, 0);
        }
        const QString all = users(IniAuth(path(f), ok, "salt")); // "0,p0u0:2,..."
        QVERIFY2(all.startsWith("0,") && all.count(':') == 40, qPrintable(all));
    }
};

QTEST_GUILESS_MAIN(TestIni)
#include "tst_ini.moc"
