// Installs a certificate a CA signed for one of the pairs. Every check runs first and nothing is written
// unless all passed, so the window can list them and moxsec can name each refusal. The leaf is written in
// the encoding the configured path implies, the pair changes as one (KeyPairUpdate) with the old pair in a
// backup, a pending key becomes the key, and the CA certificates go into the issuers folder.
#pragma once

#include "core/certificateRequest.h"
#include "core/configSnapshot.h"
#include "core/securityActions.h"
#include "core/sslPointers.h"

#include <QCoreApplication>
#include <QList>

#include <vector>

class SignedInstall
{
    Q_DECLARE_TR_FUNCTIONS(SignedInstall)

public:
    struct Check
    {
        QString title; // what was checked, as the list shows it
        bool passed = false;
        QString detail; // why it failed, or what it found
    };

    SignedInstall(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode);

    // The chain of the certificate at path, leaf first, as one-line subjects, through the CA certificates
    // of folders; its last line says where it stops when no self-signed CA ends it.
    static QStringList chainOf(const QString& path, const QStringList& folders);
    ~SignedInstall();

    // Reads file (the leaf first, CA certificates after it) and the chain files, and checks them. With
    // updateConfig a URI other than the configured one passes, and install writes it. The checks, in order;
    // an unreadable file gives a single failed check.
    QList<Check> check(const QString& file, const QStringList& chain, bool updateConfig);
    bool passed() const;
    bool usesPendingKey() const { return m_pending; }
    const QString& uri() const { return m_uri; }
    int caCount() const { return int(m_cas.size()); }
    // After check() passed: the installed certificate is already this one, for the installed key.
    bool certificateInPlace() const;

    // After check() passed: puts the pair in place (the old one into a backup), imports the CAs into the
    // issuers folder and, with updateConfig, writes the URI into the configuration.
    ActionResult install(bool tighten = false);

private:
    // The installation itself; install records it in the audit trail.
    ActionResult installNow(bool tighten);
    static bool readCertificates(const QString& path, std::vector<X509Ptr>& out, QString* error);
    QByteArray leafBytes() const;
    // The installed certificate is leaf byte for byte, for the installed key.
    bool leafInPlace(const QByteArray& leaf) const;
    // The leaf and a pending key in place, the old pair into a backup; false when it failed.
    bool putPair(ActionResult& result) const;
    bool backUpPair(ActionResult& result) const;
    // The steps of check(), each appending its checks to m_checks.
    void checkKey(X509* leaf);
    void checkUri(X509* leaf);
    void checkUsages(X509* leaf);
    void checkChain(X509* leaf);
    // The CA certificates into the issuers folder, by TrustStore's import.
    ActionResult importCas(bool dryRun) const;

    const ConfigSnapshot& m_snapshot;
    CertificateRequest::Mode m_mode;
    QString m_keyPath, m_certPath;
    X509Ptr m_leaf;
    std::vector<X509Ptr> m_cas;
    QList<Check> m_checks;
    bool m_pending = false, m_updateConfig = false;
    bool m_casNew = false; // a CA certificate is not yet in the issuers folder
    QString m_uri;
};
