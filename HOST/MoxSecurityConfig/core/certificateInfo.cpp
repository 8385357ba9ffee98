#include "core/certificateInfo.h"

#include "core/asn1Text.h"
#include "core/fileSafety.h"
#include "core/sslPointers.h"

#include <QJsonArray>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <arpa/inet.h>
#include <ctime>

QString takeSslError()
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? QString::fromLatin1(reason) : QString();
}

namespace {

using namespace Asn1Text;

QString objectName(const ASN1_OBJECT* object, bool shortName)
{
    const int nid = OBJ_obj2nid(object);
    if (nid != NID_undef)
        return QString::fromLatin1(shortName ? OBJ_nid2sn(nid) : OBJ_nid2ln(nid));
    char buffer[128];
    OBJ_obj2txt(buffer, sizeof(buffer), object, 1);
    return QString::fromLatin1(buffer);
}

CertificateInfo::Fields nameFields(const X509_NAME* name)
{
    CertificateInfo::Fields fields;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        fields << qMakePair(objectName(X509_NAME_ENTRY_get_object(entry), true),
                            fromAsn1(X509_NAME_ENTRY_get_data(entry)));
    }
    return fields;
}

QString hexDigest(const X509* x, const EVP_MD* md)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(x, md, digest, &length) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
}

QString serialOf(const X509* x)
{
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
    char* hex = number ? BN_bn2hex(number) : nullptr;
    const QString serial = hex ? QString::fromLatin1(hex) : QString();
    OPENSSL_free(hex);
    BN_free(number);
    return serial;
}

void readKey(EVP_PKEY* key, CertificateInfo& info)
{
    if (!key)
        return;
    info.keyBits = EVP_PKEY_get_bits(key);
    const int id = EVP_PKEY_get_base_id(key);
    if (id == EVP_PKEY_RSA) {
        info.keyType = QStringLiteral("RSA");
    } else if (id == EVP_PKEY_EC) {
        char group[80] = {};
        size_t length = 0;
        info.keyType = QStringLiteral("EC");
        if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), &length))
            info.keyType += QStringLiteral(" (%1)").arg(QString::fromLatin1(group));
    } else {
        const char* name = EVP_PKEY_get0_type_name(key);
        info.keyType = name ? QString::fromLatin1(name) : QStringLiteral("unknown");
    }
}

// The certificate's own SubjectPublicKeyInfo: re-encoding the decoded key goes through the provider's
// encoders, which cost more than the rest of the parse.
void readPublicKeyDer(X509* x, CertificateInfo& info)
{
    const X509_PUBKEY* key = X509_get_X509_PUBKEY(x);
    const int length = key ? i2d_X509_PUBKEY(key, nullptr) : 0;
    if (length > 0) {
        info.publicKeyDer.resize(length);
        unsigned char* out = reinterpret_cast<unsigned char*>(info.publicKeyDer.data());
        i2d_X509_PUBKEY(key, &out);
    }
}

void readAltNames(const X509* x, CertificateInfo& info)
{
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_URI) {
            info.uris << fromAsn1(name->d.uniformResourceIdentifier);
        } else if (name->type == GEN_DNS) {
            info.dnsNames << fromAsn1(name->d.dNSName);
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            char text[INET6_ADDRSTRLEN] = {};
            const int family = ip->length == 4 ? AF_INET : ip->length == 16 ? AF_INET6 : 0;
            if (family && inet_ntop(family, ip->data, text, sizeof(text)))
                info.ipAddresses << QString::fromLatin1(text);
        }
    }
}

void readUsages(X509* x, CertificateInfo& info)
{
    static const struct
    {
        uint32_t bit;
        const char* name;
    } usages[] = {{KU_DIGITAL_SIGNATURE, "Digital Signature"},
                  {KU_NON_REPUDIATION, "Non Repudiation"},
                  {KU_KEY_ENCIPHERMENT, "Key Encipherment"},
                  {KU_DATA_ENCIPHERMENT, "Data Encipherment"},
                  {KU_KEY_AGREEMENT, "Key Agreement"},
                  {KU_KEY_CERT_SIGN, "Certificate Sign"},
                  {KU_CRL_SIGN, "CRL Sign"},
                  {KU_ENCIPHER_ONLY, "Encipher Only"},
                  {KU_DECIPHER_ONLY, "Decipher Only"}};
    // Also fills the extension cache that the CA flag and the self-signed test read.
    const uint32_t flags = X509_get_extension_flags(x);
    if (flags & EXFLAG_KUSAGE) {
        const uint32_t bits = X509_get_key_usage(x);
        for (const auto& usage : usages) {
            if (bits & usage.bit)
                info.keyUsage << QString::fromLatin1(usage.name);
        }
    }
    ExtKeyUsagePtr extended(
        static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr)));
    for (int i = 0; extended && i < sk_ASN1_OBJECT_num(extended.get()); ++i)
        info.extendedKeyUsage << objectName(sk_ASN1_OBJECT_value(extended.get(), i), false);
    info.isCa = (flags & EXFLAG_CA) != 0;
    info.selfSigned = X509_self_signed(x, 1) == 1;
}

void readSignature(const X509* x, CertificateInfo& info)
{
    const int nid = X509_get_signature_nid(x);
    info.signatureAlgorithm = QString::fromLatin1(OBJ_nid2ln(nid));
    int digest = NID_undef, key = NID_undef;
    if (OBJ_find_sigid_algs(nid, &digest, &key))
        info.signatureSha1 =
            digest == NID_sha1 || digest == NID_md5 || digest == NID_md4 || digest == NID_md2;
}

QString dateText(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) : QString();
}

} // namespace

qint64 CertificateInfo::daysLeft(const QDateTime& now) const
{
    const qint64 seconds = now.secsTo(notAfter);
    return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
}

bool CertificateInfo::parse(const QByteArray& bytes, CertificateInfo& info, QString* error)
{
    info = CertificateInfo();
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (bytes.size() > s_maxFileSize)
        return fail(tr("The certificate is larger than 1 MB."));
    // PEM is text with a header line; anything else is taken as DER.
    info.der = !bytes.contains("-----BEGIN ");
    X509Ptr x;
    if (info.der) {
        const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
        x.reset(d2i_X509(nullptr, &in, bytes.size()));
    } else {
        BioPtr bio = memoryBio(bytes);
        x.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!x) {
        const QString reason = takeSslError();
        return fail((info.der ? tr("No DER certificate: %1") : tr("No PEM certificate: %1"))
                        .arg(reason.isEmpty() ? tr("unreadable") : reason));
    }

    info.subject = nameFields(X509_get_subject_name(x.get()));
    info.issuer = nameFields(X509_get_issuer_name(x.get()));
    info.subjectText = nameText(X509_get_subject_name(x.get()));
    info.issuerText = nameText(X509_get_issuer_name(x.get()));
    info.serial = serialOf(x.get());
    info.notBefore = fromAsn1Time(X509_get0_notBefore(x.get()));
    info.notAfter = fromAsn1Time(X509_get0_notAfter(x.get()));
    readKey(X509_get0_pubkey(x.get()), info);
    readPublicKeyDer(x.get(), info);
    readSignature(x.get(), info);
    readAltNames(x.get(), info);
    readUsages(x.get(), info);
    info.sha1Thumbprint = hexDigest(x.get(), EVP_sha1());
    info.sha256Fingerprint = hexDigest(x.get(), EVP_sha256());
    ERR_clear_error(); // the lookups above may leave harmless entries, such as a missing extension
    return true;
}

bool CertificateInfo::readFile(const QString& path, CertificateInfo& info, QString* error)
{
    QByteArray bytes;
    QString why;
    if (!FileSafety::readRegular(path, bytes, &why, s_maxFileSize)) {
        info = CertificateInfo();
        if (error)
            *error = why;
        return false;
    }
    if (parse(bytes, info, &why))
        return true;
    if (error)
        *error = path + QStringLiteral(": ") + why;
    return false;
}

QList<QPair<QString, QString>> CertificateInfo::rows(const QDateTime& now) const
{
    auto fields = [](const Fields& name) {
        QStringList lines;
        for (const auto& field : name)
            lines << field.first + QStringLiteral(" = ") + field.second;
        return lines.join(QLatin1Char('\n'));
    };
    auto list = [](const QStringList& items) { return items.isEmpty() ? tr("none") : items.join(", "); };
    const qint64 days = daysLeft(now);
    QString left;
    if (now < notBefore)
        left = tr("not valid yet");
    else if (days < 0 || now > notAfter)
        left = tr("expired");
    else
        left = QString::number(days);
    return {{tr("Subject"), fields(subject)},
            {tr("Issuer"), fields(issuer)},
            {tr("Serial number"), serial},
            {tr("Valid from"), dateText(notBefore)},
            {tr("Valid until"), dateText(notAfter)},
            {tr("Days left"), left},
            {tr("Public key"), tr("%1, %2 bits").arg(keyType).arg(keyBits)},
            {tr("Signature algorithm"), signatureAlgorithm},
            {tr("URI"), list(uris)},
            {tr("DNS names"), list(dnsNames)},
            {tr("IP addresses"), list(ipAddresses)},
            {tr("Key usage"), list(keyUsage)},
            {tr("Extended key usage"), list(extendedKeyUsage)},
            {tr("Certificate authority"), isCa ? tr("yes") : tr("no")},
            {tr("Self-signed"), selfSigned ? tr("yes") : tr("no")},
            {tr("SHA-1 thumbprint"), sha1Thumbprint},
            {tr("SHA-256 fingerprint"), sha256Fingerprint},
            {tr("Encoding"), der ? QStringLiteral("DER") : QStringLiteral("PEM")}};
}

QJsonObject CertificateInfo::toJson(const QDateTime& now) const
{
    auto fields = [](const Fields& name) {
        QJsonArray array;
        for (const auto& field : name)
            array.append(QJsonObject{{"field", field.first}, {"value", field.second}});
        return array;
    };
    return QJsonObject{{"encoding", der ? "DER" : "PEM"},
                       {"subject", subjectText},
                       {"subjectFields", fields(subject)},
                       {"issuer", issuerText},
                       {"issuerFields", fields(issuer)},
                       {"serial", serial},
                       {"notBefore", notBefore.toString(Qt::ISODate)},
                       {"notAfter", notAfter.toString(Qt::ISODate)},
                       {"daysLeft", double(daysLeft(now))},
                       {"keyType", keyType},
                       {"keyBits", keyBits},
                       {"signatureAlgorithm", signatureAlgorithm},
                       {"uris", QJsonArray::fromStringList(uris)},
                       {"dnsNames", QJsonArray::fromStringList(dnsNames)},
                       {"ipAddresses", QJsonArray::fromStringList(ipAddresses)},
                       {"keyUsage", QJsonArray::fromStringList(keyUsage)},
                       {"extendedKeyUsage", QJsonArray::fromStringList(extendedKeyUsage)},
                       {"ca", isCa},
                       {"selfSigned", selfSigned},
                       {"sha1Thumbprint", sha1Thumbprint},
                       {"sha256Fingerprint", sha256Fingerprint}};
}

Problems CertificateInfo::serverWarnings(const QString& applicationUri, const QString& hostName,
                                         const QDateTime& now, int warnDays) const
{
    Problems warnings;
    // BadCertificateUriInvalid: the server's URI must be the certificate's.
    if (!applicationUri.isEmpty() && !uris.contains(applicationUri)) {
        warnings << Problem{
            uris.isEmpty() ? tr("The certificate holds no URI, APPLICATION_URI is %1.").arg(applicationUri)
                           : tr("The certificate's URI %1 differs from APPLICATION_URI %2.")
                                 .arg(uris.join(", "), applicationUri),
            {}};
    }
    if (now < notBefore)
        warnings << Problem{tr("The certificate is not valid before %1.").arg(dateText(notBefore)), {}};
    else if (now > notAfter)
        warnings << Problem{tr("The certificate expired on %1.").arg(dateText(notAfter)), {}};
    else if (now.addDays(warnDays) > notAfter)
        warnings << Problem{
            tr("The certificate expires on %1, in %2 days.").arg(dateText(notAfter)).arg(daysLeft(now)), {}};
    if (keyType.startsWith(QLatin1String("RSA")) && keyBits < 2048)
        warnings << Problem{
            tr("The certificate's key has %1 bits, under the 2048 that Basic256Sha256 needs.").arg(keyBits),
            {}};
    if (signatureSha1)
        warnings << Problem{
            tr("The certificate is signed with %1, too weak for Basic256Sha256.").arg(signatureAlgorithm),
            {}};
    bool hostListed = false;
    for (const QString& name : dnsNames)
        hostListed = hostListed || name.compare(hostName, Qt::CaseInsensitive) == 0;
    if (!hostName.isEmpty() && !hostListed)
        warnings << Problem{tr("The host name %1 is not among the certificate's DNS names (%2).")
                                .arg(hostName, dnsNames.isEmpty() ? tr("none") : dnsNames.join(", ")),
                            {}};
    return warnings;
}
