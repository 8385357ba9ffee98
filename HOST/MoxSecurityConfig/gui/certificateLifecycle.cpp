#include "certificateLifecycle.h"

#include "certificateDialog.h"
#include "signedInstallDialog.h"

#include "core/certificateRenewal.h"
#include "core/fileSafety.h"
#include "core/signingRequest.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

CertificateLifecycle::CertificateLifecycle(QMainWindow* window, const ConfigSnapshot& snapshot, Hooks hooks)
    : m_window(window), m_snapshot(snapshot), m_hooks(std::move(hooks))
{}

void CertificateLifecycle::renew(bool opcUa)
{
    if (!m_hooks.matchesDisk())
        return;
    CertificateRenewal::Options options;
    options.keyPath = opcUa ? m_snapshot.opcUaKey.path : m_snapshot.coreKey.path;
    options.certPath = opcUa ? m_snapshot.opcUaCertificate.path : m_snapshot.coreCertificate.path;
    // A new key gets the configured pass phrase, so the configuration still opens it.
    options.passphrase = options.newPassphrase = opcUa ? m_snapshot.passphrase() : QString();
    options.dryRun = true;
    // The trial run finds a key that does not open before anything is asked, and the old validity.
    const CertificateRenewal::Outcome trial = CertificateRenewal::renew(m_snapshot, options);
    if (!trial.result.ok) {
        m_hooks.finishAction(trial.result);
        return;
    }
    bool ok = false;
    options.days =
        QInputDialog::getInt(m_window, tr("Renew certificate"),
                             tr("Validity of the new certificate in days:"), trial.days, 1, 36500, 1, &ok);
    if (!ok)
        return;
    QMessageBox ask(
        QMessageBox::Question, tr("Renew certificate"),
        tr("Renew %1 with a new serial number, valid for %2 days?\n\nThe old certificate goes into a "
           "backup. It is self-signed: peers that trusted the old one must trust the new one again.")
            .arg(options.certPath)
            .arg(options.days),
        QMessageBox::Yes | QMessageBox::Cancel, m_window);
    QCheckBox newKey(tr("Make a new &key of the same size"));
    ask.setCheckBox(&newKey);
    if (ask.exec() != QMessageBox::Yes || !m_hooks.matchesDisk())
        return;
    options.newKey = newKey.isChecked();
    options.dryRun = false;
    const CertificateRenewal::Outcome outcome = CertificateRenewal::renew(m_snapshot, options);
    m_hooks.finishAction(outcome.result);
    if (outcome.result.ok)
        m_window->statusBar()->showMessage(
            tr("Renewed %1: new SHA-1 %2, valid until %3")
                .arg(options.certPath, outcome.newThumbprint, outcome.newExpiry.toString(Qt::ISODate)));
}

std::optional<CertificateRequest> CertificateLifecycle::generate(CertificateRequest::Mode mode)
{
    if (!m_hooks.matchesDisk())
        return std::nullopt;
    CertificateDialog dialog(mode, m_snapshot, m_window);
    dialog.setOwnership(SecurityActions(m_snapshot).ownership());
    dialog.setModal(true);
    dialog.show();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.request();
}

void CertificateLifecycle::offerConfigUpdate(const CertificateRequest& request)
{
    const SecurityActions actions(m_snapshot);
    const QStringList keys = actions.configDifferences(request);
    if (keys.isEmpty() ||
        QMessageBox::question(m_window, tr("Update the OPC UA configuration"),
                              tr("The new certificate differs from the OPC UA configuration in %1.\n"
                                 "Write the new settings into %2, so the server can use the new key?")
                                  .arg(keys.join(QStringLiteral(", ")), m_snapshot.configPath),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes) {
        m_hooks.reload();
        return;
    }
    // A pass phrase goes only into a file others cannot read: the user decides whether they lose access.
    const Problem exposure = actions.secretExposure(request);
    const bool tighten =
        !exposure.message.isEmpty() &&
        QMessageBox::question(m_window, tr("Pass phrase readable"),
                              tr("%1\nOthers may read it, so the pass phrase is not written as it is.\n"
                                 "Remove the access of others first? The group keeps its access, since the "
                                 "server may run in it.")
                                  .arg(exposure.detail),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
    m_hooks.finishAction(actions.adoptIntoConfiguration(request, tighten));
}

void CertificateLifecycle::setButtons(const Buttons& buttons)
{
    m_buttons = buttons;
    const struct
    {
        QPushButton* button;
        bool opcUa, install;
    } all[] = {{buttons.requestOpcUa, true, false},
               {buttons.installOpcUa, true, true},
               {buttons.requestCore, false, false},
               {buttons.installCore, false, true}};
    for (const auto& one : all)
        QObject::connect(one.button, &QPushButton::clicked, m_window,
                         [this, one] { one.install ? installSigned(one.opcUa) : requestSigning(one.opcUa); });
}

void CertificateLifecycle::showButtons() const
{
    const ConfigSnapshot& s = m_snapshot;
    m_buttons.requestOpcUa->setVisible(s.opcUaCertificate.exists && s.opcUaKey.exists);
    m_buttons.installOpcUa->setVisible(s.opcUaKey.configured && s.opcUaCertificate.configured);
    m_buttons.requestCore->setVisible(s.coreCertificate.exists && s.coreKey.exists);
    m_buttons.installCore->setVisible(s.coreKey.configured && s.coreCertificate.configured);
}

void CertificateLifecycle::requestSigning(bool opcUa)
{
    const CertificateRequest::Mode mode =
        opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core;
    const QString& keyPath = opcUa ? m_snapshot.opcUaKey.path : m_snapshot.coreKey.path;
    const QString& certPath = opcUa ? m_snapshot.opcUaCertificate.path : m_snapshot.coreCertificate.path;
    const QString pending = SigningRequest::pendingKeyPath(keyPath);
    QMessageBox ask(
        QMessageBox::Question, tr("Request from CA"),
        tr("Save a signing request for a CA with the names of %1, signed by the key %2?\n\nA new "
           "key instead waits as %3 until the certificate the CA signs is installed; the installed "
           "pair stays in use until then.%4")
            .arg(certPath, keyPath, pending,
                 QFileInfo::exists(pending) ? tr("\nThe pending key of an earlier request is replaced.")
                                            : QString()),
        QMessageBox::Save | QMessageBox::Cancel, m_window);
    QCheckBox newKey(tr("Sign with a &new key of the same size"));
    newKey.setObjectName(QStringLiteral("newKeyCheckBox"));
    ask.setCheckBox(&newKey);
    if (ask.exec() != QMessageBox::Save)
        return;
    const QString out = QFileDialog::getSaveFileName(m_window, tr("Save the signing request"),
                                                     QStringLiteral("request.csr.pem"),
                                                     tr("Signing requests (*.pem *.csr);;All files (*)"));
    if (out.isEmpty() || !m_hooks.matchesDisk())
        return;
    CertificateRequest names, overrides;
    overrides.mode = mode;
    QString error;
    EvpPkeyPtr key;
    QByteArray request;
    Problems warnings;
    if (SigningRequest::names(certPath, overrides, false, names, &error) &&
        (key = SigningRequest::signingKey(m_snapshot, mode, newKey.isChecked(), 0, &error, &warnings)))
        request = SigningRequest::make(names, key.get(), &error);
    FileSafety::Ownership ownership;
    ownership.fileMode = 0644;
    if (request.isEmpty() || !FileSafety::writeAtomically(out, request, ownership, &error))
        QMessageBox::warning(m_window, m_window->windowTitle(),
                             tr("The signing request was not saved.\n%1").arg(error));
    else
        m_window->statusBar()->showMessage(
            newKey.isChecked()
                ? tr("Saved %1; its key waits in %2 until the signed certificate is installed.")
                      .arg(out, pending)
                : tr("Saved %1").arg(out));
    m_hooks.showWarnings(warnings);
}

void CertificateLifecycle::installSigned(bool opcUa)
{
    if (!m_hooks.matchesDisk())
        return;
    SignedInstallDialog dialog(
        m_snapshot, opcUa ? CertificateRequest::Mode::OpcUa : CertificateRequest::Mode::Core, m_window);
    dialog.setModal(true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_hooks.finishAction(dialog.result());
    m_hooks.showWarnings(dialog.result().warnings);
}
