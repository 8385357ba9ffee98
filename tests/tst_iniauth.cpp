#include "IniAuth.h"
#include "iniTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace Mox::Ini;
using namespace IniTest;

Q_DECLARE_METATYPE(Mox::Ini::AuthRole)

class TestIniAuth : public QObject
{
    Q_OBJECT

private slots:
    void newStoreCreatesPrivateFile();
    void passwordEncoding_data();
    void passwordEncoding();
    void resultCodes();
    void namesTheFileCanHold();
    void foreignSection();
    void undoAfterFailedSave_data();
    void undoAfterFailedSave();
};

// Expected encodings, made independently of the code: the 64-byte block is built in the shell by repeating
// password, name, salt and "9f3361mxta" and cutting at 64 bytes, digested with `openssl md5`, and each digest
// byte written as 'A' + low nibble, then 'A' + high nibble:
//   t=""; while [ ${#t} -lt 64 ]; do t="$t$pw$name${salt}9f3361mxta"; done
//   printf '%s' "${t:0:64}" | openssl md5 -r
namespace Vectors {
const char* const adminSecret1Salt = "PBDOBMNHILEKKENGDGKKOKJAICLNJBGN";  // 1fe3c17db8a44a6d63aaae0928db19d6
const char* const adminNewpass1Salt = "AHFBIKJFFOEAFCHGFDBKBOGHOJKEHBCM"; // 7015a859e504256735a1e1769e4a17c2
const char* const admin2Secret1Salt = "AFLOBEGLNEICJHOHLNPNCFDDOCAHDBGP"; // 50eb41b64d28797edbdf52332e7013f6
const char* const adminSecret1Other = "GNEEJPKHCPBACHLAHFIILBKHJDBBJPAG"; // d644f97af201720b57881b7a3911f960
const char* const operator1NoSalt = "PDEFJNLAGMFPCBMFKOLAPAHGBKGMKCDK";   // 3f54d90bc6f5125cea0b0f67a1c62aa3
const char* const longAllThree = "MLNOIJGDACPCHCNDALAPIBPCNMADOEFE";      // bced9836202f273db0f0182fcd304e45
} // namespace Vectors

namespace {
QStringList users(const IniAuth& auth, AuthRoleCode expected = eAuthRoleCode_Good)
{
    std::vector<User> list;
    if (auth.getListOfUsers(list) != expected)
        return {"<unexpected result>"};
    QStringList names;
    for (const User& user : list)
        names << QString::fromStdString(user.m_name) + ":" + QString::number(user.m_role);
    return names;
}
} // namespace

void TestIniAuth::newStoreCreatesPrivateFile()
{
    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    bool ok = true;
    std::unique_ptr<IniAuth> store;
    captureStderr([&] { store.reset(new IniAuth(path(f), ok, "salt")); });
    QVERIFY(!ok);
    IniAuth& auth = *store;
    QCOMPARE(users(auth), QStringList());
    QVERIFY(!QFile::exists(f)); // nothing is written before a change

    QCOMPARE(auth.addUser("admin", "secret1", eAuthRole_Admin), eAuthRoleCode_Good);
    QCOMPARE(readFile(f), QByteArray("[ADMIN]\r\nadmin=") + Vectors::adminSecret1Salt +
                              "\r\n\r\n[OPERATOR]\r\n\r\n[GUEST]\r\n");
    QCOMPARE(fileMode(f), 0600);

    QCOMPARE(auth.setPassword("admin", "newpass1"), eAuthRoleCode_Good);
    QVERIFY(readFile(f).contains(QByteArray("admin=") + Vectors::adminNewpass1Salt + "\r\n"));
    QCOMPARE(auth.getRole("admin", "newpass1"), eAuthRole_Admin);
    QCOMPARE(auth.getRole("admin", "secret1"), eAuthRole_None);

    // The hash is made from the name, so a rename needs a new password.
    QVERIFY(::chmod(path(f).c_str(), 0644) == 0);
    QCOMPARE(auth.renameUser("admin", "admin2"), eAuthRoleCode_Good);
    QCOMPARE(auth.getRole("admin2", "newpass1"), eAuthRole_None);
    QCOMPARE(auth.setPassword("admin2", "secret1"), eAuthRoleCode_Good);
    QVERIFY(readFile(f).contains(QByteArray("admin2=") + Vectors::admin2Secret1Salt + "\r\n"));
    QCOMPARE(auth.getRole("admin2", "secret1"), eAuthRole_Admin);
    QCOMPARE(fileMode(f), 0644); // an existing file keeps its mode

    IniAuth reread(path(f), ok, "salt");
    QVERIFY(ok);
    QCOMPARE(reread.getRole("admin2", "secret1"), eAuthRole_Admin);
    IniAuth otherSalt(path(f), ok, "other");
    QCOMPARE(otherSalt.getRole("admin2", "secret1"), eAuthRole_None);
}

void TestIniAuth::passwordEncoding_data()
{
    QTest::addColumn<QString>("salt");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<AuthRole>("role");
    QTest::addColumn<QString>("hash");
    QTest::newRow("repeated to 64") << "salt"
                                    << "admin"
                                    << "secret1" << eAuthRole_Admin << Vectors::adminSecret1Salt;
    QTest::newRow("no salt") << ""
                             << "operator1"
                             << "pass12345" << eAuthRole_Operator << Vectors::operator1NoSalt;
    QTest::newRow("cut at 64") << "salt-1234567890abcde"
                               << "user-ABCDEFGHIJKLMNO"
                               << "pw-abcdefghijklmnopqrstuvwxyz0" << eAuthRole_Guest
                               << Vectors::longAllThree;
    QTest::newRow("other salt") << "other"
                                << "admin"
                                << "secret1" << eAuthRole_Guest << Vectors::adminSecret1Other;
}

void TestIniAuth::passwordEncoding()
{
    QFETCH(QString, salt);
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(AuthRole, role);
    QFETCH(QString, hash);
    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    bool ok = false;
    std::unique_ptr<IniAuth> auth;
    captureStderr([&] { auth.reset(new IniAuth(path(f), ok, "wrong salt")); });
    auth->setSalt(salt.toStdString());
    QCOMPARE(auth->addUser(name.toStdString(), password.toStdString(), role), eAuthRoleCode_Good);
    QVERIFY(readFile(f).contains((name + "=" + hash + "\r\n").toUtf8()));
    QCOMPARE(auth->getRole(name.toStdString(), password.toStdString()), role);
    QCOMPARE(auth->getRole(name.toStdString(), (password + "x").toStdString()), eAuthRole_None);
    QCOMPARE(auth->getRole("nobody", password.toStdString()), eAuthRole_None);
}

void TestIniAuth::resultCodes()
{
    const char* const messages[] = {"Everything is OK.",
                                    "Password have to be between 5 and 30 characters length.",
                                    "Username have to be between 2 and 20 characters length.",
                                    "Changes cannot be written to INI file.",
                                    "User does not exist.",
                                    "User already exist.",
                                    "Unknown role.",
                                    "Unknown error.",
                                    "Username contains characters that cannot be stored."};
    for (int code = 0; code < eAuthRoleCode_Last; ++code)
        QCOMPARE(IniAuth::getCodeMessage(AuthRoleCode(code)), std::string(messages[code]));
    for (int code : {-1, int(eAuthRoleCode_Last), 1000})
        QCOMPARE(IniAuth::getCodeMessage(AuthRoleCode(code)), std::string("Unknown error."));
    QVERIFY(IniAuth::isGood(eAuthRoleCode_Good) && !IniAuth::isBad(eAuthRoleCode_Good));
    QVERIFY(IniAuth::isBad(eAuthRoleCode_BadInvalidUsername) &&
            !IniAuth::isGood(eAuthRoleCode_BadUnknownError));

    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    QVERIFY(writeFile(
        f,
        "[ADMIN]\nroot=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n[OPERATOR]\nop=BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\n"));
    bool ok = false;
    IniAuth auth(path(f), ok, "salt");
    QVERIFY(ok);
    const QByteArray before = readFile(f);

    QCOMPARE(auth.addUser("op", "secret1", eAuthRole_Guest), eAuthRoleCode_BadAlreadyExist);
    QCOMPARE(auth.addUser("new", "secret1", AuthRole(3)), eAuthRoleCode_BadUnknownRole);
    QCOMPARE(auth.addUser("new", "secret1", eAuthRole_None), eAuthRoleCode_BadUnknownRole);
    QCOMPARE(auth.setUserRole("op", AuthRole(3)), eAuthRoleCode_BadUnknownRole);
    QCOMPARE(auth.setUserRole("ghost", eAuthRole_Guest), eAuthRoleCode_BadUserDoesNotExist);
    QCOMPARE(auth.setPassword("op", "1234"), eAuthRoleCode_BadPasswordWrongLength);
    QCOMPARE(auth.setPassword("op", std::string(31, 'p')), eAuthRoleCode_BadPasswordWrongLength);
    QCOMPARE(auth.setPassword("ghost", "secret1"), eAuthRoleCode_BadUserDoesNotExist);
    QCOMPARE(auth.renameUser("op", "x"), eAuthRoleCode_BadUsernameWrongLength);
    QCOMPARE(auth.renameUser("op", std::string(21, 'n')), eAuthRoleCode_BadUsernameWrongLength);
    QCOMPARE(auth.renameUser("op", "root"), eAuthRoleCode_BadAlreadyExist);
    QCOMPARE(auth.renameUser("ghost", "ghost2"), eAuthRoleCode_BadUserDoesNotExist);
    QCOMPARE(auth.removeUser("ghost"), eAuthRoleCode_BadUserDoesNotExist);
    QCOMPARE(readFile(f), before); // refused changes write nothing
    QCOMPARE(users(auth), (QStringList{"root:0", "op:1"}));

    QCOMPARE(auth.setPassword("op", "12345"), eAuthRoleCode_Good);
    QCOMPARE(auth.setPassword("op", std::string(30, 'p')), eAuthRoleCode_Good);
    QCOMPARE(auth.getRole("op", std::string(30, 'p')), eAuthRole_Operator);
    QCOMPARE(auth.renameUser("op", "o2"), eAuthRoleCode_Good);
    QCOMPARE(auth.renameUser("o2", std::string(20, 'n')), eAuthRoleCode_Good);
    QCOMPARE(auth.renameUser("ghost", "ghost"), eAuthRoleCode_Good);
    QCOMPARE(auth.setUserRole("root", eAuthRole_Admin), eAuthRoleCode_Good);
    QCOMPARE(auth.setUserRole("root", eAuthRole_Guest), eAuthRoleCode_Good);
    QCOMPARE(auth.addUser("g", "secret1", eAuthRole_Guest), eAuthRoleCode_Good);
    QCOMPARE(users(auth), (QStringList{"nnnnnnnnnnnnnnnnnnnn:1", "root:2", "g:2"}));
    QCOMPARE(auth.removeUser("root"), eAuthRoleCode_Good);
    QCOMPARE(auth.getRole("g", "secret1"), eAuthRole_Guest);

    IniAuth reread(path(f), ok, "salt");
    QCOMPARE(users(reread), (QStringList{"nnnnnnnnnnnnnnnnnnnn:1", "g:2"}));
}

void TestIniAuth::namesTheFileCanHold()
{
    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    bool ok = false;
    std::unique_ptr<IniAuth> auth;
    captureStderr([&] { auth.reset(new IniAuth(path(f), ok, "salt")); });
    QCOMPARE(auth->addUser("keep", "secret1", eAuthRole_Guest), eAuthRoleCode_Good);
    const QByteArray before = readFile(f);
    for (const char* bad : {"a=b", "a\rb", "a\nb", ";ab", "==", "ab\r"}) {
        QCOMPARE(auth->addUser(bad, "secret1", eAuthRole_Guest), eAuthRoleCode_BadInvalidUsername);
        QCOMPARE(auth->renameUser("keep", bad), eAuthRoleCode_BadInvalidUsername);
    }
    QCOMPARE(readFile(f), before);
    QCOMPARE(users(*auth), QStringList{"keep:2"});

    // Everything else reads back as it was stored, the empty name included.
    for (const char* good : {"a;b", "[x]", " pad ", "", "\xC3\xA9l\xC3\xA8ve"})
        QCOMPARE(auth->addUser(good, "secret1", eAuthRole_Operator), eAuthRoleCode_Good);
    IniAuth reread(path(f), ok, "salt");
    QVERIFY(ok);
    QCOMPARE(users(reread), users(*auth));
    QCOMPARE(reread.getRole("[x]", "secret1"), eAuthRole_Operator);
}

void TestIniAuth::foreignSection()
{
    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    QVERIFY(writeFile(f, QByteArray("[GUEST]\ng=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n[OTHER]\nadmin=") +
                             Vectors::adminSecret1Salt + "\n"));
    bool ok = false;
    IniAuth auth(path(f), ok, "salt");
    QVERIFY(ok);
    QCOMPARE(users(auth, eAuthRoleCode_BadUnknownRole), QStringList{"g:2"});
    QCOMPARE(auth.getRole("admin", "secret1"), eAuthRole_None); // right hash, but no role
    QCOMPARE(auth.setUserRole("admin", eAuthRole_Admin), eAuthRoleCode_Good);
    QCOMPARE(auth.getRole("admin", "secret1"), eAuthRole_Admin);
    QCOMPARE(users(auth, eAuthRoleCode_BadUnknownRole), (QStringList{"g:2"}));
}

void TestIniAuth::undoAfterFailedSave_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<int>("mode");
    QTest::newRow("file size limit") << int(Fault::FileSizeLimit) << false << 0644;
    QTest::newRow("read-only folder") << int(Fault::Nobody) << false << 0666;
    QTest::newRow("read-only file") << int(Fault::Nobody) << true << 0644;
}

void TestIniAuth::undoAfterFailedSave()
{
    QFETCH(int, fault);
    QFETCH(bool, folderWritable);
    QFETCH(int, mode);
    if (fault == int(Fault::Nobody) && ::geteuid() != 0)
        QSKIP("only root can run a child as uid 65534");
    QTemporaryDir dir;
    const QString f = dir.filePath("users.ini");
    {
        bool ok = false;
        IniAuth setup(path(f), ok, "salt");
        for (const char* name : {"admin", "op1", "op2", "g1"})
            QCOMPARE(setup.addUser(name, "secret1",
                                   name[0] == 'a'   ? eAuthRole_Admin
                                   : name[0] == 'o' ? eAuthRole_Operator
                                                    : eAuthRole_Guest),
                     eAuthRoleCode_Good);
    }
    QVERIFY(::chmod(path(f).c_str(), mode_t(mode)) == 0);
    openToEveryone(dir.path(), folderWritable);
    const QByteArray old = readFile(f);

    const QString result = inChild(
        Fault(fault),
        [&]() -> QString {
            bool ok = false;
            IniAuth auth(path(f), ok, "salt");
            QStringList wanted = users(auth);
            if (!ok || wanted.size() != 4)
                return "read failed";
            QStringList errors;
            const auto expectFailure = [&](const char* what, AuthRoleCode code) {
                if (code != eAuthRoleCode_BadCannotSaveFile)
                    errors << QString("%1 gave %2").arg(what).arg(code);
            };
            const QByteArray err = captureStderr(
                [&] { expectFailure("addUser", auth.addUser("new", "secret1", eAuthRole_Guest)); });
            if (fault == int(Fault::Nobody) && err != "Missing configuration file '" + f.toUtf8() + "'.\n")
                errors << "message: " + QString::fromUtf8(err);
            captureStderr([&] {
                expectFailure("renameUser", auth.renameUser("op1", "op1-renamed"));
                expectFailure("setUserRole", auth.setUserRole("op1", eAuthRole_Admin));
                expectFailure("setPassword", auth.setPassword("admin", "newpass1"));
                expectFailure("removeUser", auth.removeUser("op1"));
                expectFailure("removeUser", auth.removeUser("g1"));
            });
            // An undone move or removal may put a user at the end of its section.
            QStringList now = users(auth);
            std::sort(wanted.begin(), wanted.end());
            std::sort(now.begin(), now.end());
            if (now != wanted)
                errors << "users now: " + now.join(',');
            if (auth.getRole("admin", "secret1") != eAuthRole_Admin ||
                auth.getRole("op1", "secret1") != eAuthRole_Operator)
                errors << "a password or role was not restored";
            return errors.join("; ");
        },
        16);
    QCOMPARE(result, QString());
    QCOMPARE(readFile(f), old);
    QCOMPARE(fileMode(f), mode);
    QCOMPARE(entries(dir.path()), QStringList{"users.ini"});
}

QTEST_GUILESS_MAIN(TestIniAuth)
#include "tst_iniauth.moc"
