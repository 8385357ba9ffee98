#include "mainWindow.h"

#include "IniReader.h"
#include "certificateDialog.h"
#include "confirmDialog.h"
#include "core/folderGuard.h"
#include "core/openSslTool.h"
#include "settingsDialog.h"
#include "uaUserDialog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
const char kDefaultSalt[] = "k7ud30";

QString fromBytes(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

// A configured path: normal when it exists, red with a tool tip when it does not.
void showPath(QLineEdit* edit, const QString& path, bool present, const QString& missingTip)
{
    edit->setText(path);
    edit->setStyleSheet(present ? QString() : QStringLiteral("color: red;"));
    edit->setToolTip(present ? QString() : missingTip);
}

void clearPath(QLineEdit* edit)
{
    edit->setText(QString());
    edit->setStyleSheet(QString());
    edit->setToolTip(QString());
}

// Asks the question in a modal popup; true for OK.
bool confirmed(QWidget* parent, const QString& question)
{
    ConfirmDialog dialog(question, true, parent);
    dialog.setModal(true);
    dialog.show();
    return dialog.exec() == QDialog::Accepted;
}
} // namespace

MainWindow::MainWindow(QWidget* parent, IMoxInstEnumerator* enumerator) : QMainWindow(parent), m_uaUsers(this)
{
    setupUi(this);
    listView_errors->setModel(&m_errorList);
    usersList_uaAuth->setModel(&m_uaUsers);

    connect(actionSettings, SIGNAL(triggered()), this, SLOT(openSettings()));
    connect(actionReload, SIGNAL(triggered()), this, SLOT(reloadData()));
    connect(actionClose, SIGNAL(triggered()), this, SLOT(close()));
    connect(generatePushButton_opcUa, SIGNAL(clicked()), this, SLOT(generateOpcUaCertificate()));
    connect(generatePushButton_moxCore, SIGNAL(clicked()), this, SLOT(generateMoxCoreCertificate()));
    connect(generateFoldersPushButton_clientCerts, SIGNAL(clicked()), this,
            SLOT(generateClientCertsFolders()));
    connect(generateAuthPushButton_opcUa, SIGNAL(clicked()), this, SLOT(generateUaAuth()));
    connect(deletePushButton_opcUa, SIGNAL(clicked()), this, SLOT(deleteOpcUaCertificate()));
    connect(deletePushButton_moxCore, SIGNAL(clicked()), this, SLOT(deleteMoxCoreCertificate()));
    connect(deleteFoldersPushButton_clientCerts, SIGNAL(clicked()), this, SLOT(deleteClientCertsFolders()));
    connect(deleteAuthPushButton_opcUa, SIGNAL(clicked()), this, SLOT(deleteUaAuth()));
    connect(usersList_uaAuth->selectionModel(),
            SIGNAL(selectionChanged(const QItemSelection&, const QItemSelection&)), this,
            SLOT(uaAuthSelectionChanged(const QItemSelection&, const QItemSelection&)));
    connect(newUserPushButton_ua_auth, SIGNAL(clicked()), this, SLOT(uaAuthCreateUser()));
    connect(editUserPushButton_ua_auth, SIGNAL(clicked()), this, SLOT(uaAuthEditUser()));
    connect(deleteUserPushButton_ua_auth, SIGNAL(clicked()), this, SLOT(uaAuthDeleteUser()));

    // The runtime core's users are not managed here yet.
    tabWidget->removeTab(tabWidget->indexOf(tab_auth));
    deleteUserPushButton_auth->hide();
    editUserPushButton_auth->hide();

    if (!enumerator)
        enumerator = new MoxLInstEnumerator;
    enumerator->Refresh();
    m_instance = enumerator->GetActiveInstance();
    m_enumerator.set(enumerator);

    reloadData();
}

MainWindow::~MainWindow() = default;

void MainWindow::setTabPageEnabled(QWidget* page, bool enabled)
{
    const int index = tabWidget->indexOf(page);
    if (index >= 0)
        tabWidget->setTabEnabled(index, enabled);
    page->setEnabled(enabled);
}

void MainWindow::clearErrors()
{
    m_errorList.setStringList(QStringList());
    const int index = tabWidget->indexOf(tab_errors);
    if (index >= 0)
        tabWidget->removeTab(index);
    setTabPageEnabled(tab_auth, true);
    setTabPageEnabled(tab_ua_auth, true);
    setTabPageEnabled(tab_cert, true);
}

void MainWindow::addError(QString message)
{
    if (m_errorList.rowCount() == 0) {
        if (tabWidget->indexOf(tab_errors) < 0)
            tabWidget->addTab(tab_errors, tr("Errors"));
        tabWidget->setCurrentWidget(tab_errors);
        setTabPageEnabled(tab_auth, false);
        setTabPageEnabled(tab_ua_auth, false);
        setTabPageEnabled(tab_cert, false);
    }
    const int row = m_errorList.rowCount();
    m_errorList.insertRows(row, 1);
    m_errorList.setData(m_errorList.index(row), message);
}

void MainWindow::addUaConfParamMissingError(QString key)
{
    addError(tr("The OPC UA config does not contain: ") + key);
}

bool MainWindow::configValue(const char* section, const char* key, QString& value) const
{
    std::string bytes;
    if (!m_opcuaConfig.ptr()->getValue(section, key, bytes) || bytes.empty())
        return false;
    value = fromBytes(bytes);
    return true;
}

void MainWindow::reloadData()
{
    deselectUaAuth();
    clearErrors();
    for (QPushButton* button :
         {generatePushButton_opcUa, generatePushButton_moxCore, generateAuthPushButton_opcUa,
          generateFoldersPushButton_clientCerts, deletePushButton_opcUa, deletePushButton_moxCore,
          deleteAuthPushButton_opcUa, deleteFoldersPushButton_clientCerts})
        button->hide();

    if (!m_instance) {
        addError(tr("No active instance."));
        return;
    }
    m_opensslDir = fromBytes(m_instance->OpensslDir);
    if (m_opensslDir.isEmpty() || !QFile::exists(m_opensslDir)) {
        addError(tr("No OpenSSL directory was specified."));
        return;
    }

    const QString configPath = fromBytes(m_instance->OpcUaDefaultConfigPath);
    if (configPath.isEmpty() || !QFile::exists(configPath)) {
        // A configuration that is gone is no longer shown: the window follows the disk.
        m_opcuaConfig.unset();
    } else {
        bool ok = false;
        auto* config = new Mox::Ini::IniManager(configPath.toStdString(), ok, true);
        if (ok) {
            m_opcuaConfig.set(config);
        } else {
            delete config;
            addError(tr("The OPC UA config file was not parsed correctly."));
        }
    }

    m_opcUaAuth_Salt.clear();
    m_opcUaAuth_File.clear();
    m_opcUa_password.clear();
    m_opcUa_uri.clear();

    fillCertificatesFields();

    if (m_opcUaAuth_File.isEmpty() || !QFile::exists(m_opcUaAuth_File)) {
        setTabPageEnabled(tab_ua_auth, false);
        m_uaUsers.setIniUaAuth(nullptr);
        m_opcuaAuth.unset();
    } else {
        bool ok = false;
        const QString salt = m_opcUaAuth_Salt.isEmpty() ? QString(kDefaultSalt) : m_opcUaAuth_Salt;
        auto* auth = new Mox::Ini::IniAuth(m_opcUaAuth_File.toStdString(), ok, salt.toStdString());
        if (ok) {
            // The model lets go of the old store before it is deleted.
            m_uaUsers.setIniUaAuth(auth);
            m_opcuaAuth.set(auth);
            setTabPageEnabled(tab_ua_auth, true);
        } else {
            setTabPageEnabled(tab_ua_auth, false);
            delete auth;
            addError(tr("The OPC UA Auth file was not parsed correctly."));
            m_uaUsers.setIniUaAuth(m_opcuaAuth.ptr());
        }
    }

    if (certificateLineEdit_opcUa->text().isEmpty()) {
        adjustSize();
        return;
    }
    if (!checkRsaPassphrase(privateKeyLineEdit_opcUa->text(), m_opcUa_password))
        addError(tr("The passphrase in OPC UA config does not work for the key."));
    adjustSize();
}

void MainWindow::fillCertificatesFields()
{
    if (!m_instance)
        return;
    const QString fileMissing = tr("This file does not exist.");
    const QString folderMissing = tr("This folder does not exist.");

    const QString corePath = fromBytes(m_instance->CoreDefaultConfigPath);
    if (!corePath.isEmpty()) {
        const QDir coreDir = QFileInfo(corePath).absoluteDir();
        const QString certificate = coreDir.filePath(QStringLiteral("moxcore.cer"));
        const QString key = coreDir.filePath(QStringLiteral("moxcore.key"));
        const bool certificatePresent = QFile::exists(certificate);
        const bool keyPresent = QFile::exists(key);
        showPath(certificateLineEdit_moxCore, certificate, certificatePresent, fileMissing);
        showPath(privateKeyLineEdit_moxCore, key, keyPresent, fileMissing);
        (certificatePresent || keyPresent ? deletePushButton_moxCore : generatePushButton_moxCore)->show();
    } else {
        clearPath(certificateLineEdit_moxCore);
        clearPath(privateKeyLineEdit_moxCore);
    }

    if (m_opcuaConfig.isNull()) {
        for (QLineEdit* edit :
             {certificateLineEdit_opcUa, privateKeyLineEdit_opcUa, moxOpcUaAuthLineEdit_opcUa,
              trustListLineEdit, issuersLineEdit, revocationLineEdit, rejectedLineEdit})
            clearPath(edit);
        return;
    }

    const QDir base(QFileInfo(fromBytes(m_instance->OpcUaDefaultConfigPath)).absolutePath());
    bool resolve = false;
    bool valid = true;
    QString value;
    if (configValue("APPLICATION", "USE_RELATIVE_PATH", value))
        valid = Mox::Ini::IniReader::parseBool(value.toStdString(), resolve);
    auto resolved = [&](const QString& path) { return resolve ? base.filePath(path) : path; };

    if (configValue("APPLICATION", "APPLICATION_URI", value))
        m_opcUa_uri = value;
    else
        addUaConfParamMissingError(QStringLiteral("APPLICATION_URI"));

    bool certificatePresent = false;
    if (configValue("APPLICATION", "APPLICATION_CERTIFICATE_PATH", value)) {
        const QString path = resolved(value);
        certificatePresent = QFile::exists(path);
        showPath(certificateLineEdit_opcUa, path, certificatePresent, fileMissing);
        if (certificatePresent)
            deletePushButton_opcUa->show();
    } else {
        addUaConfParamMissingError(QStringLiteral("APPLICATION_CERTIFICATE_PATH"));
        clearPath(certificateLineEdit_opcUa);
    }

    if (configValue("APPLICATION", "APPLICATION_PRIVATE_KEY_PATH", value)) {
        const QString path = resolved(value);
        const bool keyPresent = QFile::exists(path);
        showPath(privateKeyLineEdit_opcUa, path, keyPresent, fileMissing);
        if (keyPresent)
            deletePushButton_opcUa->show();
        else if (valid && !certificatePresent)
            generatePushButton_opcUa->show();
    } else {
        addUaConfParamMissingError(QStringLiteral("APPLICATION_PRIVATE_KEY_PATH"));
        clearPath(privateKeyLineEdit_opcUa);
    }

    if (configValue("AUTH", "CREDENTIALS_INI_PATH", value)) {
        m_opcUaAuth_File = resolved(value);
        const bool present = QFile::exists(m_opcUaAuth_File);
        showPath(moxOpcUaAuthLineEdit_opcUa, m_opcUaAuth_File, present, fileMissing);
        (present ? deleteAuthPushButton_opcUa : generateAuthPushButton_opcUa)->show();
    } else {
        if (configValue("AUTH", "CREDENTIALS_USER_TOKEN_POLICY_ID", value))
            addUaConfParamMissingError(QStringLiteral("CREDENTIALS_INI_PATH"));
        clearPath(moxOpcUaAuthLineEdit_opcUa);
    }

    // These two count even when empty: an empty pass phrase or salt is a setting of its own.
    std::string bytes;
    if (m_opcuaConfig.ptr()->getValue("APPLICATION", "APPLICATION_PRIVATE_KEY_PASSWORD", bytes))
        m_opcUa_password = fromBytes(bytes);
    if (m_opcuaConfig.ptr()->getValue("AUTH", "OPTIONAL_ENCODING_SALT", bytes))
        m_opcUaAuth_Salt = fromBytes(bytes);

    const struct
    {
        const char* key;
        QLineEdit* edit;
    } folders[] = {{"CERTIFICATE_TRUST_LIST_PATH", trustListLineEdit},
                   {"CERTIFICATE_REJECTED_LIST_PATH", rejectedLineEdit},
                   {"CERTIFICATE_REVOCATION_LIST_PATH", revocationLineEdit},
                   {"CERTIFICATE_ISSUER_LIST_PATH", issuersLineEdit}};
    bool foldersPresent = true;
    for (const auto& folder : folders) {
        if (!configValue("SECURITY", folder.key, value)) {
            clearPath(folder.edit);
            continue;
        }
        const QString path = resolved(value);
        const bool present = QFileInfo(path).isDir();
        showPath(folder.edit, path, present, folderMissing);
        foldersPresent = foldersPresent && present;
    }
    (foldersPresent ? deleteFoldersPushButton_clientCerts : generateFoldersPushButton_clientCerts)->show();

    if (!valid)
        addError(tr("The OPC UA config file is invalid."));
}

bool MainWindow::checkRsaPassphrase(QString keyPath, QString& passphrase)
{
    if (!QFile::exists(keyPath))
        return true;
    // The pass phrase reaches openssl through its environment, never its command line.
    const QStringList arguments{
        QStringLiteral("rsa"),    QStringLiteral("-check"),  QStringLiteral("-in"),          keyPath,
        QStringLiteral("-noout"), QStringLiteral("-passin"), OpenSslTool::passphraseSource()};
    return OpenSslTool::run(arguments, &passphrase) == 0;
}

// The actions below change the disk without checking the outcome: the reload that ends each of them shows
// what is there.

void MainWindow::openSettings()
{
    MoxInstInstance* const before = m_instance;
    m_enumerator.ptr()->Refresh();
    SettingsDialog dialog(m_enumerator.ptr(), &m_instance, this);
    dialog.setModal(true);
    dialog.show();
    if (dialog.exec() == QDialog::Accepted && m_instance != before)
        reloadData();
}

void MainWindow::deleteOpcUaCertificate()
{
    if (!confirmed(this, tr("Do you realy want to delete the certificate?")))
        return;
    QFile::remove(privateKeyLineEdit_opcUa->text());
    QFile::remove(certificateLineEdit_opcUa->text());
    reloadData();
}

void MainWindow::deleteMoxCoreCertificate()
{
    if (!confirmed(this, tr("Do you realy want to delete the certificate?")))
        return;
    QFile::remove(privateKeyLineEdit_moxCore->text());
    QFile::remove(certificateLineEdit_moxCore->text());
    reloadData();
}

void MainWindow::deleteUaAuth()
{
    if (!confirmed(this, tr("Do you realy want to delete the UA authorization file?")))
        return;
    QFile::remove(m_opcUaAuth_File);
    reloadData();
}

void MainWindow::deleteClientCertsFolders()
{
    if (!confirmed(this, tr("Do you realy want to delete the certificate folders?")))
        return;
    const FolderGuard guard({m_instance ? fromBytes(m_instance->OpcUaDefaultConfigPath) : QString(),
                             m_instance ? fromBytes(m_instance->CoreDefaultConfigPath) : QString(),
                             m_opcUaAuth_File});
    QStringList kept;
    for (QLineEdit* edit : {trustListLineEdit, issuersLineEdit, revocationLineEdit, rejectedLineEdit}) {
        const QString folder = edit->text();
        if (folder.isEmpty())
            continue;
        const QString reason = guard.remove(folder).reason;
        if (!reason.isEmpty() && !kept.contains(reason))
            kept << reason;
    }
    reloadData();
    for (const QString& reason : kept)
        addError(reason);
}

void MainWindow::generateOpcUaCertificate()
{
    CertificateDialog dialog(true, m_opensslDir, certificateLineEdit_opcUa->text(),
                             privateKeyLineEdit_opcUa->text(), m_opcUa_password, m_opcUa_uri, this);
    dialog.setModal(true);
    dialog.show();
    if (dialog.exec() == QDialog::Accepted)
        reloadData();
}

void MainWindow::generateMoxCoreCertificate()
{
    CertificateDialog dialog(false, m_opensslDir, certificateLineEdit_moxCore->text(),
                             privateKeyLineEdit_moxCore->text(), QString(), QString(), this);
    dialog.setModal(true);
    dialog.show();
    if (dialog.exec() == QDialog::Accepted)
        reloadData();
}

void MainWindow::generateUaAuth()
{
    if (!m_opcUaAuth_File.isEmpty() && !QFile::exists(m_opcUaAuth_File)) {
        QFileInfo(m_opcUaAuth_File).absoluteDir().mkpath(QStringLiteral("."));
        QFile file(m_opcUaAuth_File);
        file.open(QIODevice::WriteOnly);
        file.close();
    }
    reloadData();
}

void MainWindow::generateClientCertsFolders()
{
    for (QLineEdit* edit : {trustListLineEdit, issuersLineEdit, revocationLineEdit, rejectedLineEdit}) {
        const QString folder = edit->text();
        if (!folder.isEmpty() && !QFileInfo(folder).isDir())
            QDir(folder).mkpath(QStringLiteral("."));
    }
    reloadData();
}

void MainWindow::uaAuthSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    // A move from one row to another keeps the buttons as they are.
    if (selected.isEmpty() && !deselected.isEmpty()) {
        deleteUserPushButton_ua_auth->hide();
        editUserPushButton_ua_auth->hide();
    } else if (!selected.isEmpty() && deselected.isEmpty()) {
        deleteUserPushButton_ua_auth->show();
        editUserPushButton_ua_auth->show();
    }
}

void MainWindow::deselectUaAuth()
{
    usersList_uaAuth->clearSelection();
    editUserPushButton_ua_auth->hide();
    deleteUserPushButton_ua_auth->hide();
}

void MainWindow::uaAuthCreateUser()
{
    UaUserDialog dialog(&m_uaUsers, this, nullptr);
    dialog.setModal(true);
    if (dialog.exec() == QDialog::Accepted)
        deselectUaAuth();
}

void MainWindow::uaAuthEditUser()
{
    const QModelIndexList rows = usersList_uaAuth->selectionModel()->selectedRows(0);
    if (rows.size() != 1)
        return;
    Mox::Ini::User user;
    if (!m_uaUsers.getUser(rows.first().row(), user))
        return;
    UaUserDialog dialog(&m_uaUsers, this, &user);
    dialog.setModal(true);
    if (dialog.exec() == QDialog::Accepted)
        deselectUaAuth();
}

void MainWindow::uaAuthDeleteUser()
{
    const QModelIndexList rows = usersList_uaAuth->selectionModel()->selectedRows(0);
    if (rows.size() == 1 && !m_uaUsers.deleteUser(rows.first().row()))
        addError(tr("An unknown error occured."));
    deselectUaAuth();
}
