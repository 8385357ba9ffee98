// What a file in a client-certificate folder or one to import holds: a certificate or a CRL, parsed and
// re-encoded alone, so nothing else of the file (a key, trailing bytes) is ever written on.
#pragma once

#include "core/trustStore.h"

#include <QByteArray>

#include <openssl/evp.h>

class CertificateFile
{
public:
    struct Parsed
    {
        TrustStore::Entry entry;
        QByteArray encoded; // the certificate or CRL alone, re-encoded; empty when unreadable
    };

    // A certificate (PEM's first, or DER), else a CRL, else an entry of kind Unreadable with the reason.
    // Without encode, encoded stays empty (a listing only shows the entry).
    static Parsed parse(const QByteArray& bytes, bool encode = true);
    // What a listing shows, as parse has it, without decoding the certificate's public key: libcrypto spends
    // most of a certificate's parse there. The thumbprint is the SHA-1 (sha1, fetched by the caller) of the
    // certificate as the bytes encode it. What is no certificate goes through parse.
    static TrustStore::Entry summary(const QByteArray& bytes, const EVP_MD* sha1);
    static bool isPem(const QByteArray& bytes);
    // A key beside the certificate or CRL (any PEM private key block, or DER that parses as a key, whole or
    // after the object encoded): such a file is a key's copy, and importing it would spread the key.
    static bool holdsPrivateKey(const QByteArray& bytes, const QByteArray& encoded);
};
