// A PKCS#10 signing request for a CA, made in process: the subject and alternative names of the installed
// certificate, with the caller's fields over them, signed by the installed key or by a new pending one. The
// pending key waits beside the key ("<key>.pending", 0600) until the signed certificate is installed; the
// server never reads it, and the sweep of leftovers keeps it, since it is no temporary.
#pragma once

#include "core/certificateRequest.h"
#include "core/configSnapshot.h"
#include "core/fileSafety.h"
#include "core/problem.h"
#include "core/sslPointers.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class SigningRequest
{
    Q_DECLARE_TR_FUNCTIONS(SigningRequest)

public:
    static QString pendingKeyPath(const QString& keyPath) { return keyPath + QStringLiteral(".pending"); }

    // A private key from PEM or DER bytes, opened with passphrase where it is encrypted; null with error set.
    static EvpPkeyPtr readKey(const QString& path, const QString& passphrase, QString* error);

    // The names the request carries: fields set in overrides (non-empty; uri, dnsNames or ipAddresses given)
    // win over those of certPath's certificate, which may be missing. Country, state, locality, organization
    // and common name must end up non-empty, else error names the first missing one.
    static bool names(const QString& certPath, const CertificateRequest& overrides, bool overrideAltNames,
                      CertificateRequest& names, QString* error);

    // The request as PEM, signed with key by sha256 (or names.digest).
    static QByteArray make(const CertificateRequest& names, EVP_PKEY* key, QString* error);

    // A new RSA key of bits, written to pendingKeyPath(keyPath) with the key's owner and mode 0600, encrypted
    // with passphrase when it is not empty (so the configured one opens it once installed). An existing
    // pending key is replaced: the request it made was never answered, or is answered by this one.
    // warnings gets why the change log could not be written.
    static EvpPkeyPtr makePendingKey(const QString& keyPath, int bits, const QString& passphrase,
                                     const FileSafety::Ownership& ownership, QString* error,
                                     Problems* warnings = nullptr);

    // The key that signs a request for the pair of mode: the installed one, or with newKey a new pending one
    // of bits (0: the size of the installed key where it opens, else 2048). Only the OPC UA pair's keys
    // carry the configured pass phrase: the runtime core reads its key without one.
    static EvpPkeyPtr signingKey(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode, bool newKey,
                                 int bits, QString* error, Problems* warnings = nullptr);

private:
    static EvpPkeyPtr writePendingKey(const QString& keyPath, int bits, const QString& passphrase,
                                      const FileSafety::Ownership& ownership, QString* error);
};
