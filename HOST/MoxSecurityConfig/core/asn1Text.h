// libcrypto's names, strings and times as Qt text, for the core's certificate and CRL readers.
#pragma once

#include <QDateTime>
#include <QString>

#include <openssl/x509.h>

namespace Asn1Text {

QString fromAsn1(const ASN1_STRING* text);     // UTF-8 whatever the string type; empty on failure
QDateTime fromAsn1Time(const ASN1_TIME* time); // UTC; null for a missing or broken time
QString commonName(const X509_NAME* name);     // the first CN, empty when none
QString nameText(const X509_NAME* name);       // one line, RFC 2253 order, UTF-8 kept

} // namespace Asn1Text
