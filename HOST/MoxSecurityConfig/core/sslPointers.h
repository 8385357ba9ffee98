// Owning pointers for libcrypto objects, so every path out of a function frees what it made.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QString>

#include <memory>

template <class T, void (*Free)(T*)> struct SslDeleter
{
    void operator()(T* p) const { Free(p); }
};

using BioPtr = std::unique_ptr<BIO, SslDeleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, SslDeleter<X509, X509_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, SslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, SslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, SslDeleter<GENERAL_NAMES, GENERAL_NAMES_free>>;
using ExtKeyUsagePtr =
    std::unique_ptr<EXTENDED_KEY_USAGE, SslDeleter<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>>;

// A read-only memory BIO over bytes that outlive it.
inline BioPtr memoryBio(const QByteArray& bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), bytes.size()));
}

// The reason of libcrypto's last error, and the error queue emptied, so no later check sees stale errors.
QString takeSslError();
