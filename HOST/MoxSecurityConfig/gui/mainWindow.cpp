#include "mainWindow.h"

#include "backupsDialog.h"
#include "certificateDetailsDialog.h"
#include "certificateLifecycle.h"
#include "changeLogDialog.h"
#include "configWatcher.h"
#include "confirmDialog.h"
#include "core/crlHealth.h"
#include "core/rootedEnumerator.h"
#include "core/versionInfo.h"
#include "fieldMarks.h"
#include "settingsDialog.h"
#include "usersTabController.h"

#include <QEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>
#include <QStyle>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace {

// A configured path: normal when it exists, red with a tool tip when it does not, empty when not configured.
void showPath(QLineEdit* edit, const PathState& state, const QString& missingTip)
{
    edit->setText(state.configured ? state.path : QString());
    FieldMarks::set(edit,
                    state.configured && !state.exists ? FieldMarks::Mark::Missing : FieldMarks::Mark::None,
                    missingTip);
}

QString entryOf(const Problem& problem)
{
    // The message stays the entry's first line, word for word; the file or cause goes below it, indented.
    return problem.detail.isEmpty() ? problem.message
                                    : problem.message + QStringLiteral("\n    ") + problem.detail;
}

} // namespace

MainWindow::MainWindow(QWidget* parent, IMoxInstEnumerator* enumerator) : QMainWindow(parent), m_uaUsers(this)
{
    setupUi(this);
    // The form shades alternate rows (an entry may hold its cause on a second line) and wraps long paths.
    listView_errors->setModel(&m_errorList);
    usersList_uaAuth->setModel(&m_uaUsers);
    warningIconLabel->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
    warningsWidget->hide();

    connect(actionSettings, &QAction::triggered, this, &MainWindow::openSettings);
    connect(actionReload, &QAction::triggered, this, &MainWindow::reloadData);
    connect(actionBackups, &QAction::triggered, this, &MainWindow::openBackups);
    connect(actionClose, &QAction::triggered, this, &MainWindow::close);
    connect(generatePushButton_opcUa, &QPushButton::clicked, this, &MainWindow::generateOpcUaCertificate);
    connect(generatePushButton_moxCore, &QPushButton::clicked, this, &MainWindow::generateMoxCoreCertificate);
    connect(generateFoldersPushButton_clientCerts, &QPushButton::clicked, this,
            &MainWindow::generateClientCertsFolders);
    connect(generateAuthPushButton_opcUa, &QPushButton::clicked, this, &MainWindow::generateUaAuth);
    connect(deletePushButton_opcUa, &QPushButton::clicked, this, &MainWindow::deleteOpcUaCertificate);
    connect(deletePushButton_moxCore, &QPushButton::clicked, this, &MainWindow::deleteMoxCoreCertificate);
    connect(renewPushButton_opcUa, &QPushButton::clicked, this, &MainWindow::renewOpcUaCertificate);
    connect(renewPushButton_moxCore, &QPushButton::clicked, this, &MainWindow::renewMoxCoreCertificate);
    connect(deleteFoldersPushButton_clientCerts, &QPushButton::clicked, this,
            &MainWindow::deleteClientCertsFolders);
    connect(deleteAuthPushButton_opcUa, &QPushButton::clicked, this, &MainWindow::deleteUaAuth);
    connect(detailsPushButton_opcUa, &QPushButton::clicked, this, &MainWindow::showOpcUaCertificateDetails);
    connect(detailsPushButton_moxCore, &QPushButton::clicked, this,
            &MainWindow::showMoxCoreCertificateDetails);
    certificateLineEdit_opcUa->installEventFilter(this);
    certificateLineEdit_moxCore->installEventFilter(this);
    connect(actionAbout, &QAction::triggered, this, &MainWindow::showAbout);
    m_usersTab = std::make_unique<UsersTabController>(
        UsersTabController::Widgets{usersList_uaAuth, verticalLayout_6, newUserPushButton_ua_auth,
                                    editUserPushButton_ua_auth, deleteUserPushButton_ua_auth},
        &m_uaUsers,
        UsersTabController::Window{this, [this] { return m_rules.get(); },
                                   [this] { return m_snapshot.usersFile.exists && m_opcuaAuth.ptr(); },
                                   [this] { return matchesDisk(); }, [this] { reloadData(); },
                                   [this](const QString& message) { addError(message); },
                                   [this] { m_configWatcher.ownWrite(); }});

    // The runtime core's users are not managed by this tool: their tab and buttons stay out of sight.
    tabWidget->removeTab(tabWidget->indexOf(tab_auth));
    deleteUserPushButton_auth->hide();
    editUserPushButton_auth->hide();

    connect(&m_configWatcher, &ConfigWatcher::changedOnDisk, this, &MainWindow::configurationChanged);
    clientCertificatesTab->setBeforeChange([this] { return matchesDisk(); });
    m_lifecycle = std::make_unique<CertificateLifecycle>(
        this, m_snapshot,
        CertificateLifecycle::Hooks{
            [this] { return matchesDisk(); }, [this](const ActionResult& result) { finishAction(result); },
            [this](const Problems& warnings) { showWarnings(warnings); }, [this] { reloadData(); }});
    m_lifecycle->setButtons({requestPushButton_opcUa, installSignedPushButton_opcUa,
                             requestPushButton_moxCore, installSignedPushButton_moxCore});

    std::unique_ptr<IMoxInstEnumerator> owned(enumerator ? enumerator : new RootedInstEnumerator);
    owned->Refresh();
    ChangeLogDialog::attach(actionChangeLog, this, owned.get());
    m_instance = owned->GetActiveInstance();
    m_enumerator.set(owned.release());

    reloadData();
}

MainWindow::~MainWindow() = default;

void MainWindow::setTabPageEnabled(QWidget* page, bool enabled, const QString& why)
{
    const int index = tabWidget->indexOf(page);
    if (index >= 0) {
        tabWidget->setTabEnabled(index, enabled);
        // A locked tab says why and what to do, on its tab where the user points.
        tabWidget->setTabToolTip(index, enabled ? QString() : why);
    }
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
    setTabPageEnabled(tab_clientCerts, true);
}

void MainWindow::addError(QString message)
{
    addError(message, true);
}

void MainWindow::addError(const QString& message, bool lockCertificates)
{
    appendError(message);
    const QString why = tr("Locked until the errors listed in the Errors tab are fixed.");
    if (m_errorList.rowCount() == 1) {
        setTabPageEnabled(tab_auth, false, why);
        setTabPageEnabled(tab_ua_auth, false, why);
        setTabPageEnabled(tab_clientCerts, false, why);
    }
    if (lockCertificates)
        setTabPageEnabled(tab_cert, false, why);
}

void MainWindow::appendError(const QString& entry)
{
    if (m_errorList.rowCount() == 0) {
        if (tabWidget->indexOf(tab_errors) < 0)
            tabWidget->addTab(tab_errors, tr("Errors"));
        tabWidget->setCurrentWidget(tab_errors);
    }
    const int row = m_errorList.rowCount();
    m_errorList.insertRows(row, 1);
    m_errorList.setData(m_errorList.index(row), entry);
}

void MainWindow::addProblem(const Problem& problem, bool lockCertificates)
{
    addError(entryOf(problem), lockCertificates);
}

void MainWindow::listProblem(const Problem& problem)
{
    appendError(entryOf(problem));
}

void MainWindow::applyRules(const ActionRules& rules)
{
    using A = ActionRules::Action;
    const struct
    {
        QPushButton* button;
        A action;
    } buttons[] = {{generatePushButton_opcUa, A::GenerateOpcUa},
                   {deletePushButton_opcUa, A::DeleteOpcUa},
                   {renewPushButton_opcUa, A::GenerateOpcUa},
                   {renewPushButton_moxCore, A::GenerateCore},
                   {installSignedPushButton_opcUa, A::GenerateOpcUa},
                   {installSignedPushButton_moxCore, A::GenerateCore},
                   {generatePushButton_moxCore, A::GenerateCore},
                   {deletePushButton_moxCore, A::DeleteCore},
                   {generateAuthPushButton_opcUa, A::CreateUsersFile},
                   {deleteAuthPushButton_opcUa, A::DeleteUsersFile},
                   {generateFoldersPushButton_clientCerts, A::CreateFolders},
                   {deleteFoldersPushButton_clientCerts, A::DeleteFolders}};
    // A button refused alone says why on itself; a tab whose every action is refused is locked and says why.
    const Problem* certificatesWhy = nullptr;
    bool anyAllowed = false;
    for (const auto& entry : buttons) {
        const ActionRules::Verdict& verdict = rules.verdict(entry.action);
        entry.button->setEnabled(verdict.allowed);
        entry.button->setToolTip(verdict.allowed ? QString() : verdict.why.text());
        anyAllowed = anyAllowed || verdict.allowed || !verdict.unwritable.isEmpty(); // read-only: no lock
        if (!verdict.allowed && !certificatesWhy)
            certificatesWhy = &verdict.why;
    }
    if (!anyAllowed && certificatesWhy)
        setTabPageEnabled(tab_cert, false, certificatesWhy->text());
    const ActionRules::Verdict& trust = rules.verdict(A::ChangeTrust);
    if (!trust.allowed && trust.unwritable.isEmpty())
        setTabPageEnabled(tab_clientCerts, false, trust.why.text());
    clientCertificatesTab->setRefusal(trust.allowed ? QString() : trust.why.text());
    const ActionRules::Verdict& users = rules.verdict(A::ManageUsers);
    for (QPushButton* button :
         {newUserPushButton_ua_auth, editUserPushButton_ua_auth, deleteUserPushButton_ua_auth}) {
        button->setEnabled(users.allowed);
        button->setToolTip(users.allowed ? QString() : users.why.text());
    }
    m_usersTab->showNotice();
    accessBar->showFor(rules);
}

void MainWindow::addUaConfParamMissingError(QString key)
{
    addError(tr("The OPC UA config does not contain: ") + key);
}

void MainWindow::showWarnings(const Problems& warnings)
{
    QStringList lines;
    for (const Problem& warning : warnings)
        lines << warning.text();
    warningLabel->setText(lines.join(QLatin1Char('\n')));
    warningsWidget->setToolTip(lines.join(QLatin1Char('\n')));
    warningLabel->setToolTip(warningsWidget->toolTip());
    warningsWidget->setVisible(!lines.isEmpty());
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    m_shown = true;
}

void MainWindow::paintEvent(QPaintEvent* event)
{
    QMainWindow::paintEvent(event);
    // Queued from the first paint, so the whole window is on screen before the key is opened and every CA
    // and CRL file is read (a zero timer from showEvent may still run before that paint).
    if (!std::exchange(m_painted, true))
        QMetaObject::invokeMethod(this, [this] { m_keyPending ? finishStartup() : checkCrlsWhenFilled(); },
                                  Qt::QueuedConnection);
}

void MainWindow::finishStartup()
{
    if (std::exchange(m_keyPending, false))
        reloadData(); // shown: it checks the CRLs too
}

// Once every row is in: the CRL check reads the tab's entries.
void MainWindow::checkCrlsWhenFilled()
{
    clientCertificatesTab->whenFilled([this] { checkCrls(); });
}

void MainWindow::checkCrls()
{
    m_crlWarnings = CrlHealth::check(clientCertificatesTab->entries());
    showWarnings(m_snapshot.warnings + m_crlWarnings);
}

void MainWindow::reloadData()
{
    deselectUaAuth();
    clearErrors();
    for (QPushButton* button :
         {generatePushButton_opcUa, generatePushButton_moxCore, generateAuthPushButton_opcUa,
          generateFoldersPushButton_clientCerts, deletePushButton_opcUa, deletePushButton_moxCore,
          deleteAuthPushButton_opcUa, deleteFoldersPushButton_clientCerts, renewPushButton_opcUa,
          renewPushButton_moxCore})
        button->hide();

    ConfigSnapshot snapshot = ConfigSnapshot::load(m_instance, &m_snapshot, !m_keyPending);
    m_rules = std::make_unique<ActionRules>(snapshot);
    if (snapshot.stop != ConfigSnapshot::Stop::None) {
        // The fields, the configuration and the store stay as they were; nothing may act on them.
        for (const Problem& problem : snapshot.errors)
            addProblem(problem);
        applyRules(*m_rules);
        return;
    }
    m_snapshot = std::move(snapshot);
    const ConfigSnapshot& s = m_snapshot;

    fillCertificatesFields();
    clientCertificatesTab->setFolders(TrustStore::foldersOf(s));

    for (const Problem& problem : s.errors)
        listProblem(problem);

    if (!s.usersFile.exists) {
        setTabPageEnabled(
            tab_ua_auth, false,
            s.usersFile.configured
                ? tr("No users file: \"Generate new authorization file\" on the Certificates tab makes it.")
                : tr("The OPC UA configuration names no users file (CREDENTIALS_INI_PATH)."));
        m_uaUsers.setIniUaAuth(nullptr);
        m_opcuaAuth.unset();
    } else if (std::unique_ptr<Mox::Ini::IniAuth> store = m_snapshot.takeUsersStore()) {
        // The model lets go of the old store before it is deleted.
        m_uaUsers.setIniUaAuth(store.get());
        m_opcuaAuth.set(store.release());
        setTabPageEnabled(tab_ua_auth, true);
    } else {
        setTabPageEnabled(tab_ua_auth, false, tr("The users file cannot be read: see the Errors tab."));
        m_uaUsers.setIniUaAuth(m_opcuaAuth.ptr());
    }
    applyRules(*m_rules);
    showWarnings(s.warnings + m_crlWarnings);
    if (m_shown)
        checkCrlsWhenFilled();
    m_configWatcher.watch(m_snapshot.configPath, m_snapshot.usersFile.path);
    adjustSize();
}

void MainWindow::fillCertificatesFields()
{
    const ConfigSnapshot& s = m_snapshot;
    const QString fileMissing = tr("This file does not exist.");
    const QString folderMissing = tr("This folder does not exist.");

    showPath(certificateLineEdit_moxCore, s.coreCertificate, fileMissing);
    showPath(privateKeyLineEdit_moxCore, s.coreKey, fileMissing);
    showPath(certificateLineEdit_opcUa, s.opcUaCertificate, fileMissing);
    showPath(privateKeyLineEdit_opcUa, s.opcUaKey, fileMissing);
    showPath(moxOpcUaAuthLineEdit_opcUa, s.usersFile, fileMissing);
    showPath(trustListLineEdit, s.trustList, folderMissing);
    showPath(issuersLineEdit, s.issuers, folderMissing);
    showPath(revocationLineEdit, s.revocation, folderMissing);
    showPath(rejectedLineEdit, s.rejected, folderMissing);

    detailsPushButton_moxCore->setVisible(s.coreCertificate.exists);
    detailsPushButton_opcUa->setVisible(s.opcUaCertificate.exists);
    m_lifecycle->showButtons();
    generatePushButton_moxCore->setVisible(s.canGenerateCore);
    deletePushButton_moxCore->setVisible(s.canDeleteCore);
    generatePushButton_opcUa->setVisible(s.canGenerateOpcUa);
    deletePushButton_opcUa->setVisible(s.canDeleteOpcUa);
    renewPushButton_moxCore->setVisible(s.coreCertificate.exists && s.coreKey.exists);
    renewPushButton_opcUa->setVisible(s.opcUaCertificate.exists && s.opcUaKey.exists);
    generateAuthPushButton_opcUa->setVisible(s.canGenerateUsersFile);
    deleteAuthPushButton_opcUa->setVisible(s.canDeleteUsersFile);
    generateFoldersPushButton_clientCerts->setVisible(s.canGenerateFolders);
    deleteFoldersPushButton_clientCerts->setVisible(s.canDeleteFolders);
}

void MainWindow::finishAction(const ActionResult& result)
{
    reloadData();
    showWarnings(m_snapshot.warnings + m_crlWarnings + result.warnings);
    for (const Problem& problem : result.problems)
        addProblem(problem);
}

bool MainWindow::matchesDisk()
{
    finishStartup(); // no action on a reading whose key was not checked yet
    ConfigSnapshot fresh = ConfigSnapshot::load(m_instance, &m_snapshot);
    const QStringList changed = ConfigWatcher::changes(m_snapshot, fresh);
    if (changed.isEmpty()) {
        // Same paths, same errors: act on the fresh reading. The users table keeps its own store.
        fresh.takeUsersStore();
        m_snapshot = std::move(fresh);
        m_rules = std::make_unique<ActionRules>(m_snapshot);
        return true;
    }
    reloadData();
    listProblem(Problem{tr("The configuration changed on disk, so nothing was done: check what is shown now "
                           "and try again."),
                        changed.join(QStringLiteral("\n    "))});
    return false;
}

void MainWindow::configurationChanged()
{
    reloadData();
    statusBar()->showMessage(tr("The configuration changed on disk and was read again."), 10000);
}

void MainWindow::openBackups()
{
    // Restores check their own names; the dialog only needs the configuration as it is now.
    reloadData();
    BackupsDialog dialog(m_snapshot, this);
    dialog.setModal(true);
    dialog.show();
    dialog.exec();
    if (dialog.changed())
        reloadData();
}

void MainWindow::openSettings()
{
    // Compared by identity, not address: the dialog's refresh may move every instance.
    const auto identity = [this] {
        return m_instance ? m_instance->Version + '\0' + m_instance->FullPath : std::string();
    };
    const std::string before = identity();
    SettingsDialog dialog(m_enumerator.ptr(), &m_instance, this);
    dialog.setModal(true);
    dialog.show();
    dialog.exec();
    if (identity() != before) // chosen, or gone from the list
        reloadData();
}

void MainWindow::deleteOpcUaCertificate()
{
    deleteKeyPair(true);
}

void MainWindow::deleteMoxCoreCertificate()
{
    deleteKeyPair(false);
}

void MainWindow::deleteKeyPair(bool opcUa)
{
    if (!matchesDisk())
        return;
    const PathState& key = opcUa ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    const PathState& certificate = opcUa ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    QStringList goes;
    if (key.exists)
        goes << tr("the private key %1").arg(key.path);
    if (certificate.exists)
        goes << tr("the certificate %1").arg(certificate.path);
    const QString question = tr("Do you really want to delete the certificate?") + QStringLiteral("\n\n") +
                             tr("This deletes %1.").arg(goes.join(tr(" and ")));
    confirmDeletion(question, {key.path, certificate.path},
                    [opcUa](const SecurityActions& actions, bool keep) {
                        return actions.deleteKeyPair(
                            opcUa ? SecurityActions::Pair::OpcUa : SecurityActions::Pair::Core, keep);
                    });
}

void MainWindow::renewOpcUaCertificate()
{
    m_lifecycle->renew(true);
}

void MainWindow::renewMoxCoreCertificate()
{
    m_lifecycle->renew(false);
}

void MainWindow::confirmDeletion(const QString& question, const QStringList& paths,
                                 const std::function<ActionResult(const SecurityActions&, bool)>& act)
{
    bool keep = true;
    if (ConfirmDialog::ask(this, question + QLatin1Char('\n') + ConfirmDialog::backupNote(m_snapshot, paths),
                           &keep) &&
        matchesDisk())
        finishAction(act(SecurityActions(m_snapshot), keep));
}

void MainWindow::deleteUaAuth()
{
    if (!matchesDisk())
        return;
    const QString question =
        tr("Do you really want to delete the UA authorization file?") + QStringLiteral("\n\n") +
        tr("%1 holds %n user(s).", nullptr, m_uaUsers.rowCount()).arg(m_snapshot.usersFile.path);
    confirmDeletion(question, {m_snapshot.usersFile.path},
                    [](const SecurityActions& actions, bool keep) { return actions.deleteUsersFile(keep); });
}

void MainWindow::deleteClientCertsFolders()
{
    if (!matchesDisk())
        return;
    QStringList lines, present;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->configured)
            lines << tr("%1: %n file(s)", nullptr, ConfirmDialog::filesIn(folder->path)).arg(folder->path);
        if (QFileInfo(folder->path).isDir())
            present << QFileInfo(folder->path).canonicalFilePath();
    }
    const QString question = tr("Do you really want to delete the certificate folders?") +
                             QStringLiteral("\n\n") + lines.join(QLatin1Char('\n')) + QStringLiteral("\n\n") +
                             tr("Every client in the trust list must then be trusted again by hand.");
    confirmDeletion(question, present, [](const SecurityActions& actions, bool keep) {
        return actions.deleteClientFolders(keep);
    });
}

void MainWindow::generateOpcUaCertificate()
{
    if (const std::optional<CertificateRequest> request =
            m_lifecycle->generate(CertificateRequest::Mode::OpcUa))
        m_lifecycle->offerConfigUpdate(*request);
}

void MainWindow::showOpcUaCertificateDetails()
{
    showCertificateDetails(m_snapshot.opcUaCertificate);
}

void MainWindow::showMoxCoreCertificateDetails()
{
    showCertificateDetails(m_snapshot.coreCertificate);
}

void MainWindow::showCertificateDetails(const PathState& certificate)
{
    if (!certificate.exists)
        return;
    CertificateDetailsDialog dialog(certificate.path, this,
                                    {m_snapshot.issuers.path, m_snapshot.trustList.path});
    dialog.setModal(true);
    dialog.exec();
}

void MainWindow::requestOpcUaCertificate()
{
    m_lifecycle->requestSigning(true);
}

void MainWindow::installSignedOpcUaCertificate()
{
    m_lifecycle->installSigned(true);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == certificateLineEdit_opcUa) {
            showOpcUaCertificateDetails();
            return true;
        }
        if (watched == certificateLineEdit_moxCore) {
            showMoxCoreCertificateDetails();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::generateMoxCoreCertificate()
{
    if (m_lifecycle->generate(CertificateRequest::Mode::Core))
        reloadData();
}

void MainWindow::generateUaAuth()
{
    if (matchesDisk())
        finishAction(SecurityActions(m_snapshot).createUsersFile());
}

void MainWindow::generateClientCertsFolders()
{
    if (matchesDisk())
        finishAction(SecurityActions(m_snapshot).createClientFolders());
}

void MainWindow::uaAuthSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    m_usersTab->selectionChanged(selected, deselected);
}

void MainWindow::showAbout()
{
    QMessageBox::about(this, tr("About MoxSecurityConfig"),
                       tr("Configures the security of the Mox runtime and its OPC UA server.") +
                           QStringLiteral("\n\n") + VersionInfo::report(QStringLiteral("MoxSecurityConfig")));
}

void MainWindow::deselectUaAuth()
{
    m_usersTab->deselect();
}

void MainWindow::uaAuthCreateUser()
{
    m_usersTab->createUser();
}

void MainWindow::uaAuthEditUser()
{
    m_usersTab->editUser();
}

void MainWindow::uaAuthDeleteUser()
{
    m_usersTab->deleteUser();
}
