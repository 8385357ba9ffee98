#include "mainWindow.h"
#include "openSslTool.h"
#include "testEnumerator.h"
#include "uaUserDialog.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringListModel>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using namespace Mox::Ini;

namespace {
const char kConfig[] = "[APPLICATION]\n"
                       "USE_RELATIVE_PATH=Y\n"
                       "APPLICATION_URI=urn:localhost:mox\n"
                       "APPLICATION_CERTIFICATE_PATH=pki/own/cert.der\n"
                       "APPLICATION_PRIVATE_KEY_PATH=pki/own/key.pem\n"
                       "APPLICATION_PRIVATE_KEY_PASSWORD=\n"
                       "[AUTH]\n"
                       "CREDENTIALS_INI_PATH=auth/users.ini\n"
                       "CREDENTIALS_USER_TOKEN_POLICY_ID=username\n"
                       "OPTIONAL_ENCODING_SALT=\n"
                       "[SECURITY]\n"
                       "CERTIFICATE_TRUST_LIST_PATH=pki/trusted\n"
                       "CERTIFICATE_ISSUER_LIST_PATH=pki/issuers\n"
                       "CERTIFICATE_REVOCATION_LIST_PATH=pki/crl\n"
                       "CERTIFICATE_REJECTED_LIST_PATH=pki/rejected\n";
const char kRemove[] = "-";
const QString kMissing = "The OPC UA config does not contain: ";

using Changes = QMap<QString, QString>;

template <class T> T* child(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(name);
    Q_ASSERT(widget);
    return widget;
}

QString text(QWidget& window, const char* edit)
{
    return child<QLineEdit>(window, edit)->text();
}

QStringList errors(QWidget& window)
{
    return static_cast<QStringListModel*>(child<QListView>(window, "listView_errors")->model())->stringList();
}

QStringList shownButtons(QWidget& window)
{
    QStringList shown;
    for (const char* name :
         {"generatePushButton_moxCore", "deletePushButton_moxCore", "generatePushButton_opcUa",
          "deletePushButton_opcUa", "generateAuthPushButton_opcUa", "deleteAuthPushButton_opcUa",
          "generateFoldersPushButton_clientCerts", "deleteFoldersPushButton_clientCerts"}) {
        if (!child<QPushButton>(window, name)->isHidden())
            shown << name;
    }
    return shown;
}

bool tabEnabled(QWidget& window, const char* page)
{
    auto* tabs = child<QTabWidget>(window, "tabWidget");
    QWidget* widget = child<QWidget>(window, page);
    return widget->isEnabled() && tabs->isTabEnabled(tabs->indexOf(widget));
}

void fillUser(QDialog& dialog, const QString& name, const QString& password, int role)
{
    child<QLineEdit>(dialog, "nameLineEdit")->setText(name);
    child<QLineEdit>(dialog, "passwordLineEdit")->setText(password);
    child<QLineEdit>(dialog, "passwordRepeatLineEdit")->setText(password);
    child<QComboBox>(dialog, "roleComboBox")->setCurrentIndex(role);
    dialog.accept();
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void pathsAndButtonsFollowTheDisk();
    void relativePathSwitch_data();
    void relativePathSwitch();
    void missingKeysAreReported();
    void brokenOrMissingFiles();
    void errorsTabLocksTheOtherTabs();
    void storeUsesConfiguredSalt_data();
    void storeUsesConfiguredSalt();
    void passphraseCheck_data();
    void passphraseCheck();
    void usersTab();

private:
    QString path(const QString& relative) const { return m_dir->filePath(relative); }
    void write(const QString& relative, const QByteArray& data);
    // The sample configuration with some keys given other values, or removed with "-".
    void writeConfig(const Changes& changes = {});
    std::unique_ptr<MainWindow> open(int instances = 1);
    void whenDialogOpens(MainWindow& window, std::function<void(UaUserDialog&)> act);

    QTemporaryDir m_tools;
    std::unique_ptr<QTemporaryDir> m_dir;
};

// A stand-in openssl first on the search path records what the window hands over, then runs the real one.
void TestMainWindow::initTestCase()
{
    const QString real = QStandardPaths::findExecutable("openssl");
    QVERIFY(!real.isEmpty());
    QFile script(m_tools.filePath("openssl"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QString("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1/args'\nprintf '%s' \"$%2\" > '%1/env'\n"
                         "exec '%3' \"$@\"\n")
                     .arg(m_tools.path(), OpenSslTool::passphraseVariable, real)
                     .toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    qputenv("PATH", (m_tools.path() + ":").toUtf8() + qgetenv("PATH"));

    const QStringList plain{"genrsa", "-out", m_tools.filePath("plain.key"), "1024"};
    const QStringList secret{
        "genrsa", "-aes128", "-passout", "pass:open sesame", "-out", m_tools.filePath("secret.key"), "1024"};
    QCOMPARE(QProcess::execute(real, plain), 0);
    QCOMPARE(QProcess::execute(real, secret), 0);
}

void TestMainWindow::init()
{
    m_dir.reset(new QTemporaryDir);
    QDir root(m_dir->path());
    QVERIFY(root.mkpath("OpcUa/auth") && root.mkpath("OpenSSL") && root.mkpath("moxcore"));
    QFile::remove(m_tools.filePath("args"));
}

void TestMainWindow::write(const QString& relative, const QByteArray& data)
{
    QFile file(path(relative));
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

void TestMainWindow::writeConfig(const Changes& changes)
{
    QByteArray text;
    for (const QString& line : QString(kConfig).split('\n', Qt::SkipEmptyParts)) {
        const QString key = line.section('=', 0, 0);
        if (!line.contains('=') || !changes.contains(key))
            text += line.toUtf8() + '\n';
        else if (changes[key] != kRemove)
            text += (key + '=' + changes[key]).toUtf8() + '\n';
    }
    write("OpcUa/MoxOpcUa.ini", text);
}

std::unique_ptr<MainWindow> TestMainWindow::open(int instances)
{
    return std::make_unique<MainWindow>(nullptr, new TestEnumerator(m_dir->path(), instances));
}

void TestMainWindow::whenDialogOpens(MainWindow& window, std::function<void(UaUserDialog&)> act)
{
    QTimer::singleShot(0, &window, [&window, act] {
        UaUserDialog* dialog = window.findChild<UaUserDialog*>();
        QVERIFY(dialog && dialog->isModal());
        act(*dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
}

void TestMainWindow::pathsAndButtonsFollowTheDisk()
{
    writeConfig();
    auto window = open();
    auto* tabs = child<QTabWidget>(*window, "tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), QString("OPC UA Authorization"));
    QVERIFY(errors(*window).isEmpty());
    auto* certificate = child<QLineEdit>(*window, "certificateLineEdit_opcUa");
    auto* trustList = child<QLineEdit>(*window, "trustListLineEdit");
    QCOMPARE(certificate->text(), path("OpcUa/pki/own/cert.der"));
    QCOMPARE(certificate->styleSheet(), QString("color: red;"));
    QCOMPARE(certificate->toolTip(), QString("This file does not exist."));
    QCOMPARE(trustList->toolTip(), QString("This folder does not exist."));
    QCOMPARE(text(*window, "moxOpcUaAuthLineEdit_opcUa"), path("OpcUa/auth/users.ini"));
    QCOMPARE(text(*window, "privateKeyLineEdit_moxCore"), path("moxcore/moxcore.key"));
    QCOMPARE(shownButtons(*window),
             (QStringList{"generatePushButton_moxCore", "generatePushButton_opcUa",
                          "generateAuthPushButton_opcUa", "generateFoldersPushButton_clientCerts"}));
    QVERIFY(!tabEnabled(*window, "tab_ua_auth"));

    // A certificate without its key, an empty user file, three folders and a trust list that is a file.
    write("OpcUa/pki/own/cert.der", "x");
    write("moxcore/moxcore.key", "x");
    write("OpcUa/auth/users.ini", "");
    write("OpcUa/pki/trusted", "x");
    QVERIFY(QDir(path("OpcUa/pki")).mkpath("issuers") && QDir(path("OpcUa/pki")).mkpath("crl") &&
            QDir(path("OpcUa/pki")).mkpath("rejected"));
    child<QAction>(*window, "actionReload")->trigger();
    QVERIFY(errors(*window).isEmpty());
    QCOMPARE(certificate->styleSheet(), QString());
    QCOMPARE(child<QLineEdit>(*window, "privateKeyLineEdit_opcUa")->styleSheet(), QString("color: red;"));
    QCOMPARE(trustList->toolTip(), QString("This folder does not exist."));
    QCOMPARE(child<QLineEdit>(*window, "issuersLineEdit")->toolTip(), QString());
    QCOMPARE(shownButtons(*window),
             (QStringList{"deletePushButton_moxCore", "deletePushButton_opcUa", "deleteAuthPushButton_opcUa",
                          "generateFoldersPushButton_clientCerts"}));
    QVERIFY(tabEnabled(*window, "tab_ua_auth"));

    QVERIFY(QFile::remove(path("OpcUa/pki/trusted")) && QDir(path("OpcUa/pki")).mkpath("trusted"));
    window->reloadData();
    QVERIFY(shownButtons(*window).contains("deleteFoldersPushButton_clientCerts"));
}

void TestMainWindow::relativePathSwitch_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<bool>("invalid");
    QTest::newRow("YES") << "YES" << true << false;
    QTest::newRow("OFF") << "OFF" << false << false;
    QTest::newRow("absent") << kRemove << false << false;
    QTest::newRow("lower-case yes") << "yes" << false << true;
}

void TestMainWindow::relativePathSwitch()
{
    QFETCH(QString, value);
    QFETCH(bool, resolved);
    QFETCH(bool, invalid);
    writeConfig({{"USE_RELATIVE_PATH", value}, {"APPLICATION_URI", kRemove}});
    auto window = open();
    QCOMPARE(text(*window, "certificateLineEdit_opcUa"),
             resolved ? path("OpcUa/pki/own/cert.der") : QString("pki/own/cert.der"));
    QStringList expected{kMissing + "APPLICATION_URI"};
    if (invalid)
        expected << "The OPC UA config file is invalid.";
    QCOMPARE(errors(*window), expected);
    QCOMPARE(shownButtons(*window).contains("generatePushButton_opcUa"), !invalid);
}

void TestMainWindow::missingKeysAreReported()
{
    Changes changes{{"APPLICATION_URI", ""},
                    {"APPLICATION_CERTIFICATE_PATH", kRemove},
                    {"APPLICATION_PRIVATE_KEY_PATH", kRemove},
                    {"CREDENTIALS_INI_PATH", kRemove}};
    for (const char* key : {"CERTIFICATE_TRUST_LIST_PATH", "CERTIFICATE_ISSUER_LIST_PATH",
                            "CERTIFICATE_REVOCATION_LIST_PATH", "CERTIFICATE_REJECTED_LIST_PATH"})
        changes[key] = kRemove;
    writeConfig(changes);
    auto window = open();
    QCOMPARE(errors(*window),
             (QStringList{kMissing + "APPLICATION_URI", kMissing + "APPLICATION_CERTIFICATE_PATH",
                          kMissing + "APPLICATION_PRIVATE_KEY_PATH", kMissing + "CREDENTIALS_INI_PATH"}));
    QCOMPARE(text(*window, "certificateLineEdit_opcUa"), QString());
    QCOMPARE(text(*window, "trustListLineEdit"), QString());
    QCOMPARE(shownButtons(*window),
             (QStringList{"generatePushButton_moxCore", "deleteFoldersPushButton_clientCerts"}));

    // Without a token policy the authorization file is optional.
    changes["CREDENTIALS_USER_TOKEN_POLICY_ID"] = kRemove;
    writeConfig(changes);
    window->reloadData();
    QCOMPARE(errors(*window).size(), 3);
    QVERIFY(!tabEnabled(*window, "tab_ua_auth"));
}

void TestMainWindow::brokenOrMissingFiles()
{
    writeConfig();
    write("OpcUa/auth/users.ini", "not an ini line\n");
    auto window = open();
    QCOMPARE(errors(*window), QStringList{"The OPC UA Auth file was not parsed correctly."});
    QVERIFY(!tabEnabled(*window, "tab_ua_auth"));

    // A configuration that cannot be parsed leaves the one loaded before in use.
    write("OpcUa/auth/users.ini", "");
    write("OpcUa/MoxOpcUa.ini", "APPLICATION_URI=before any section\n");
    window->reloadData();
    QCOMPARE(errors(*window), QStringList{"The OPC UA config file was not parsed correctly."});
    QCOMPARE(text(*window, "certificateLineEdit_opcUa"), path("OpcUa/pki/own/cert.der"));
    QVERIFY(tabEnabled(*window, "tab_ua_auth"));

    // One that is gone is no longer shown, and is no error.
    QVERIFY(QFile::remove(path("OpcUa/MoxOpcUa.ini")));
    window->reloadData();
    QVERIFY(errors(*window).isEmpty());
    QCOMPARE(text(*window, "certificateLineEdit_opcUa"), QString());
    QCOMPARE(shownButtons(*window), QStringList{"generatePushButton_moxCore"});
    QVERIFY(!tabEnabled(*window, "tab_ua_auth"));

    QVERIFY(QDir(path("OpenSSL")).removeRecursively());
    window->reloadData();
    QCOMPARE(errors(*window), QStringList{"No OpenSSL directory was specified."});
    QVERIFY(shownButtons(*window).isEmpty());
    QCOMPARE(errors(*open(0)), QStringList{"No active instance."});
}

void TestMainWindow::errorsTabLocksTheOtherTabs()
{
    writeConfig();
    write("OpcUa/auth/users.ini", "");
    auto window = open();
    auto* tabs = child<QTabWidget>(*window, "tabWidget");
    tabs->setCurrentIndex(1);
    window->addError("first");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(2), QString("Errors"));
    QCOMPARE(tabs->currentWidget(), child<QWidget>(*window, "tab_errors"));
    QVERIFY(!tabEnabled(*window, "tab_cert") && !tabEnabled(*window, "tab_ua_auth"));
    window->addError("second");
    QCOMPARE(errors(*window), (QStringList{"first", "second"}));
    window->clearErrors();
    QCOMPARE(tabs->count(), 2);
    QVERIFY(tabEnabled(*window, "tab_cert") && tabEnabled(*window, "tab_ua_auth"));

    // The user file loads after the configuration's errors were listed, so its tab stays usable.
    writeConfig({{"APPLICATION_URI", kRemove}});
    window->reloadData();
    QCOMPARE(tabs->currentWidget(), child<QWidget>(*window, "tab_errors"));
    QVERIFY(!tabEnabled(*window, "tab_cert") && tabEnabled(*window, "tab_ua_auth"));
    QVERIFY(!window->windowIcon().isNull());
}

void TestMainWindow::storeUsesConfiguredSalt_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("salt");
    for (QStringList row : {QStringList{kRemove, "k7ud30"}, {"", "k7ud30"}, {"pepper", "pepper"}})
        QTest::addRow("salt '%s'", qPrintable(row[0])) << row[0] << row[1];
}

// A user created through the window must verify under the salt the configuration asks for.
void TestMainWindow::storeUsesConfiguredSalt()
{
    QFETCH(QString, configured);
    QFETCH(QString, salt);
    writeConfig({{"OPTIONAL_ENCODING_SALT", configured}});
    write("OpcUa/auth/users.ini", "");
    auto window = open();
    whenDialogOpens(*window, [](UaUserDialog& dialog) { fillUser(dialog, "carol", "carolpw", 0); });
    child<QPushButton>(*window, "newUserPushButton_ua_auth")->click();
    QCOMPARE(child<QTableView>(*window, "usersList_uaAuth")->model()->rowCount(), 1);
    bool ok = false;
    IniAuth check(path("OpcUa/auth/users.ini").toStdString(), ok, salt.toStdString());
    QVERIFY(ok);
    QCOMPARE(check.getRole("carol", "carolpw"), eAuthRole_Guest);
}

void TestMainWindow::passphraseCheck_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<bool>("works");
    auto row = [](const char* tag, QString key, QString passphrase, bool works) {
        QTest::newRow(tag) << key << passphrase << works;
    };
    row("plain key, no pass phrase", "plain.key", "", true);
    row("right pass phrase", "secret.key", "open sesame", true);
    row("wrong pass phrase", "secret.key", "open barley", false);
    row("no pass phrase", "secret.key", "", false);
}

void TestMainWindow::passphraseCheck()
{
    QFETCH(QString, key);
    QFETCH(QString, passphrase);
    QFETCH(bool, works);
    const QString keyPath = m_tools.filePath(key);
    writeConfig(
        {{"APPLICATION_PRIVATE_KEY_PATH", keyPath}, {"APPLICATION_PRIVATE_KEY_PASSWORD", passphrase}});
    auto window = open();
    QCOMPARE(errors(*window),
             works ? QStringList()
                   : QStringList{"The passphrase in OPC UA config does not work for the key."});

    // The pass phrase travels in the child's environment, never on its command line.
    QFile args(m_tools.filePath("args")), env(m_tools.filePath("env"));
    QVERIFY(args.open(QIODevice::ReadOnly) && env.open(QIODevice::ReadOnly));
    QCOMPARE(QString(args.readAll()).split('\n', Qt::SkipEmptyParts),
             (QStringList{"rsa", "-check", "-in", keyPath, "-noout", "-passin",
                          QString("env:") + OpenSslTool::passphraseVariable}));
    QCOMPARE(QString(env.readAll()), passphrase);

    // No certificate configured: nothing to check, openssl is not started.
    QVERIFY(QFile::remove(args.fileName()));
    writeConfig({{"APPLICATION_PRIVATE_KEY_PATH", keyPath}, {"APPLICATION_CERTIFICATE_PATH", kRemove}});
    window->reloadData();
    QVERIFY(!args.exists());
}

void TestMainWindow::usersTab()
{
    writeConfig();
    {
        bool ok = false;
        IniAuth auth(path("OpcUa/auth/users.ini").toStdString(), ok, "k7ud30");
        QCOMPARE(auth.addUser("alice", "alicepw", eAuthRole_Admin), eAuthRoleCode_Good);
        QCOMPARE(auth.addUser("bob", "bobpw1", eAuthRole_Guest), eAuthRoleCode_Good);
    }
    auto window = open();
    auto* view = child<QTableView>(*window, "usersList_uaAuth");
    auto* edit = child<QPushButton>(*window, "editUserPushButton_ua_auth");
    auto* remove = child<QPushButton>(*window, "deleteUserPushButton_ua_auth");
    QCOMPARE(view->model()->rowCount(), 2);
    QVERIFY(edit->isHidden() && remove->isHidden());
    view->selectRow(0);
    QVERIFY(!edit->isHidden() && !remove->isHidden());
    view->selectRow(1);
    QVERIFY(!edit->isHidden() && !remove->isHidden());
    view->clearSelection();
    QVERIFY(edit->isHidden() && remove->isHidden());
    remove->click();
    QCOMPARE(view->model()->rowCount(), 2);

    // Cancelling keeps selection and buttons.
    view->selectRow(0);
    whenDialogOpens(*window, [](UaUserDialog& dialog) { dialog.reject(); });
    edit->click();
    QVERIFY(!edit->isHidden() && view->selectionModel()->isRowSelected(0, QModelIndex()));

    // Rename with a new password and a new role: the user can log in under the new name at once.
    whenDialogOpens(*window, [](UaUserDialog& dialog) {
        QCOMPARE(text(dialog, "nameLineEdit"), QString("alice"));
        fillUser(dialog, "alicia", "newpass", 1);
    });
    edit->click();
    QVERIFY(edit->isHidden() && !view->selectionModel()->hasSelection());
    QCOMPARE(view->model()->index(0, 0).data().toString(), QString("alicia"));
    QCOMPARE(view->model()->index(0, 1).data().toString(), QString("Operator"));
    bool ok = false;
    IniAuth check(path("OpcUa/auth/users.ini").toStdString(), ok, "k7ud30");
    QCOMPARE(check.getRole("alicia", "newpass"), eAuthRole_Operator);

    view->selectRow(1);
    remove->click();
    QCOMPARE(view->model()->rowCount(), 1);
    QVERIFY(remove->isHidden());

    // The store cannot save without its folder: the row stays and the Errors tab says so.
    QVERIFY(QDir(path("OpcUa/auth")).removeRecursively());
    view->selectRow(0);
    remove->click();
    QCOMPARE(view->model()->rowCount(), 1);
    QCOMPARE(errors(*window), QStringList{"An unknown error occured."});
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
