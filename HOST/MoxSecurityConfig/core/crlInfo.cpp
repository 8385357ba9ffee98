#include "core/crlInfo.h"

#include "core/sslPointers.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <ctime>

namespace {

QDateTime fromAsn1Time(const ASN1_TIME* time)
{
    struct tm tm = {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return QDateTime();
    return QDateTime(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                     QTime(tm.tm_hour, tm.tm_min, tm.tm_sec), Qt::UTC);
}

QString commonName(const X509_NAME* name)
{
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0)
        return QString();
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (length < 0)
        return QString();
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    OPENSSL_free(utf8);
    return text;
}

QString oneLine(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QString();
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, int(length));
}

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
    info.issuerText = oneLine(issuer);
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
    ERR_clear_error();
    return true;
}
