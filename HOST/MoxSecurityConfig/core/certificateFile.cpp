#include "core/certificateFile.h"

#include "core/asn1Text.h"
#include "core/crlInfo.h"
#include "core/sslPointers.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/pem.h>

// A certificate as X509 decodes it, but with the public key left as its bit string: the same structure, so
// the same bytes decode or fail, and the same encoding comes out again for the thumbprint.
extern "C" {
struct ListedKey
{
    X509_ALGOR* algorithm;
    ASN1_BIT_STRING* key;
};
struct ListedTbs
{
    ASN1_ENCODING encoding; // the bytes as read, encoded again unchanged
    ASN1_INTEGER* version;
    ASN1_INTEGER* serial;
    X509_ALGOR* signature;
    X509_NAME* issuer;
    X509_VAL* validity;
    X509_NAME* subject;
    ListedKey* key;
    ASN1_BIT_STRING* issuerUid;
    ASN1_BIT_STRING* subjectUid;
    STACK_OF(X509_EXTENSION) * extensions;
};
struct ListedCertificate
{
    ListedTbs* tbs;
    X509_ALGOR* algorithm;
    ASN1_BIT_STRING* signature;
};
}

const ASN1_ITEM* ListedCertificate_it(); // defined at the end, where its macros stay as written

namespace {

using namespace Asn1Text;

QString firstUri(const X509* x)
{
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_URI)
            return fromAsn1(name->d.uniformResourceIdentifier);
    }
    return QString();
}

// The certificate in bytes, or null: PEM's first certificate, else DER.
X509Ptr certificateOf(const QByteArray& bytes)
{
    if (CertificateFile::isPem(bytes)) {
        if (!bytes.contains("-----BEGIN CERTIFICATE-----"))
            return nullptr;
        BioPtr bio = memoryBio(bytes);
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    return X509Ptr(d2i_X509(nullptr, &in, bytes.size()));
}

// The certificate alone, in the encoding it came in.
QByteArray encodedCertificate(X509* x, bool der)
{
    if (der) {
        const int length = i2d_X509(x, nullptr);
        if (length <= 0)
            return QByteArray();
        QByteArray out(length, Qt::Uninitialized);
        unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
        i2d_X509(x, &p);
        return out;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    if (!bio || PEM_write_bio_X509(bio.get(), x) != 1)
        return QByteArray();
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(length));
}

bool isPrivateKey(const QByteArray& der)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(der.constData());
    EvpPkeyPtr key(der.isEmpty() ? nullptr : d2i_AutoPrivateKey(nullptr, &in, der.size()));
    ERR_clear_error();
    return key != nullptr;
}

} // namespace

TrustStore::Entry CertificateFile::summary(const QByteArray& bytes, const EVP_MD* sha1)
{
    unsigned char* pem = nullptr;
    long length = bytes.size();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    const bool pemFile = isPem(bytes);
    if (pemFile && !CrlInfo::isPemCrl(bytes) && bytes.contains("-----BEGIN CERTIFICATE-----")) {
        BioPtr bio = memoryBio(bytes);
        if (PEM_bytes_read_bio(&pem, &length, nullptr, PEM_STRING_X509, bio.get(), nullptr, nullptr) == 1)
            in = pem;
    }
    const ASN1_ITEM* item = ASN1_ITEM_rptr(ListedCertificate);
    auto* x = (!pemFile || pem)
                  ? reinterpret_cast<ListedCertificate*>(ASN1_item_d2i(nullptr, &in, length, item))
                  : nullptr;
    OPENSSL_free(pem);
    if (!x) {
        ERR_clear_error();
        return parse(bytes, false).entry;
    }
    TrustStore::Entry entry;
    const STACK_OF(X509_EXTENSION)* extensions = x->tbs->extensions;
    // A CA as X509_get_extension_flags has it: basic constraints that decode, once, with the CA flag.
    auto* constraints =
        static_cast<BASIC_CONSTRAINTS*>(X509V3_get_d2i(extensions, NID_basic_constraints, nullptr, nullptr));
    entry.kind =
        constraints && constraints->ca ? TrustStore::Kind::CaCertificate : TrustStore::Kind::Certificate;
    BASIC_CONSTRAINTS_free(constraints);
    entry.name = commonName(x->tbs->subject);
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()) && entry.uri.isEmpty(); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_URI)
            entry.uri = fromAsn1(name->d.uniformResourceIdentifier);
    }
    entry.validUntil = fromAsn1Time(x->tbs->validity->notAfter);
    unsigned char* encoded = nullptr;
    const int size = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(x), &encoded, item);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (size > 0 && EVP_Digest(encoded, size_t(size), digest, &digestLength, sha1, nullptr) == 1)
        entry.thumbprint = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(digest), int(digestLength)).toHex().toUpper());
    OPENSSL_free(encoded);
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(x), item);
    ERR_clear_error();
    return entry;
}

bool CertificateFile::isPem(const QByteArray& bytes)
{
    return bytes.contains("-----BEGIN ");
}

CertificateFile::Parsed CertificateFile::parse(const QByteArray& bytes, bool encode)
{
    Parsed parsed;
    TrustStore::Entry& entry = parsed.entry;
    const bool pemCrl = CrlInfo::isPemCrl(bytes);
    if (!pemCrl) {
        if (X509Ptr x = certificateOf(bytes)) {
            // The flags fill the extension cache, which also holds the SHA-1 digest the thumbprint reads.
            const bool ca = (X509_get_extension_flags(x.get()) & EXFLAG_CA) != 0;
            entry.kind = ca ? TrustStore::Kind::CaCertificate : TrustStore::Kind::Certificate;
            entry.name = commonName(X509_get_subject_name(x.get()));
            entry.uri = firstUri(x.get());
            entry.validUntil = fromAsn1Time(X509_get0_notAfter(x.get()));
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (X509_digest(x.get(), EVP_sha1(), digest, &length) == 1)
                entry.thumbprint = QString::fromLatin1(
                    QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
            if (encode)
                parsed.encoded = encodedCertificate(x.get(), !isPem(bytes));
            ERR_clear_error();
            return parsed;
        }
        ERR_clear_error();
    }
    if (pemCrl || !isPem(bytes)) {
        CrlInfo crl;
        QString error;
        if (CrlInfo::parse(bytes, crl, &error)) {
            entry.kind = TrustStore::Kind::Crl;
            entry.name = crl.issuerName;
            entry.validUntil = crl.nextUpdate;
            entry.thumbprint = crl.sha1Thumbprint;
            parsed.encoded = encode ? crl.encoded : QByteArray();
            return parsed;
        }
    }
    entry.reason = bytes.isEmpty() ? TrustStore::tr("The file is empty.")
                   : isPem(bytes)  ? TrustStore::tr("PEM, but neither a certificate nor a CRL.")
                                   : TrustStore::tr("Neither a DER certificate nor a DER CRL.");
    return parsed;
}

bool CertificateFile::holdsPrivateKey(const QByteArray& bytes, const QByteArray& encoded)
{
    if (bytes.contains("PRIVATE KEY-----"))
        return true;
    if (isPem(bytes))
        return false;
    return isPrivateKey(bytes) || (bytes.startsWith(encoded) && isPrivateKey(bytes.mid(encoded.size())));
}

// clang-format off
ASN1_SEQUENCE(ListedKey) = {
    ASN1_SIMPLE(ListedKey, algorithm, X509_ALGOR),
    ASN1_SIMPLE(ListedKey, key, ASN1_BIT_STRING)
} ASN1_SEQUENCE_END(ListedKey)

ASN1_SEQUENCE_enc(ListedTbs, encoding, 0) = {
    ASN1_EXP_OPT(ListedTbs, version, ASN1_INTEGER, 0),
    ASN1_SIMPLE(ListedTbs, serial, ASN1_INTEGER),
    ASN1_SIMPLE(ListedTbs, signature, X509_ALGOR),
    ASN1_SIMPLE(ListedTbs, issuer, X509_NAME),
    ASN1_SIMPLE(ListedTbs, validity, X509_VAL),
    ASN1_SIMPLE(ListedTbs, subject, X509_NAME),
    ASN1_SIMPLE(ListedTbs, key, ListedKey),
    ASN1_IMP_OPT(ListedTbs, issuerUid, ASN1_BIT_STRING, 1),
    ASN1_IMP_OPT(ListedTbs, subjectUid, ASN1_BIT_STRING, 2),
    ASN1_EXP_SEQUENCE_OF_OPT(ListedTbs, extensions, X509_EXTENSION, 3)
} ASN1_SEQUENCE_END_enc(ListedTbs, ListedTbs)

ASN1_SEQUENCE(ListedCertificate) = {
    ASN1_SIMPLE(ListedCertificate, tbs, ListedTbs),
    ASN1_SIMPLE(ListedCertificate, algorithm, X509_ALGOR),
    ASN1_SIMPLE(ListedCertificate, signature, ASN1_BIT_STRING)
} ASN1_SEQUENCE_END(ListedCertificate)
