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
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStringListModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char s_probe[] = "probe: a reload removes this line";

template <class T = QLineEdit> T* w(QWidget& parent, const char* name)
{
    T* widget = parent.findChild<T*>(name);
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QStringList errors(QWidget& window)
{
    return static_cast<QStringListModel*>(w<QListView>(window, "listView_errors")->model())->stringList();
}

bool shown(QWidget& window, const char* button)
{
    return !w<QPushButton>(window, button)->isHidden();
}

bool red(QWidget& window, const char* edit)
{
    return w(window, edit)->styleSheet() == "color: red;";
}

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile(path).open(QIODevice::WriteOnly);
}

void fillSubject(CertificateDialog& dialog)
{
    for (const char* name : {"organizationLineEdit", "localityLineEdit", "stateLineEdit", "countryLineEdit"})
        w(dialog, name)->setText("DE");
}

} // namespace

class TestFileActions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sampleInstallation();
    void certificates();
    void cancelledActionsChangeNothing();
    void authorizationFileAndFolders();
    void guardedFolderDeletion_data();
    void guardedFolderDeletion();
    void guardReasons();
    void settingsSwitchInstance();

private:
    QString mox(const QString& relative) const { return m_prefix->filePath("mox/" + relative); }
    int installSample(QByteArray* output = nullptr);
    // Sets one key of the sample configuration, or removes it for an empty value.
    void setKey(const QString& key, const QString& value);
    std::unique_ptr<MainWindow> open(int instances = 1)
    {
        return std::make_unique<MainWindow>(nullptr, new TestEnumerator(mox(""), instances));
    }
    // Answers the next modal dialog of type D that the window opens; m_opened tells whether one did.
    template <class D> void whenOpens(MainWindow& window, std::function<void(D&)> act);
    void answer(MainWindow& window, QDialogButtonBox::StandardButton button);

    std::unique_ptr<QTemporaryDir> m_prefix;
    bool m_opened = false;
    QString m_question;
};

void TestFileActions::init()
{
    m_prefix.reset(new QTemporaryDir);
    QCOMPARE(installSample(), 0);
}

int TestFileActions::installSample(QByteArray* output)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start("bash", {qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/scripts/install-sample.sh",
                          m_prefix->path()});
    script.waitForFinished(60000);
    if (output)
        *output = script.readAll();
    return script.exitCode();
}

void TestFileActions::setKey(const QString& key, const QString& value)
{
    QFile file(mox("OpcUa/MoxOpcUa.ini"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    const int at = lines.indexOf(QRegularExpression(QRegularExpression::escape(key) + "=.*"));
    QVERIFY2(at >= 0, qPrintable(key));
    if (value.isEmpty())
        lines.removeAt(at);
    else
        lines[at] = key + '=' + value;
    file.resize(0);
    file.write(lines.join('\n').toUtf8());
}

template <class D> void TestFileActions::whenOpens(MainWindow& window, std::function<void(D&)> act)
{
    m_opened = false;
    QTimer::singleShot(0, &window, [this, &window, act] {
        D* dialog = window.findChild<D*>();
        if (!dialog)
            return;
        m_opened = dialog->isModal() && dialog->isVisible();
        act(*dialog);
        if (dialog->isVisible())
            dialog->reject();
    });
}

void TestFileActions::answer(MainWindow& window, QDialogButtonBox::StandardButton button)
{
    whenOpens<ConfirmDialog>(window, [this, button](ConfirmDialog& dialog) {
        m_question = w<QLabel>(dialog, "label")->text();
        w<QDialogButtonBox>(dialog, "buttonBox")->button(button)->click();
    });
}

void TestFileActions::sampleInstallation()
{
    // Every key the window reads is there: no errors, resolved paths, the four generate buttons.
    auto window = open();
    QCOMPARE(errors(*window), QStringList());
    QCOMPARE(w(*window, "privateKeyLineEdit_opcUa")->text(), mox("OpcUa/pki/own/private/key.pem"));
    QCOMPARE(w(*window, "rejectedLineEdit")->text(), mox("OpcUa/pki/rejected"));
    for (const char* button : {"generatePushButton_opcUa", "generatePushButton_moxCore",
                               "generateAuthPushButton_opcUa", "generateFoldersPushButton_clientCerts"})
        QVERIFY2(shown(*window, button), button);

    // A second run leaves an existing tree exactly as it is.
    setKey("APPLICATION_URI", "mine");
    QFile config(mox("OpcUa/MoxOpcUa.ini"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray content = config.readAll();
    QByteArray output;
    QCOMPARE(installSample(&output), 0);
    QVERIFY2(output.contains("already exists"), output.constData());
    QVERIFY(config.seek(0));
    QCOMPARE(config.readAll(), content);
    QCOMPARE(QDir(m_prefix->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"mox"});
}

void TestFileActions::certificates()
{
    // The core's certificate never gets the OPC UA pass phrase or URI, whatever the configuration holds.
    setKey("APPLICATION_PRIVATE_KEY_PASSWORD", "opcua-secret");
    auto window = open();
    QString uriTip;
    QString password;
    whenOpens<CertificateDialog>(*window, [&uriTip, &password](CertificateDialog& dialog) {
        uriTip = w(dialog, "applicationURILineEdit")->toolTip();
        password = w(dialog, "passwordLineEdit")->text();
        w<QCheckBox>(dialog, "passwordCheckBox")->setChecked(false);
        fillSubject(dialog);
        w<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    w<QPushButton>(*window, "generatePushButton_opcUa")->click();
    QVERIFY(m_opened);
    // The configuration's URI and pass phrase reached the dialog: its proposal matches, so no warning.
    QCOMPARE(uriTip, QString());
    QCOMPARE(password, QString("opcua-secret"));
    const QString cert = mox("OpcUa/pki/own/cert.pem");
    const QString key = mox("OpcUa/pki/own/private/key.pem");
    QVERIFY(QFile::exists(cert) && QFile::exists(key) && !red(*window, "certificateLineEdit_opcUa"));
    QVERIFY(shown(*window, "deletePushButton_opcUa") && !shown(*window, "generatePushButton_opcUa"));

    bool coreOffersSecrets = true;
    whenOpens<CertificateDialog>(*window, [&coreOffersSecrets](CertificateDialog& dialog) {
        coreOffersSecrets = !w<QGroupBox>(dialog, "groupBox_opcua")->isHidden() ||
                            w<QCheckBox>(dialog, "passwordCheckBox")->isChecked() ||
                            !w(dialog, "applicationURILineEdit")->text().isEmpty();
        fillSubject(dialog);
        w<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    w<QPushButton>(*window, "generatePushButton_moxCore")->click();
    QVERIFY(m_opened && !coreOffersSecrets);
    QVERIFY(QFile::exists(mox("moxcore/moxcore.cer")) && shown(*window, "deletePushButton_moxCore"));

    for (const char* button : {"deletePushButton_opcUa", "deletePushButton_moxCore"}) {
        answer(*window, QDialogButtonBox::Ok);
        w<QPushButton>(*window, button)->click();
        QVERIFY(m_opened);
        QCOMPARE(m_question, QString("Do you realy want to delete the certificate?"));
    }
    QCOMPARE(QDir(mox("moxcore")).entryList(QDir::Files), QStringList{"exec.mox"});
    QVERIFY(!QFile::exists(cert) && !QFile::exists(key));
    QVERIFY(red(*window, "certificateLineEdit_opcUa") && red(*window, "privateKeyLineEdit_opcUa"));
    QVERIFY(shown(*window, "generatePushButton_opcUa") && shown(*window, "generatePushButton_moxCore"));

    // Only a key left (unreadable for openssl, which locks the tabs with an error): it goes all the same.
    touch(key);
    window->reloadData();
    QVERIFY(shown(*window, "deletePushButton_opcUa") && !errors(*window).isEmpty());
    answer(*window, QDialogButtonBox::Ok);
    window->deleteOpcUaCertificate();
    QVERIFY(!QFile::exists(key) && shown(*window, "generatePushButton_opcUa"));
    QCOMPARE(errors(*window), QStringList());
}

void TestFileActions::cancelledActionsChangeNothing()
{
    const QStringList files{mox("OpcUa/pki/own/cert.pem"), mox("OpcUa/pki/own/private/key.pem"),
                            mox("moxcore/moxcore.key"), mox("OpcUa/users.ini"),
                            mox("OpcUa/pki/trusted/a.der")};
    for (const QString& file : files)
        touch(file);
    auto window = open();
    using Slot = void (MainWindow::*)();
    for (Slot slot : {&MainWindow::deleteOpcUaCertificate, &MainWindow::deleteMoxCoreCertificate,
                      &MainWindow::deleteUaAuth, &MainWindow::deleteClientCertsFolders,
                      &MainWindow::generateOpcUaCertificate, &MainWindow::generateMoxCoreCertificate}) {
        window->addError(s_probe);
        const QStringList before = errors(*window);
        if (slot == &MainWindow::generateOpcUaCertificate || slot == &MainWindow::generateMoxCoreCertificate)
            whenOpens<CertificateDialog>(*window, [](CertificateDialog& dialog) { dialog.reject(); });
        else
            answer(*window, QDialogButtonBox::Cancel);
        (window.get()->*slot)();
        QVERIFY(m_opened);
        QCOMPARE(errors(*window), before);
        for (const QString& file : files)
            QVERIFY2(QFile::exists(file), qPrintable(file));
    }
}

void TestFileActions::authorizationFileAndFolders()
{
    setKey("CREDENTIALS_INI_PATH", "auth/deeper/users.ini");
    setKey("CERTIFICATE_ISSUER_LIST_PATH", "pki/deep/er/issuers");
    touch(mox("OpcUa/pki/trusted/kept.der"));
    auto window = open();
    auto* tabs = w<QTabWidget>(*window, "tabWidget");
    const int usersTab = tabs->indexOf(w<QWidget>(*window, "tab_ua_auth"));
    QVERIFY(!tabs->isTabEnabled(usersTab));

    // A new authorization file is empty, in folders made for it, and opens the users tab.
    w<QPushButton>(*window, "generateAuthPushButton_opcUa")->click();
    const QString auth = mox("OpcUa/auth/deeper/users.ini");
    QCOMPARE(QFileInfo(auth).size(), qint64(0));
    QVERIFY(tabs->isTabEnabled(usersTab) && shown(*window, "deleteAuthPushButton_opcUa"));
    answer(*window, QDialogButtonBox::Ok);
    w<QPushButton>(*window, "deleteAuthPushButton_opcUa")->click();
    QCOMPARE(m_question, QString("Do you realy want to delete the UA authorization file?"));
    QVERIFY(!QFile::exists(auth) && !tabs->isTabEnabled(usersTab));

    // Missing folders are made with their parents, existing ones kept; deleting takes them with everything.
    w<QPushButton>(*window, "generateFoldersPushButton_clientCerts")->click();
    for (const char* folder : {"trusted", "deep/er/issuers", "crl", "rejected"})
        QVERIFY2(QFileInfo(mox("OpcUa/pki/") + folder).isDir(), folder);
    QVERIFY(QFile::exists(mox("OpcUa/pki/trusted/kept.der")) &&
            shown(*window, "deleteFoldersPushButton_clientCerts"));
    touch(mox("OpcUa/pki/rejected/sub/client.der"));
    answer(*window, QDialogButtonBox::Ok);
    w<QPushButton>(*window, "deleteFoldersPushButton_clientCerts")->click();
    QCOMPARE(m_question, QString("Do you realy want to delete the certificate folders?"));
    QCOMPARE(QDir(mox("OpcUa/pki")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"deep"}));
    for (const char* edit :
         {"trustListLineEdit", "issuersLineEdit", "revocationLineEdit", "rejectedLineEdit"})
        QVERIFY2(red(*window, edit), edit);
    QVERIFY(shown(*window, "generateFoldersPushButton_clientCerts"));

    // An unconfigured folder never stands for the working directory.
    setKey("CERTIFICATE_REJECTED_LIST_PATH", "");
    window->reloadData();
    QTemporaryDir work;
    touch(work.filePath("precious.txt"));
    const QString saved = QDir::currentPath();
    QDir::setCurrent(work.path());
    window->generateClientCertsFolders();
    answer(*window, QDialogButtonBox::Ok);
    window->deleteClientCertsFolders();
    QDir::setCurrent(saved);
    QVERIFY(m_opened && QFile::exists(work.filePath("precious.txt")));
    QCOMPARE(QDir(work.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"precious.txt"});
}

void TestFileActions::guardedFolderDeletion_data()
{
    QTest::addColumn<QString>("trustList");
    QTest::addColumn<QString>("survivor"); // below the prefix
    QTest::addColumn<QString>("reason");
    const QString config = "mox/OpcUa/MoxOpcUa.ini";
    QTest::newRow("configuration folder") << "." << config << "it holds the OPC UA configuration.";
    QTest::newRow("installation folder") << ".." << config << "it holds the OPC UA configuration.";
    QTest::newRow("link to the configuration")
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
    touch(m_prefix->filePath("home/.profile"));
    touch(mox("OpcUa/auth/users.ini"));
    QVERIFY(QDir().mkpath(mox("OpcUa/pki")) && QFile::link(mox("OpcUa"), mox("OpcUa/pki/link")));
    setKey("CREDENTIALS_INI_PATH", "auth/users.ini");
    setKey("CERTIFICATE_TRUST_LIST_PATH", trustList.replace("<home>", m_prefix->filePath("home")));

    auto window = open();
    window->generateClientCertsFolders();
    const QString kept = w(*window, "trustListLineEdit")->text();
    answer(*window, QDialogButtonBox::Ok);
    window->deleteClientCertsFolders();
    qputenv("HOME", savedHome);

    QVERIFY(QFile::exists(m_prefix->filePath(survivor)) && QFile::exists(mox("OpcUa/MoxOpcUa.ini")));
    // The other folders went; after the reload the Errors tab says which folder was kept and why.
    for (const char* folder : {"issuers", "crl", "rejected"})
        QVERIFY2(!QFileInfo::exists(mox("OpcUa/pki/") + folder), folder);
    QCOMPARE(errors(*window), QStringList{QString("The folder '%1' was not deleted: %2").arg(kept, reason)});
}

void TestFileActions::guardReasons()
{
    // Checked on the guard alone: a failing check must not get to remove these for real.
    QTemporaryDir dir;
    touch(dir.filePath("opcua/config.ini"));
    touch(dir.filePath("core/exec.mox"));
    const FolderGuard guard(dir.filePath("opcua/config.ini"), dir.filePath("core/exec.mox"),
                            dir.filePath("opcua/users/not-yet.ini"));
    const QString kept = "The folder '%1' was not deleted: %2";
    QCOMPARE(guard.keepReason("/"), kept.arg("/", "it is the file system's root."));
    QCOMPARE(guard.keepReason("/tmp/.."), kept.arg("/tmp/..", "it is the file system's root."));
    QCOMPARE(guard.keepReason(QDir::homePath()),
             kept.arg(QDir::homePath(), "it is or holds the user's home folder."));
    QCOMPARE(guard.keepReason(dir.filePath("core/")),
             kept.arg(dir.filePath("core/"), "it holds the runtime core's configuration."));
    // A file not made yet is protected where it will be.
    QCOMPARE(guard.keepReason(dir.filePath("opcua/users")),
             kept.arg(dir.filePath("opcua/users"), "it holds the UA authorization file."));
    QCOMPARE(guard.keepReason(dir.filePath("opcua/pki")), QString());
    QCOMPARE(guard.keepReason(dir.filePath("opcua-other")), QString()); // a name prefix is no parent
}

void TestFileActions::settingsSwitchInstance()
{
    auto window = open(2);
    const auto choose = [this, &window](int index) {
        whenOpens<SettingsDialog>(*window, [index](SettingsDialog& dialog) {
            w<QComboBox>(dialog, "instanceComboBox")->setCurrentIndex(index);
            w<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
    };
    // The instance already active: no reload.
    window->addError(s_probe);
    choose(0);
    window->openSettings();
    QVERIFY(m_opened);
    QCOMPARE(errors(*window), QStringList{s_probe});
    // Another one (not installed): the window reloads for it; and back through the menu.
    choose(1);
    window->openSettings();
    QCOMPARE(errors(*window), QStringList{"No OpenSSL directory was specified."});
    choose(0);
    w<QAction>(*window, "actionSettings")->trigger();
    QVERIFY(m_opened);
    QCOMPARE(errors(*window), QStringList());
    QCOMPARE(w(*window, "certificateLineEdit_opcUa")->text(), mox("OpcUa/pki/own/cert.pem"));
}

QTEST_MAIN(TestFileActions)
#include "tst_fileactions.moc"
