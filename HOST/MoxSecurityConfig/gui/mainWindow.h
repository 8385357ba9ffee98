// The tool's only window: certificate and folder paths, the OPC UA users, and the configuration's errors.
#pragma once

#include "core/actionRules.h"
#include "core/configSnapshot.h"
#include "core/securityActions.h"
#include "core/trustStore.h"

#include "IniAuth.h"
#include "MoxInstEnumerator.h"
#include "configWatcher.h"
#include "uaUsersModel.h"
#include "ui_mainWindow.h"
#include "usersTabController.h"
#include "wrappers.h"

#include <QItemSelection>
#include <QMainWindow>
#include <QStringListModel>

#include <functional>
#include <optional>

class CertificateLifecycle;

class MainWindow : public QMainWindow, private Ui::MainWindow
{
    Q_OBJECT

public:
    // A given enumerator is taken over instead of the built-in one (tests root it in a folder of their own).
    explicit MainWindow(QWidget* parent = nullptr, IMoxInstEnumerator* enumerator = nullptr);
    ~MainWindow() override;

    void clearErrors();
    // The first error since the last clearing shows the Errors tab and locks the other tabs.
    void addError(QString message);
    void addUaConfParamMissingError(QString key);
    void fillCertificatesFields();
    void deselectUaAuth();
    // The start-up reading leaves out the OPC UA key, which is opened after the first paint; this opens it
    // now (and reloads) if that is still to come. Every action's check against the disk calls it first.
    void finishStartup();

public slots:
    void openSettings();
    // Rebuilds everything shown from the active instance and what lies on disk.
    void reloadData();
    void deleteOpcUaCertificate();
    void deleteMoxCoreCertificate();
    void deleteUaAuth();
    void deleteClientCertsFolders();
    void generateOpcUaCertificate();
    void generateMoxCoreCertificate();
    void generateUaAuth();
    void generateClientCertsFolders();
    void uaAuthSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void uaAuthCreateUser();
    void uaAuthEditUser();
    void uaAuthDeleteUser();
    // Help > About: the version and the Qt and OpenSSL in use.
    void showAbout();
    void showOpcUaCertificateDetails();
    void showMoxCoreCertificateDetails();
    // Renew…: asks the validity and whether to make a new key, then renews the pair's certificate.
    void renewOpcUaCertificate();
    void renewMoxCoreCertificate();
    // Saves a signing request for a CA, signed by the OPC UA key or a new one kept pending.
    void requestOpcUaCertificate();
    // The install dialog for a certificate a CA signed for the OPC UA pair.
    void installSignedOpcUaCertificate();
    // Data > Backups: lists the backups, restores or deletes one, then reloads.
    void openBackups();

protected:
    // A double-click on a certificate field opens its details.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Once painted, the CRLs of the trusted CAs are checked (they are not part of the start-up's load).
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setTabPageEnabled(QWidget* page, bool enabled, const QString& why = QString());
    // lockCertificates false: the error leaves the Certificates tab usable, so its cause can be mended there.
    void addError(const QString& message, bool lockCertificates);
    void addProblem(const Problem& problem, bool lockCertificates = true);
    // Lists an error of the configuration in the Errors tab; the rule book, not the error, locks.
    void listProblem(const Problem& problem);
    // Adds an entry to the Errors tab, shown with the first one.
    void appendError(const QString& entry);
    // Shows, enables and explains the buttons and tabs as the rule book says.
    void applyRules(const ActionRules& rules);
    void showCertificateDetails(const PathState& certificate);
    void showWarnings(const Problems& warnings);
    // The CRL checks on the folders as the Client Certificates tab listed them, shown with the warnings.
    void checkCrls();
    void checkCrlsWhenFilled();
    void deleteKeyPair(bool opcUa);
    // Asks the question, with where a backup of paths goes; on a yes, and while the window still shows what
    // lies on disk, acts with the user's backup choice.
    void confirmDeletion(const QString& question, const QStringList& paths,
                         const std::function<ActionResult(const SecurityActions&, bool keepBackup)>& act);
    // Reloads, then lists what an action could not do.
    void finishAction(const ActionResult& result);
    // Asked before every change: re-reads the configuration as a reload does. When what the window shows is
    // no longer what lies on disk it reloads, says what changed and returns false; else it goes on with the
    // fresh reading.
    bool matchesDisk();
    // Another program changed the configuration or the users file: reload and say so.
    void configurationChanged();

    PtrWrapper<IMoxInstEnumerator> m_enumerator;
    // Into the enumerator's list; the settings dialog, which refreshes the list, points it anew.
    MoxInstInstance* m_instance = nullptr;
    ConfigSnapshot m_snapshot; // what the last reload found; the actions work on its paths
    PtrWrapper<Mox::Ini::IniAuth> m_opcuaAuth;
    QStringListModel m_errorList;
    UaUsersModel m_uaUsers;
    std::unique_ptr<UsersTabController> m_usersTab;
    std::unique_ptr<ActionRules> m_rules; // what the last reload allows
    std::unique_ptr<CertificateLifecycle> m_lifecycle;
    ConfigWatcher m_configWatcher;
    Problems m_crlWarnings;   // of the last checkCrls
    bool m_shown = false;     // shown once: a reload checks the CRLs again
    bool m_painted = false;   // the key and the CRLs wait for the first paint
    bool m_keyPending = true; // reloads leave the key out until finishStartup
};
