#include "core/certificateFile.h"

#include "core/asn1Text.h"
#include "core/crlInfo.h"
#include "core/sslPointers.h"

#include <openssl/err.h>
#include <openssl/pem.h>

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

bool CertificateFile::isPem(const QByteArray& bytes)
{
    return bytes.contains("-----BEGIN ");
}

CertificateFile::Parsed CertificateFile::parse(const QByteArray& bytes)
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
            parsed.encoded = crl.encoded;
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
