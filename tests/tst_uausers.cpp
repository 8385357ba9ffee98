#include "uaUserDialog.h"
#include "uaUsersModel.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Mox::Ini;

namespace {
const QString kRequired = "This field is required.";
const QString kName = "This field has to have between 2 and 20 characters.";
const QString kPassword = "This field has to have between 5 and 30 characters.";
const QString kMatch = "The passwords have to match.";
const QString kBadName = "The name cannot contain \"=\" or a line break, or begin with \";\".";
} // namespace

class TestUaUsers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void modelMirrorsStore();
    void editAppliesRoleThenRenameThenPassword();
    void failedChangesKeepTheTable();
    void dialogValidates_data();
    void dialogValidates();
    void dialogReportsRefusals();
    void dialogMarksChangedFields();

private:
    QString authFile() const { return m_dir->filePath("auth/users.ini"); }
    QLineEdit* edit(QDialog& dialog, const char* name) { return dialog.findChild<QLineEdit*>(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<IniAuth> m_auth;
    std::unique_ptr<UaUsersModel> m_model;
};

// Every case starts from a store on disk holding alice (Admin) and bob (Guest).
void TestUaUsers::init()
{
    m_model.reset();
    m_auth.reset();
    m_dir.reset(new QTemporaryDir);
    QVERIFY(QDir(m_dir->path()).mkpath("auth"));
    bool ok = true;
    m_auth.reset(new IniAuth(authFile().toStdString(), ok, "salt"));
    QCOMPARE(m_auth->addUser("alice", "alicepw", eAuthRole_Admin), eAuthRoleCode_Good);
    QCOMPARE(m_auth->addUser("bob", "bobpw1", eAuthRole_Guest), eAuthRoleCode_Good);
    m_model.reset(new UaUsersModel);
    m_model->setIniUaAuth(m_auth.get());
}

void TestUaUsers::modelMirrorsStore()
{
    QCOMPARE(m_model->rowCount(), 2);
    QCOMPARE(m_model->headerData(1, Qt::Horizontal).toString(), QString("Role"));
    QCOMPARE(m_model->index(0, 0).data().toString(), QString("alice"));
    QCOMPARE(m_model->index(0, 1).data().toString(), QString("Admin"));
    QCOMPARE(m_model->index(1, 1).data().toString(), QString("Guest"));

    QVERIFY(m_model->addUser(User("\xc3\xa9mile", eAuthRole_Operator), "emilepw"));
    QCOMPARE(m_model->index(1, 0).data().toString(), QString::fromUtf8("\xc3\xa9mile"));
    QCOMPARE(m_model->index(1, 1).data().toString(), QString("Operator"));
    QCOMPARE(m_auth->getRole("\xc3\xa9mile", "emilepw"), eAuthRole_Operator);

    // A section that is no role makes the whole list unreadable: the table shows nothing.
    QFile file(authFile());
    QVERIFY(file.open(QIODevice::Append));
    file.write("[OTHER]\r\ncarol=ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP\r\n");
    file.close();
    bool ok = false;
    IniAuth withOtherSection(authFile().toStdString(), ok, "salt");
    QVERIFY(ok);
    m_model->setIniUaAuth(&withOtherSection);
    QCOMPARE(m_model->rowCount(), 0);
    m_model->setIniUaAuth(nullptr);
    QVERIFY(!m_model->addUser(User("dave", eAuthRole_Guest), "davepw"));
}

void TestUaUsers::editAppliesRoleThenRenameThenPassword()
{
    User alice("alice", eAuthRole_Admin);
    // The role changes under the old name before the rename is refused (bob exists).
    QVERIFY(!m_model->editUser(User("bob", eAuthRole_Operator), &alice, QString()));
    QCOMPARE(m_auth->getRole("alice", "alicepw"), eAuthRole_Operator);

    // A rename with a password sets it under the new name, so the user can log in at once.
    alice.m_role = eAuthRole_Operator;
    QVERIFY(m_model->editUser(User("alicia", eAuthRole_Guest), &alice, "newpass"));
    QCOMPARE(m_auth->getRole("alicia", "newpass"), eAuthRole_Guest);
    QCOMPARE(m_model->index(1, 0).data().toString(), QString("alicia"));

    // The store refuses 31 bytes (30 characters, one of them two bytes long): the rename is taken back, so
    // the old password keeps working.
    User alicia("alicia", eAuthRole_Guest);
    QVERIFY(!m_model->editUser(User("ally", eAuthRole_Guest), &alicia, QString(29, 'x') + QChar(0xe9)));
    QCOMPARE(m_auth->getRole("alicia", "newpass"), eAuthRole_Guest);
    QCOMPARE(m_auth->getRole("ally", "newpass"), eAuthRole_None);
}

void TestUaUsers::failedChangesKeepTheTable()
{
    // Without its folder the store cannot save: any call into it would fail.
    QVERIFY(QDir(m_dir->filePath("auth")).removeRecursively());
    User bob("bob", eAuthRole_Guest);
    QVERIFY2(m_model->editUser(bob, &bob, QString()),
             "an edit that changes nothing must not touch the store");
    QVERIFY(!m_model->deleteUser(1));
    QVERIFY(!m_model->deleteUser(2));
    QCOMPARE(m_model->rowCount(), 2);
    User user;
    QVERIFY(m_model->getUser(1, user));
    QCOMPARE(user.m_name, std::string("bob"));
    QVERIFY(!m_model->getUser(-1, user));
}

void TestUaUsers::dialogValidates_data()
{
    QTest::addColumn<bool>("editAlice");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("repeat");
    QTest::addColumn<QStringList>("marks"); // tool tips of name, password, repeat
    const QString none;
    auto row = [](const char* tag, bool edit, QString name, QString password, QString repeat,
                  QStringList marks) { QTest::newRow(tag) << edit << name << password << repeat << marks; };
    row("all empty", false, "", "", "", {kRequired, kRequired, kRequired});
    row("lower limits", false, "cc", "abcde", "abcde", {none, none, none});
    row("upper limits", false, QString(20, 'c'), QString(30, 'p'), QString(30, 'p'), {none, none, none});
    row("too short", false, "c", "abcd", "abcd", {kName, kPassword, none});
    row("too long", false, QString(21, 'c'), QString(31, 'p'), QString(31, 'p'), {kName, kPassword, none});
    row("mismatch", false, "carol", "secret", "secreT", {none, none, kMatch});
    row("short mismatch", false, "carol", "abc", "abd", {none, kPassword, kMatch});
    row("name with =", false, "a=b", "secret", "secret", {kBadName, none, none});
    row("name with LF", false, "a\nb", "secret", "secret", {kBadName, none, none});
    row("name with CR", false, "a\rb", "secret", "secret", {kBadName, none, none});
    row("name with ;", false, ";ab", "secret", "secret", {kBadName, none, none});
    row("edit keeps password", true, "alice", "", "", {none, none, none});
    row("edit repeat only", true, "alice", "", "secret", {none, kRequired, none});
    row("edit rename alone", true, "alicia", "", "", {none, kRequired, kRequired});
    row("edit rename", true, "alicia", "newpass", "newpass", {none, none, none});
}

void TestUaUsers::dialogValidates()
{
    QFETCH(bool, editAlice);
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QString, repeat);
    QFETCH(QStringList, marks);
    User alice("alice", eAuthRole_Admin);
    UaUserDialog dialog(m_model.get(), nullptr, editAlice ? &alice : nullptr);
    QLineEdit* fields[] = {edit(dialog, "nameLineEdit"), edit(dialog, "passwordLineEdit"),
                           edit(dialog, "passwordRepeatLineEdit")};
    fields[0]->setText(name);
    fields[1]->setText(password);
    fields[2]->setText(repeat);
    dialog.findChild<QComboBox*>("roleComboBox")->setCurrentIndex(1);
    dialog.accept();

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(fields[i]->toolTip(), marks[i]);
        QCOMPARE(fields[i]->styleSheet(), marks[i].isEmpty() ? QString() : UaUserDialog::s_invalidStyle);
    }
    const bool valid = marks == QStringList{QString(), QString(), QString()};
    QCOMPARE(dialog.result(), valid ? int(QDialog::Accepted) : int(QDialog::Rejected));
    const bool aliceChanged = editAlice && valid;
    QCOMPARE(m_auth->getRole(aliceChanged ? name.toStdString() : "alice",
                             aliceChanged && !password.isEmpty() ? password.toStdString() : "alicepw"),
             aliceChanged ? eAuthRole_Operator : eAuthRole_Admin);
    if (!editAlice)
        QCOMPARE(m_auth->getRole(name.toStdString(), password.toStdString()),
                 valid ? eAuthRole_Operator : eAuthRole_None);
}

void TestUaUsers::dialogReportsRefusals()
{
    UaUserDialog create(m_model.get(), nullptr, nullptr);
    QCOMPARE(create.windowTitle(), QString("New user"));
    QCOMPARE(create.windowIcon().availableSizes().size(), 6);
    edit(create, "nameLineEdit")->setText("bob");
    edit(create, "passwordLineEdit")->setText("secret");
    edit(create, "passwordRepeatLineEdit")->setText("secret");
    create.accept();
    auto* status = create.findChild<QLabel*>("statusLabel");
    QCOMPARE(status->text(), QString("An error occured while creating user."));
    QCOMPARE(status->styleSheet(), QString("color: red;"));
    QCOMPARE(create.result(), int(QDialog::Rejected));

    // 30 characters pass the dialog, but their 31 bytes are too long for the store.
    User bob("bob", eAuthRole_Guest);
    UaUserDialog editDialog(m_model.get(), nullptr, &bob);
    const QString password = QString(29, 'x') + QChar(0xe9);
    edit(editDialog, "passwordLineEdit")->setText(password);
    edit(editDialog, "passwordRepeatLineEdit")->setText(password);
    editDialog.accept();
    QCOMPARE(editDialog.findChild<QLabel*>("statusLabel")->text(),
             QString("An error occured while editing user."));
    QCOMPARE(m_auth->getRole("bob", "bobpw1"), eAuthRole_Guest);
}

void TestUaUsers::dialogMarksChangedFields()
{
    User bob("bob", eAuthRole_Operator);
    UaUserDialog dialog(m_model.get(), nullptr, &bob);
    QCOMPARE(dialog.windowTitle(), QString("Edit user"));
    auto* role = dialog.findChild<QComboBox*>("roleComboBox");
    QCOMPARE(role->currentIndex(), 1);
    auto bold = [&](const char* label) { return dialog.findChild<QLabel*>(label)->font().weight() > 50; };
    QVERIFY(!bold("nameLabel") && !bold("passwordLabel") && !bold("roleLabel"));

    QTest::keyClicks(edit(dialog, "nameLineEdit"), "x");
    QVERIFY(bold("nameLabel"));
    QTest::keyClick(edit(dialog, "nameLineEdit"), Qt::Key_Backspace);
    QVERIFY(!bold("nameLabel"));
    QTest::keyClicks(edit(dialog, "passwordLineEdit"), "p");
    QVERIFY(bold("passwordLabel"));
    role->setCurrentIndex(2);
    QVERIFY(bold("roleLabel"));
    role->setCurrentIndex(1);
    QVERIFY(!bold("roleLabel"));
}

QTEST_MAIN(TestUaUsers)
#include "tst_uausers.moc"
