// What a certificate revocation list says, read in process with libcrypto from PEM or DER.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QString>

struct CrlInfo
{
    Q_DECLARE_TR_FUNCTIONS(CrlInfo)

public:
    bool der = false;       // the bytes were DER; false for PEM
    QString issuerText;     // one line, RFC 2253
    QString issuerName;     // the issuer's CN, else the whole issuer
    QDateTime lastUpdate;   // UTC
    QDateTime nextUpdate;   // UTC; invalid when the list names none
    int revoked = 0;        // entries
    QString sha1Thumbprint; // 40 upper-case hex digits of the DER encoding
    QByteArray encoded;     // the list alone, written again in the encoding it came in

    // One CRL from PEM (the first one) or DER, told apart by content. False with error set when the bytes
    // hold no CRL.
    static bool parse(const QByteArray& bytes, CrlInfo& info, QString* error);
    // True when the bytes look like a PEM CRL, so a caller can tell a CRL from a certificate cheaply.
    static bool isPemCrl(const QByteArray& bytes) { return bytes.contains("-----BEGIN X509 CRL-----"); }
};
