#include "core/asn1Text.h"

#include "core/sslPointers.h"

#include <ctime>

namespace Asn1Text {

QString fromAsn1(const ASN1_STRING* text)
{
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0)
        return QString();
    const QString result = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    OPENSSL_free(utf8);
    return result;
}

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
    return index < 0 ? QString() : fromAsn1(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

QString nameText(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QString();
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, int(length));
}

} // namespace Asn1Text
