// The main window's certificate, folder, authorization-file and settings actions on a sample installation
// laid down by scripts/install-sample.sh in a temporary prefix, each with the reload that ends it.
#include "certificateDialog.h"
#include "confirmDialog.h"
#include "folderGuard.h"
#include "mainWindow.h"
#include "settingsDialog.h"
#include "testEnumerator.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QStringListModel>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char s_probe[] = "probe: gone after a reload";

template <class T> T* child(QWidget& parent, const char* name)
{
    T* widget = parent.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QStringList errors(QWidget& window)
{
    return static_cast<QStringListModel*>(child<QListView>(window, "listView_errors")->model())->stringList();
}

bool shown(QWidget& window, const char* button)
{
    return !child<QPushButton>(window, button)->isHidden();
}

QString field(QWidget& window, const char* edit)
{
    return child<QLineEdit>(window, edit)->text();
}

bool red(QWidget& window, const char* edit)
{
    return child<QLineEdit>(window, edit)->styleSheet() == QLatin1String("color: red;");
}

void touch(const QString& path, const QByteArray& data = QByteArray())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
}

// Answers the modal dialog of type D that the next action opens; *opened tells whether one did.
template <class D> void whenOpens(QWidget& window, bool* opened, std::function<void(D&)> act)
{
    *opened = false;
    QTimer::singleShot(0, &window, [&window, opened, act] {
        D* dialog = window.findChild<D*>();
        if (!dialog)
            return;
        *opened = dialog->isModal() && dialog->isVisible();
        act(*dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
}

void confirmWith(QWidget& window, bool* opened, QDialogButtonBox::StandardButton button, QString* question)
{
    whenOpens<ConfirmDialog>(window, opened, [button, question](ConfirmDialog& dialog) {
        *question = child<QLabel>(dialog, "label")->text();
        child<QDialogButtonBox>(dialog, "buttonBox")->button(button)->click();
    });
}

void fillSubject(CertificateDialog& dialog)
{
    child<QLineEdit>(dialog, "organizationLineEdit")->setText("Mox");
    child<QLineEdit>(dialog, "localityLineEdit")->setText("Munich");
    child<QLineEdit>(dialog, "stateLineEdit")->setText("Bavaria");
    child<QLineEdit>(dialog, "countryLineEdit")->setText("DE");
}

} // namespace

class TestFileActions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sampleInstallation();
    void opcUaCertificate();
    void coreCertificate();
    void cancelledActionsChangeNothing();
    void authorizationFile();
    void clientFolders();
    void guardedFolderDeletion_data();
    void guardedFolderDeletion();
    void guardReasons();
    void settingsSwitchInstance();

private:
    QString mox(const QString& relative) const { return m_prefix->filePath("mox/" + relative); }
    int installSample(QByteArray* output = nullptr);
    // Sets (or with an empty value removes) one key of the sample configuration.
    void setKey(const QString& key, const QString& value);
    std::unique_ptr<MainWindow> open(int instances = 1);

    std::unique_ptr<QTemporaryDir> m_prefix;
};

void TestFileActions::init()
{
    m_prefix.reset(new QTemporaryDir);
    QVERIFY(m_prefix->isValid());
    QCOMPARE(installSample(), 0);
}

void TestFileActions::cleanup()
{
    m_prefix.reset();
}

int TestFileActions::installSample(QByteArray* output)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start("bash", {qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/scripts/install-sample.sh",
                          m_prefix->path()});
    if (!script.waitForFinished(60000))
        return -1;
    if (output)
        *output = script.readAll();
    return script.exitCode();
}

void TestFileActions::setKey(const QString& key, const QString& value)
{
    QFile file(mox("OpcUa/MoxOpcUa.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    file.close();
    bool found = false;
    for (int i = lines.size() - 1; i >= 0; --i) {
        if (!lines[i].startsWith(key + '='))
            continue;
        found = true;
        if (value.isEmpty())
            lines.removeAt(i);
        else
            lines[i] = key + '=' + value;
    }
    QVERIFY2(found, qPrintable(key));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(lines.join('\n').toUtf8());
}

std::unique_ptr<MainWindow> TestFileActions::open(int instances)
{
    return std::make_unique<MainWindow>(nullptr, new TestEnumerator(mox(""), instances));
}

void TestFileActions::sampleInstallation()
{
    // Every key the window reads is there: no errors, resolved paths, the generate buttons.
    auto window = open();
    QCOMPARE(errors(*window), QStringList());
    QCOMPARE(field(*window, "certificateLineEdit_opcUa"), mox("OpcUa/pki/own/cert.pem"));
    QCOMPARE(field(*window, "privateKeyLineEdit_opcUa"), mox("OpcUa/pki/own/private/key.pem"));
    QCOMPARE(field(*window, "moxOpcUaAuthLineEdit_opcUa"), mox("OpcUa/users.ini"));
    QCOMPARE(field(*window, "rejectedLineEdit"), mox("OpcUa/pki/rejected"));
    QCOMPARE(field(*window, "certificateLineEdit_moxCore"), mox("moxcore/moxcore.cer"));
    for (const char* button : {"generatePushButton_opcUa", "generatePushButton_moxCore",
                               "generateAuthPushButton_opcUa", "generateFoldersPushButton_clientCerts"})
        QVERIFY2(shown(*window, button), button);
    QVERIFY(QFile::exists(mox("OpenSSL/qvd_openssl.cnf")));
    QVERIFY(QFile::exists(mox("OpenSSL/qvd_openssl_v3.ext")));
    QVERIFY(QFile::exists(mox("moxcore/exec.mox")));

    // A second run leaves an existing tree exactly as it is.
    touch(mox("OpcUa/MoxOpcUa.ini"), "[APPLICATION]\nAPPLICATION_URI=mine\n");
    QByteArray output;
    QCOMPARE(installSample(&output), 0);
    QVERIFY2(output.contains("already exists"), output.constData());
    QFile config(mox("OpcUa/MoxOpcUa.ini"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), QByteArray("[APPLICATION]\nAPPLICATION_URI=mine\n"));
    QCOMPARE(QDir(m_prefix->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"mox"});
}

void TestFileActions::opcUaCertificate()
{
    auto window = open();
    bool opened = false;
    QString uriTip;
    whenOpens<CertificateDialog>(*window, &opened, [&uriTip](CertificateDialog& dialog) {
        uriTip = child<QLineEdit>(dialog, "applicationURILineEdit")->toolTip();
        QTest::keyClicks(child<QLineEdit>(dialog, "endPartLineEdit"), "TestServer");
        fillSubject(dialog);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    child<QPushButton>(*window, "generatePushButton_opcUa")->click();
    QVERIFY(opened);
    // The dialog got the configuration's URI, and the window reloaded after the generation.
    QCOMPARE(uriTip, QString("APPLICATION_URI in INI is: urn:MOX:UA:TestServer"));
    const QString cert = mox("OpcUa/pki/own/cert.pem");
    const QString key = mox("OpcUa/pki/own/private/key.pem");
    QVERIFY(QFile::exists(cert) && QFile::exists(key));
    QVERIFY(!red(*window, "certificateLineEdit_opcUa") && !red(*window, "privateKeyLineEdit_opcUa"));
    QVERIFY(shown(*window, "deletePushButton_opcUa"));
    QVERIFY(!shown(*window, "generatePushButton_opcUa"));
    QCOMPARE(errors(*window), QStringList());

    QString question;
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    child<QPushButton>(*window, "deletePushButton_opcUa")->click();
    QVERIFY(opened);
    QCOMPARE(question, QString("Do you realy want to delete the certificate?"));
    QVERIFY(!QFile::exists(cert) && !QFile::exists(key));
    QVERIFY(red(*window, "certificateLineEdit_opcUa") && red(*window, "privateKeyLineEdit_opcUa"));
    QVERIFY(shown(*window, "generatePushButton_opcUa"));
    QVERIFY(!shown(*window, "deletePushButton_opcUa"));

    // Only a key left (not one openssl can read, so the tab is locked by that error): it goes, and
    // generating is offered again.
    touch(key, "key");
    window->reloadData();
    QVERIFY(shown(*window, "deletePushButton_opcUa"));
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    window->deleteOpcUaCertificate();
    QVERIFY(opened);
    QVERIFY(!QFile::exists(key));
    QVERIFY(red(*window, "certificateLineEdit_opcUa") && red(*window, "privateKeyLineEdit_opcUa"));
    QVERIFY(shown(*window, "generatePushButton_opcUa"));
    QCOMPARE(errors(*window), QStringList());
}

void TestFileActions::coreCertificate()
{
    // The core's certificate never gets the OPC UA pass phrase or URI, whatever the configuration holds.
    setKey("APPLICATION_PRIVATE_KEY_PASSWORD", "opcua-secret");
    auto window = open();
    bool opened = false;
    bool passwordOffered = true;
    QString uri = "unset";
    whenOpens<CertificateDialog>(*window, &opened, [&](CertificateDialog& dialog) {
        passwordOffered = child<QCheckBox>(dialog, "passwordCheckBox")->isChecked() ||
                          !child<QGroupBox>(dialog, "groupBox_opcua")->isHidden();
        uri = child<QLineEdit>(dialog, "applicationURILineEdit")->text();
        fillSubject(dialog);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    child<QPushButton>(*window, "generatePushButton_moxCore")->click();
    QVERIFY(opened);
    QVERIFY(!passwordOffered);
    QCOMPARE(uri, QString());
    QVERIFY(QFile::exists(mox("moxcore/moxcore.cer")) && QFile::exists(mox("moxcore/moxcore.key")));
    QVERIFY(shown(*window, "deletePushButton_moxCore"));

    QString question;
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    child<QPushButton>(*window, "deletePushButton_moxCore")->click();
    QVERIFY(opened);
    QCOMPARE(question, QString("Do you realy want to delete the certificate?"));
    QVERIFY(!QFile::exists(mox("moxcore/moxcore.cer")) && !QFile::exists(mox("moxcore/moxcore.key")));
    QVERIFY(shown(*window, "generatePushButton_moxCore"));
    QVERIFY(QFile::exists(mox("moxcore/exec.mox")));
}

void TestFileActions::cancelledActionsChangeNothing()
{
    const QStringList files{mox("OpcUa/pki/own/cert.pem"), mox("OpcUa/pki/own/private/key.pem"),
                            mox("moxcore/moxcore.cer"),    mox("moxcore/moxcore.key"),
                            mox("OpcUa/users.ini"),        mox("OpcUa/pki/trusted/a.der")};
    for (const QString& file : files)
        touch(file);
    auto window = open();

    using Slot = void (MainWindow::*)();
    const Slot confirmations[] = {&MainWindow::deleteOpcUaCertificate, &MainWindow::deleteMoxCoreCertificate,
                                  &MainWindow::deleteUaAuth, &MainWindow::deleteClientCertsFolders};
    for (Slot slot : confirmations) {
        // A reload would clear this line.
        window->addError(s_probe);
        const QStringList before = errors(*window);
        bool opened = false;
        QString question;
        confirmWith(*window, &opened, QDialogButtonBox::Cancel, &question);
        (window.get()->*slot)();
        QVERIFY(opened);
        QCOMPARE(errors(*window), before);
        for (const QString& file : files)
            QVERIFY2(QFile::exists(file), qPrintable(question + ": " + file));
    }

    for (Slot slot : {&MainWindow::generateOpcUaCertificate, &MainWindow::generateMoxCoreCertificate}) {
        window->addError(s_probe);
        const QStringList before = errors(*window);
        bool opened = false;
        whenOpens<CertificateDialog>(*window, &opened, [](CertificateDialog& dialog) { dialog.reject(); });
        (window.get()->*slot)();
        QVERIFY(opened);
        QCOMPARE(errors(*window), before);
    }
}

void TestFileActions::authorizationFile()
{
    setKey("CREDENTIALS_INI_PATH", "auth/deeper/users.ini");
    auto window = open();
    auto* tabs = child<QTabWidget>(*window, "tabWidget");
    QWidget* usersTab = child<QWidget>(*window, "tab_ua_auth");
    QVERIFY(!tabs->isTabEnabled(tabs->indexOf(usersTab)));

    child<QPushButton>(*window, "generateAuthPushButton_opcUa")->click();
    const QString file = mox("OpcUa/auth/deeper/users.ini");
    QVERIFY(QFileInfo(file).isFile());
    QCOMPARE(QFileInfo(file).size(), qint64(0));
    QVERIFY(tabs->isTabEnabled(tabs->indexOf(usersTab)));
    QCOMPARE(child<QTableView>(*window, "usersList_uaAuth")->model()->rowCount(), 0);
    QVERIFY(shown(*window, "deleteAuthPushButton_opcUa"));
    QVERIFY(!red(*window, "moxOpcUaAuthLineEdit_opcUa"));

    bool opened = false;
    QString question;
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    child<QPushButton>(*window, "deleteAuthPushButton_opcUa")->click();
    QVERIFY(opened);
    QCOMPARE(question, QString("Do you realy want to delete the UA authorization file?"));
    QVERIFY(!QFile::exists(file));
    QVERIFY(!tabs->isTabEnabled(tabs->indexOf(usersTab)));
    QVERIFY(shown(*window, "generateAuthPushButton_opcUa"));
}

void TestFileActions::clientFolders()
{
    setKey("CERTIFICATE_ISSUER_LIST_PATH", "pki/deep/er/issuers");
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/trusted")));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki/crl")));
    touch(mox("OpcUa/pki/trusted/keep-or-not.der"), "x");
    auto window = open();
    QVERIFY(red(*window, "issuersLineEdit") && !red(*window, "trustListLineEdit"));

    child<QPushButton>(*window, "generateFoldersPushButton_clientCerts")->click();
    for (const char* folder : {"trusted", "deep/er/issuers", "crl", "rejected"})
        QVERIFY2(QFileInfo(mox("OpcUa/pki/") + folder).isDir(), folder);
    QVERIFY(QFile::exists(mox("OpcUa/pki/trusted/keep-or-not.der")));
    QVERIFY(shown(*window, "deleteFoldersPushButton_clientCerts"));
    QVERIFY(!red(*window, "issuersLineEdit"));

    touch(mox("OpcUa/pki/rejected/sub/client.der"), "x");
    bool opened = false;
    QString question;
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    child<QPushButton>(*window, "deleteFoldersPushButton_clientCerts")->click();
    QVERIFY(opened);
    QCOMPARE(question, QString("Do you realy want to delete the certificate folders?"));
    for (const char* folder : {"trusted", "deep/er/issuers", "crl", "rejected"})
        QVERIFY2(!QFileInfo::exists(mox("OpcUa/pki/") + folder), folder);
    QVERIFY(QFileInfo(mox("OpcUa/pki/deep/er")).isDir()); // only the configured folders go
    for (const char* edit :
         {"trustListLineEdit", "issuersLineEdit", "revocationLineEdit", "rejectedLineEdit"})
        QVERIFY2(red(*window, edit), edit);
    QVERIFY(shown(*window, "generateFoldersPushButton_clientCerts"));
    QCOMPARE(errors(*window), QStringList());

    // An unconfigured folder never stands for the working directory.
    setKey("CERTIFICATE_REJECTED_LIST_PATH", "");
    window->reloadData();
    child<QPushButton>(*window, "generateFoldersPushButton_clientCerts")->click();
    QCOMPARE(field(*window, "rejectedLineEdit"), QString());
    QTemporaryDir work;
    touch(work.filePath("precious.txt"), "x");
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    child<QPushButton>(*window, "deleteFoldersPushButton_clientCerts")->click();
    QDir::setCurrent(saved);
    QVERIFY(opened);
    QVERIFY(QFile::exists(work.filePath("precious.txt")));
    QVERIFY(!QFileInfo::exists(mox("OpcUa/pki/trusted")));
}

void TestFileActions::guardedFolderDeletion_data()
{
    QTest::addColumn<QString>("trustList");
    QTest::addColumn<QString>("survivor");
    QTest::addColumn<QString>("reason");
    // The survivor lies below the temporary prefix.
    const QString config = "mox/OpcUa/MoxOpcUa.ini";
    QTest::newRow("configuration folder") << "." << config << "it holds the OPC UA configuration.";
    QTest::newRow("installation folder") << ".." << config << "it holds the OPC UA configuration.";
    QTest::newRow("link to the configuration folder")
        << "pki/link" << config << "it holds the OPC UA configuration.";
    QTest::newRow("core folder") << "../moxcore"
                                 << "mox/moxcore/exec.mox"
                                 << "it holds the runtime core's configuration.";
    QTest::newRow("users folder") << "auth"
                                  << "mox/OpcUa/auth/users.ini"
                                  << "it holds the UA authorization file.";
    QTest::newRow("home") << "<home>"
                          << "home/.profile"
                          << "it is or holds the user's home folder.";
}

void TestFileActions::guardedFolderDeletion()
{
    QFETCH(QString, trustList);
    QFETCH(QString, survivor);
    QFETCH(QString, reason);
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", m_prefix->filePath("home").toUtf8());
    touch(m_prefix->filePath("home/.profile"), "x");
    if (trustList == "<home>")
        trustList = m_prefix->filePath("home");
    QVERIFY(QDir().mkpath(mox("OpcUa/pki")));
    QVERIFY(QFile::link(mox("OpcUa"), mox("OpcUa/pki/link")));
    setKey("CREDENTIALS_INI_PATH", "auth/users.ini");
    touch(mox("OpcUa/auth/users.ini"));
    setKey("CERTIFICATE_TRUST_LIST_PATH", trustList);

    auto window = open();
    window->findChild<QPushButton*>("generateFoldersPushButton_clientCerts")->click();
    const QString kept = field(*window, "trustListLineEdit");
    bool opened = false;
    QString question;
    confirmWith(*window, &opened, QDialogButtonBox::Ok, &question);
    window->deleteClientCertsFolders();
    qputenv("HOME", savedHome);

    QVERIFY(opened);
    QVERIFY(QFile::exists(m_prefix->filePath(survivor)));
    QVERIFY(QFile::exists(mox("OpcUa/MoxOpcUa.ini")));
    // The other folders went; the window reloaded and says which folder it kept and why.
    for (const char* folder : {"issuers", "crl", "rejected"})
        QVERIFY2(!QFileInfo::exists(mox("OpcUa/pki/") + folder), folder);
    QCOMPARE(errors(*window), QStringList{QString("The folder '%1' was not deleted: %2").arg(kept, reason)});
    QVERIFY(red(*window, "issuersLineEdit"));
}

void TestFileActions::guardReasons()
{
    QTemporaryDir dir;
    touch(dir.filePath("opcua/config.ini"));
    touch(dir.filePath("core/exec.mox"));
    const FolderGuard guard(dir.filePath("opcua/config.ini"), dir.filePath("core/exec.mox"),
                            dir.filePath("opcua/users/not-yet.ini"));
    const QString prefix = "The folder '%1' was not deleted: ";
    QCOMPARE(guard.keepReason("/"), QString(prefix + "it is the file system's root.").arg("/"));
    QCOMPARE(guard.keepReason("/tmp/.."), QString(prefix + "it is the file system's root.").arg("/tmp/.."));
    QCOMPARE(guard.keepReason(QDir::homePath()),
             QString(prefix + "it is or holds the user's home folder.").arg(QDir::homePath()));
    QCOMPARE(guard.keepReason(dir.path()),
             QString(prefix + "it holds the OPC UA configuration.").arg(dir.path()));
    QCOMPARE(guard.keepReason(dir.filePath("core/")),
             QString(prefix + "it holds the runtime core's configuration.").arg(dir.filePath("core/")));
    // A file that does not exist yet is still protected where it will be made.
    QCOMPARE(guard.keepReason(dir.filePath("opcua/users")),
             QString(prefix + "it holds the UA authorization file.").arg(dir.filePath("opcua/users")));
    QCOMPARE(guard.keepReason(dir.filePath("opcua/pki")), QString());
    QCOMPARE(guard.keepReason(dir.filePath("opcua-other")), QString()); // a name prefix is no parent
    QCOMPARE(guard.keepReason(dir.filePath("core/../elsewhere")), QString());
}

void TestFileActions::settingsSwitchInstance()
{
    auto window = open(2);
    bool opened = false;

    // Accepting the instance already active reloads nothing.
    window->addError(s_probe);
    whenOpens<SettingsDialog>(*window, &opened, [](SettingsDialog& dialog) {
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    window->openSettings();
    QVERIFY(opened);
    QCOMPARE(errors(*window), QStringList{s_probe});

    // Another instance: the window reloads for it (this one has no installation on disk).
    whenOpens<SettingsDialog>(*window, &opened, [](SettingsDialog& dialog) {
        child<QComboBox>(dialog, "instanceComboBox")->setCurrentIndex(1);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    window->openSettings();
    QVERIFY(opened);
    QCOMPARE(errors(*window), QStringList{"No OpenSSL directory was specified."});

    // And back, through the menu action.
    whenOpens<SettingsDialog>(*window, &opened, [](SettingsDialog& dialog) {
        child<QComboBox>(dialog, "instanceComboBox")->setCurrentIndex(0);
        child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    window->findChild<QAction*>("actionSettings")->trigger();
    QVERIFY(opened);
    QCOMPARE(errors(*window), QStringList());
    QCOMPARE(field(*window, "certificateLineEdit_opcUa"), mox("OpcUa/pki/own/cert.pem"));
}

QTEST_MAIN(TestFileActions)
#include "tst_fileactions.moc"
