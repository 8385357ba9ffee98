// Install signed certificate: the certificate a CA signed and its chain, checked by the core and listed as
// passed and failed before anything is written; Install is offered only when every check passed.
#pragma once

#include "ui_signedInstallDialog.h"

#include "core/certificateRequest.h"
#include "core/configSnapshot.h"
#include "core/securityActions.h"

#include <QDialog>

#include <memory>

class SignedInstall;

class SignedInstallDialog : public QDialog, private Ui::SignedInstallDialog
{
    Q_OBJECT

public:
    SignedInstallDialog(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode,
                        QWidget* parent = nullptr);
    ~SignedInstallDialog() override;

    // What the install did; ok and unchanged while nothing was tried.
    const ActionResult& result() const { return m_result; }

public slots:
    // Runs every check on the files given and lists the outcome.
    void runChecks();
    // Installs after the checks passed, then closes.
    void install();

private:
    void browse(QLineEdit* field, bool several);

    const ConfigSnapshot& m_snapshot;
    std::unique_ptr<SignedInstall> m_install;
    ActionResult m_result;
};
