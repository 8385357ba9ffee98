#include "core/crlInfo.h"

#include "core/asn1Text.h"
#include "core/sslPointers.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <ctime>

namespace {

using namespace Asn1Text;

} // namespace

bool CrlInfo::parse(const QByteArray& bytes, CrlInfo& info, QString* error)
{
    info = CrlInfo();
    info.der = !bytes.contains("-----BEGIN ");
    std::unique_ptr<X509_CRL, SslDeleter<X509_CRL, X509_CRL_free>> crl;
    if (info.der) {
        const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
        crl.reset(d2i_X509_CRL(nullptr, &in, bytes.size()));
    } else {
        BioPtr bio = memoryBio(bytes);
        crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!crl) {
        const QString reason = takeSslError();
        if (error)
            *error = (info.der ? tr("No DER CRL: %1") : tr("No PEM CRL: %1"))
                         .arg(reason.isEmpty() ? tr("unreadable") : reason);
        return false;
    }
    const X509_NAME* issuer = X509_CRL_get_issuer(crl.get());
    info.issuerText = nameText(issuer);
    info.issuerName = commonName(issuer);
    if (info.issuerName.isEmpty())
        info.issuerName = info.issuerText;
    info.lastUpdate = fromAsn1Time(X509_CRL_get0_lastUpdate(crl.get()));
    info.nextUpdate = fromAsn1Time(X509_CRL_get0_nextUpdate(crl.get()));
    const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
    info.revoked = revoked ? sk_X509_REVOKED_num(revoked) : 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_CRL_digest(crl.get(), EVP_sha1(), digest, &length) == 1)
        info.sha1Thumbprint = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
    // What an import writes: the parsed list only, never whatever else its file held.
    if (info.der) {
        const int length = i2d_X509_CRL(crl.get(), nullptr);
        if (length > 0) {
            info.encoded = QByteArray(length, Qt::Uninitialized);
            unsigned char* out = reinterpret_cast<unsigned char*>(info.encoded.data());
            i2d_X509_CRL(crl.get(), &out);
        }
    } else {
        BioPtr out(BIO_new(BIO_s_mem()));
        char* data = nullptr;
        if (out && PEM_write_bio_X509_CRL(out.get(), crl.get()) == 1) {
            const long length = BIO_get_mem_data(out.get(), &data);
            info.encoded = QByteArray(data, int(length));
        }
    }
    ERR_clear_error();
    return true;
}
