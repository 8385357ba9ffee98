// The window's certificate lifecycle: making a pair, renewing it, saving a signing request for a CA and
// installing the certificate a CA signed. The window's slots call it; it acts on the window's snapshot and
// reports through the window.
#pragma once

#include "core/certificateRequest.h"
#include "core/configSnapshot.h"
#include "core/securityActions.h"

#include <QCoreApplication>

#include <functional>
#include <optional>

class QMainWindow;
class QPushButton;

class CertificateLifecycle
{
    // Its texts are the window's.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)

public:
    // What it asks of the window.
    struct Hooks
    {
        // Before every change: false when what the window shows is no longer what lies on disk.
        std::function<bool()> matchesDisk;
        // Reloads, then lists what an action could not do.
        std::function<void(const ActionResult&)> finishAction;
        std::function<void(const Problems&)> showWarnings;
        std::function<void()> reload;
    };

    // The window's buttons that only this class serves: for a CA's signature, of each pair.
    struct Buttons
    {
        QPushButton *requestOpcUa, *installOpcUa, *requestCore, *installCore;
    };

    // snapshot is the window's own, read anew by matchesDisk.
    CertificateLifecycle(QMainWindow* window, const ConfigSnapshot& snapshot, Hooks hooks);

    // Connects the buttons to requestSigning() and installSigned() of their pair.
    void setButtons(const Buttons& buttons);
    // Shows the buttons the snapshot's pairs allow: a request needs the pair, an install its paths.
    void showButtons() const;

    // Asks the validity and whether to make a new key, then renews the pair's certificate.
    void renew(bool opcUa);
    // The certificate dialog for the snapshot's pair; the request when a pair was made.
    std::optional<CertificateRequest> generate(CertificateRequest::Mode mode);
    // After a generation: offers to write the settings of the new pair that differ into the configuration.
    void offerConfigUpdate(const CertificateRequest& request);
    // Saves a signing request for a CA, signed by the pair's installed key or by a new one kept pending.
    void requestSigning(bool opcUa);
    // The install dialog for a certificate a CA signed for the pair.
    void installSigned(bool opcUa);

private:
    QMainWindow* m_window;
    const ConfigSnapshot& m_snapshot;
    Hooks m_hooks;
    Buttons m_buttons{};
};
