#include "core/keyCheck.h"

#include "core/fileSafety.h"
#include "core/sslPointers.h"

#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>

namespace {

// Keys are a few kilobytes; a larger file is not one.
const qint64 kMaxKeySize = 1024 * 1024;

struct Phrase
{
    QByteArray bytes;
    bool asked = false;
};

int phraseCallback(char* buffer, int size, int, void* data)
{
    Phrase* phrase = static_cast<Phrase*>(data);
    phrase->asked = true;
    if (phrase->bytes.size() > size)
        return -1;
    std::memcpy(buffer, phrase->bytes.constData(), size_t(phrase->bytes.size()));
    return phrase->bytes.size();
}

EvpPkeyPtr decode(const QByteArray& key, Phrase& phrase)
{
    if (key.contains("-----BEGIN ")) {
        BioPtr bio = memoryBio(key);
        return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, phraseCallback, &phrase));
    }
    EVP_PKEY* pkey = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, SslDeleter<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>> decoder(
        OSSL_DECODER_CTX_new_for_pkey(&pkey, "DER", nullptr, nullptr, EVP_PKEY_KEYPAIR, nullptr, nullptr));
    if (!decoder || !OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), phraseCallback, &phrase))
        return nullptr;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(key.constData());
    size_t length = size_t(key.size());
    if (!OSSL_DECODER_from_data(decoder.get(), &data, &length)) {
        EVP_PKEY_free(pkey);
        return nullptr;
    }
    return EvpPkeyPtr(pkey);
}

// The private half must fit the public one. For RSA the library's pairwise check runs prime tests that take
// tens of milliseconds; a signature made with the private half and verified with the public one proves the
// same in about one.
bool halvesFit(EVP_PKEY* pkey)
{
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
        EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
        return context && EVP_PKEY_public_check(context.get()) == 1 &&
               EVP_PKEY_pairwise_check(context.get()) == 1;
    }
    unsigned char digest[32];
    for (unsigned i = 0; i < sizeof(digest); ++i)
        digest[i] = static_cast<unsigned char>(i * 7 + 1);
    EvpPkeyCtxPtr sign(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
    size_t length = 0;
    if (!sign || EVP_PKEY_sign_init(sign.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(sign.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(sign.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(sign.get(), nullptr, &length, digest, sizeof(digest)) != 1)
        return false;
    QByteArray signature(int(length), Qt::Uninitialized);
    if (EVP_PKEY_sign(sign.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, digest,
                      sizeof(digest)) != 1)
        return false;
    EvpPkeyCtxPtr verify(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
    return verify && EVP_PKEY_verify_init(verify.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(verify.get(), EVP_sha256()) == 1 &&
           EVP_PKEY_verify(verify.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                           length, digest, sizeof(digest)) == 1;
}

} // namespace

KeyCheck::Result KeyCheck::check(const QString& keyPath, const QString& passphrase,
                                 const QByteArray& certificatePublicKey)
{
    QByteArray key;
    QString error;
    if (!FileSafety::readRegular(keyPath, key, &error, kMaxKeySize)) {
        Result result;
        result.failure = Failure::Unreadable;
        result.cause = error;
        return result;
    }
    Result result = checkBytes(key, passphrase, certificatePublicKey, keyPath);
    OPENSSL_cleanse(key.data(), size_t(key.size()));
    return result;
}

KeyCheck::Result KeyCheck::checkBytes(const QByteArray& key, const QString& passphrase,
                                      const QByteArray& certificatePublicKey, const QString& name)
{
    Result result;
    Phrase phrase{passphrase.toUtf8()};
    const EvpPkeyPtr pkey = decode(key, phrase);
    OPENSSL_cleanse(phrase.bytes.data(), size_t(phrase.bytes.size()));
    result.encrypted = phrase.asked;
    if (!pkey) {
        const QString reason = takeSslError();
        // An empty phrase is none: the key file was made with one the configuration does not give.
        result.failure = !phrase.asked          ? Failure::NoKey
                         : passphrase.isEmpty() ? Failure::Encrypted
                                                : Failure::WrongPhrase;
        result.cause = result.failure == Failure::NoKey
                           ? tr("%1: no private key (%2).").arg(name, reason.isEmpty() ? "?" : reason)
                       : result.failure == Failure::Encrypted
                           ? tr("%1: the key is encrypted and no pass phrase was given.").arg(name)
                           : tr("%1: the pass phrase does not decrypt the key.").arg(name);
        return result;
    }
    result.bits = EVP_PKEY_get_bits(pkey.get());
    if (!halvesFit(pkey.get())) {
        const QString reason = takeSslError();
        result.failure = Failure::Inconsistent;
        result.cause = tr("%1: the key's two halves do not fit together (%2).")
                           .arg(name, reason.isEmpty() ? "?" : reason);
        return result;
    }
    result.opened = true;
    if (!certificatePublicKey.isEmpty()) {
        const unsigned char* in = reinterpret_cast<const unsigned char*>(certificatePublicKey.constData());
        const EvpPkeyPtr certificateKey(d2i_PUBKEY(nullptr, &in, certificatePublicKey.size()));
        result.matchesCertificate = certificateKey && EVP_PKEY_eq(certificateKey.get(), pkey.get()) == 1;
    }
    ERR_clear_error();
    return result;
}
