// The dialog that makes a new RSA private key and a self-signed X.509 certificate with openssl, for the
// OPC UA server (OPC UA mode) or for the runtime core (core mode).
#pragma once

#include "core/certificateRequest.h"
#include "core/fileSafety.h"
#include "ui_certificateDialog.h"

#include <QDialog>

#include <QDir>
#include <QString>
#include <QStringList>
#include <atomic>

class QLineEdit;

class CertificateDialog : public QDialog, private Ui::CertificateDialog
{
    Q_OBJECT

public:
    // opensslDirPath is the folder of the two OpenSSL templates; password and uri are what the OPC UA
    // configuration holds (empty in core mode) and only serve the warnings.
    CertificateDialog(bool opcUa, const QString& opensslDirPath, const QString& certPath,
                      const QString& keyPath, const QString& password, const QString& uri,
                      QWidget* parent = nullptr);
    // The form for the snapshot's pair: the defaults and warnings moxsec has for it.
    CertificateDialog(CertificateRequest::Mode mode, const ConfigSnapshot& snapshot,
                      QWidget* parent = nullptr);
    ~CertificateDialog() override;

    // What the new key and certificate get: owner, group and mode (the key is 0600 until it is complete).
    void setOwnership(const FileSafety::Ownership& ownership) { m_ownership = ownership; }
    // The form as a request for the generator.
    CertificateRequest request() const;

    static const QString s_invalidStyle;
    static const QString s_warningStyle;
    // One openssl step still running after this long is killed and counts as failed.
    static const int s_stepTimeoutMs = 30000;
    void setStepTimeout(int milliseconds) { m_stepTimeoutMs = milliseconds; }

public slots:
    // Validates, generates, and closes with Accepted only when the certificate was made. The window keeps
    // repainting while openssl runs; this returns only when generation has ended.
    void accept() override;
    // While generating: stops the running openssl (the generation then fails and cleans up); else closes.
    void reject() override;
    void reloadURI();
    void enablePassword(int state);
    void checkPassword();

public:
    // Shows text on the status line and repaints it at once: generation blocks the event loop.
    void printStatus(const QString& text, bool error);
    void printError(const QString& text);

    bool validate();
    void validateRequired(QLineEdit* edit, bool& valid);
    void validateCertSubject(QLineEdit* edit, bool& valid);
    void cleanErrors(QLineEdit* edit);
    void checkExtension();

    // Runs the three openssl steps; on false exactly one error is on the status line and the temporary
    // files and partial outputs are gone.
    bool createCert();

private:
    CertificateDialog(CertificateRequest::Mode mode, const CertificateRequest::Configured& configured,
                      QWidget* parent);
    // The widget that holds a field of the request; null for the file names, shown by the labels.
    QWidget* widgetOf(CertificateRequest::Field field) const;
    void mark(QWidget* field, const QString& reason);

    QString m_certPath;
    QString m_keyPath;
    QString m_machineName;
    QString m_uri;
    QString m_password;
    QDir m_tempDir;
    QDir m_opensslDir;
    bool m_opcUa;
    bool m_certIsPem;
    // The subject fields worth keeping for the next generation, in the user's settings.
    void restoreSubject();
    void saveSubject() const;

    FileSafety::Ownership m_ownership;
    int m_stepTimeoutMs = s_stepTimeoutMs;
    std::atomic<bool> m_cancel{false};
    bool m_generating = false;
};
