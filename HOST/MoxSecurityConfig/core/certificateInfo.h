// What an X.509 certificate says, read in process with libcrypto from PEM or DER, and the checks of the
// server's own certificate that explain most failed OPC UA connections.
#pragma once

#include "core/problem.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

struct CertificateInfo
{
    Q_DECLARE_TR_FUNCTIONS(CertificateInfo)

public:
    // Certificates are small; anything larger is refused before parsing.
    static constexpr qint64 s_maxFileSize = 1024 * 1024;
    // How many days before notAfter a server certificate's expiry becomes a warning, unless asked otherwise.
    static constexpr int s_warnDays = 30;

    using Fields = QList<QPair<QString, QString>>; // ("CN", "MOX-OPC_UA@host"), in the certificate's order

    bool der = false; // the bytes were DER; false for PEM
    Fields subject, issuer;
    QString subjectText, issuerText; // one line, RFC 2253
    QString serial;                  // upper-case hex
    QDateTime notBefore, notAfter;   // UTC
    QString keyType;                 // "RSA", "EC (prime256v1)", "ED25519", ...
    int keyBits = 0;
    QString signatureAlgorithm; // "sha256WithRSAEncryption"
    bool signatureSha1 = false; // the signature's digest is SHA-1 (or weaker)
    QStringList uris, dnsNames, ipAddresses;
    QStringList keyUsage;         // "Digital Signature", ...
    QStringList extendedKeyUsage; // "TLS Web Server Authentication", or the OID
    bool isCa = false;
    bool selfSigned = false;   // issued by itself, and its signature verifies with its own key
    QString sha1Thumbprint;    // 40 upper-case hex digits, as OPC UA shows it
    QString sha256Fingerprint; // 64 upper-case hex digits
    QByteArray publicKeyDer;   // SubjectPublicKeyInfo, to match a private key against

    // Days from now to notAfter, rounded down; negative once expired.
    qint64 daysLeft(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

    // One certificate from PEM (the first one) or DER, told apart by content. False with error set when
    // the bytes hold no certificate.
    static bool parse(const QByteArray& bytes, CertificateInfo& info, QString* error);
    // The same from a file read through FileSafety (a regular file of at most s_maxFileSize bytes).
    static bool readFile(const QString& path, CertificateInfo& info, QString* error);

    // Label and value, in the order a reader wants them (the details dialog and the command line).
    QList<QPair<QString, QString>> rows(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;
    QJsonObject toJson(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

    // What is wrong with a server certificate for its configuration: the URI against applicationUri (not
    // checked when empty), validity (expired, not yet valid, within warnDays), a key under 2048 bits, a SHA-1
    // signature, hostName missing from the DNS names (not checked when empty). Each names its cause.
    Problems serverWarnings(const QString& applicationUri, const QString& hostName,
                            const QDateTime& now = QDateTime::currentDateTimeUtc(),
                            int warnDays = s_warnDays) const;
};
