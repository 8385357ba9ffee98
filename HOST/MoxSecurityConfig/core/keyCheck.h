// Reads a private key once, in process: does the configured pass phrase open it, is the pair consistent, and
// does it belong to a certificate. The pass phrase never leaves the process.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class KeyCheck
{
    Q_DECLARE_TR_FUNCTIONS(KeyCheck)

public:
    // Why a key did not open: each calls for a different mend.
    enum class Failure
    {
        None,
        Unreadable,  // the file cannot be read
        NoKey,       // the file holds no private key (a certificate, garbage)
        Encrypted,   // the key wants a pass phrase and none was given
        WrongPhrase, // the given pass phrase does not decrypt it
        Inconsistent // the key's halves do not fit together
    };

    struct Result
    {
        Failure failure = Failure::None;
        bool opened = false;    // the key was read with the pass phrase and its two halves fit together
        bool encrypted = false; // the key asked for a pass phrase
        int bits = 0;
        // 1 when the key belongs to the certificate whose public key was given, 0 when not, -1 not compared.
        int matchesCertificate = -1;
        QString cause; // why it did not open, naming the file
    };

    // PEM (PKCS#1 or PKCS#8, encrypted or not) or DER, told apart by content. An unencrypted key opens
    // whatever the pass phrase. certificatePublicKey: a SubjectPublicKeyInfo (CertificateInfo::publicKeyDer).
    static Result check(const QString& keyPath, const QString& passphrase,
                        const QByteArray& certificatePublicKey = QByteArray());
    // The same on bytes already read; name is what the cause calls them.
    static Result checkBytes(const QByteArray& key, const QString& passphrase,
                             const QByteArray& certificatePublicKey, const QString& name);
};
