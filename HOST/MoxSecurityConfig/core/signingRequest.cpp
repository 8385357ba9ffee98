#include "core/signingRequest.h"

#include "core/auditScope.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <QFile>

namespace {

using X509ReqPtr = std::unique_ptr<X509_REQ, SslDeleter<X509_REQ, X509_REQ_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, SslDeleter<X509_NAME, X509_NAME_free>>;
using ExtensionsPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), void (*)(STACK_OF(X509_EXTENSION)*)>;

void freeExtensions(STACK_OF(X509_EXTENSION) * extensions)
{
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
}

int passphraseCallback(char* buffer, int size, int, void* user)
{
    const QByteArray& phrase = *static_cast<const QByteArray*>(user);
    const int n = qMin(size, phrase.size());
    memcpy(buffer, phrase.constData(), size_t(n));
    return n;
}

QString entry(const X509_NAME* name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return QString();
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (n < 0)
        return QString();
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
    OPENSSL_free(utf8);
    return text;
}

void altNames(X509* certificate, CertificateRequest& names)
{
    GeneralNamesPtr general(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; general && i < sk_GENERAL_NAME_num(general.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(general.get(), i);
        if (name->type == GEN_URI && names.uri.isEmpty()) {
            names.uri = QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.ia5)),
                                          ASN1_STRING_length(name->d.ia5));
        } else if (name->type == GEN_DNS) {
            names.dnsNames << QString::fromUtf8(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.ia5)),
                ASN1_STRING_length(name->d.ia5));
        } else if (name->type == GEN_IPADD) {
            const unsigned char* b = ASN1_STRING_get0_data(name->d.ip);
            const int length = ASN1_STRING_length(name->d.ip);
            QStringList parts;
            if (length == 4) {
                for (int k = 0; k < 4; ++k)
                    parts << QString::number(b[k]);
                names.ipAddresses << parts.join(QLatin1Char('.'));
            } else if (length == 16) {
                for (int k = 0; k < 16; k += 2)
                    parts << QString::number((b[k] << 8) | b[k + 1], 16);
                names.ipAddresses << parts.join(QLatin1Char(':'));
            }
        }
    }
}

bool addEntry(X509_NAME* name, const char* field, const QString& value)
{
    if (value.isEmpty())
        return true;
    const QByteArray utf8 = value.toUtf8();
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(utf8.constData()), utf8.size(),
                                      -1, 0) == 1;
}

} // namespace

EvpPkeyPtr SigningRequest::readKey(const QString& path, const QString& passphrase, QString* error)
{
    QByteArray bytes;
    if (!FileSafety::readRegular(path, bytes, error))
        return nullptr;
    QByteArray phrase = passphrase.toUtf8();
    BioPtr bio = memoryBio(bytes);
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passphraseCallback, &phrase));
    if (!key) {
        bio = memoryBio(bytes);
        key.reset(d2i_PrivateKey_bio(bio.get(), nullptr));
    }
    if (!key && error)
        *error = tr("Cannot read the key %1: %2").arg(path, takeSslError());
    takeSslError();
    return key;
}

bool SigningRequest::names(const QString& certPath, const CertificateRequest& overrides,
                           bool overrideAltNames, CertificateRequest& names, QString* error)
{
    names = CertificateRequest();
    names.mode = overrides.mode;
    names.digest = overrides.digest;
    QByteArray bytes;
    QString readError;
    if (!certPath.isEmpty() && QFile::exists(certPath)) {
        if (!FileSafety::readRegular(certPath, bytes, &readError)) {
            *error = readError;
            return false;
        }
        BioPtr bio = memoryBio(bytes);
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            bio = memoryBio(bytes);
            certificate.reset(d2i_X509_bio(bio.get(), nullptr));
        }
        takeSslError();
        if (!certificate) {
            *error = tr("The installed certificate %1 cannot be read.").arg(certPath);
            return false;
        }
        const X509_NAME* subject = X509_get_subject_name(certificate.get());
        names.country = entry(subject, NID_countryName);
        names.state = entry(subject, NID_stateOrProvinceName);
        names.locality = entry(subject, NID_localityName);
        names.organization = entry(subject, NID_organizationName);
        names.unit = entry(subject, NID_organizationalUnitName);
        names.commonName = entry(subject, NID_commonName);
        if (overrides.mode == CertificateRequest::Mode::OpcUa)
            altNames(certificate.get(), names);
    }
    auto over = [](QString& field, const QString& value) {
        if (!value.isEmpty())
            field = value;
    };
    over(names.country, overrides.country);
    over(names.state, overrides.state);
    over(names.locality, overrides.locality);
    over(names.organization, overrides.organization);
    over(names.unit, overrides.unit);
    over(names.commonName, overrides.commonName);
    if (overrideAltNames) {
        names.uri = overrides.uri;
        names.dnsNames = overrides.dnsNames;
        names.ipAddresses = overrides.ipAddresses;
    }
    const std::pair<const char*, const QString*> required[] = {{"--country", &names.country},
                                                               {"--state", &names.state},
                                                               {"--locality", &names.locality},
                                                               {"--organization", &names.organization},
                                                               {"--common-name", &names.commonName}};
    for (const auto& field : required) {
        if (field.second->isEmpty()) {
            *error = tr("No certificate is installed to take the subject from: %1 is required.")
                         .arg(QLatin1String(field.first));
            return false;
        }
    }
    return true;
}

QByteArray SigningRequest::make(const CertificateRequest& names, EVP_PKEY* key, QString* error)
{
    X509ReqPtr request(X509_REQ_new());
    X509NamePtr subject(X509_NAME_new());
    bool ok = request && subject && X509_REQ_set_version(request.get(), 0) == 1 &&
              addEntry(subject.get(), "C", names.country) && addEntry(subject.get(), "ST", names.state) &&
              addEntry(subject.get(), "L", names.locality) &&
              addEntry(subject.get(), "O", names.organization) && addEntry(subject.get(), "OU", names.unit) &&
              addEntry(subject.get(), "CN", names.commonName) &&
              X509_REQ_set_subject_name(request.get(), subject.get()) == 1 &&
              X509_REQ_set_pubkey(request.get(), key) == 1;
    const QStringList alt = names.subjectAltNames();
    if (ok && !alt.isEmpty()) {
        ExtensionsPtr extensions(sk_X509_EXTENSION_new_null(), freeExtensions);
        const QByteArray value = alt.join(QLatin1Char(',')).toUtf8();
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, value.constData());
        ok = extension && sk_X509_EXTENSION_push(extensions.get(), extension) > 0;
        if (!ok)
            X509_EXTENSION_free(extension);
        ok = ok && X509_REQ_add_extensions(request.get(), extensions.get()) == 1;
    }
    const EVP_MD* digest = EVP_get_digestbyname(names.digest.isEmpty() ? "sha256" : names.digest.toLatin1());
    ok = ok && digest && X509_REQ_sign(request.get(), key, digest) > 0;
    BioPtr out(BIO_new(BIO_s_mem()));
    ok = ok && PEM_write_bio_X509_REQ(out.get(), request.get()) == 1;
    if (!ok) {
        *error = tr("Cannot make the signing request: %1").arg(takeSslError());
        return QByteArray();
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QByteArray(data, int(size));
}

EvpPkeyPtr SigningRequest::makePendingKey(const QString& keyPath, int bits, const QString& passphrase,
                                          const FileSafety::Ownership& ownership, QString* error,
                                          Problems* warnings)
{
    AuditScope audit({QStringLiteral("cert csr"), {pendingKeyPath(keyPath)}, {}});
    EvpPkeyPtr key = writePendingKey(keyPath, bits, passphrase, ownership, error);
    if (const Problem warning = audit.finish(bool(key), bool(key), key ? QString() : *error);
        !warning.message.isEmpty() && warnings)
        warnings->append(warning);
    return key;
}

EvpPkeyPtr SigningRequest::writePendingKey(const QString& keyPath, int bits, const QString& passphrase,
                                           const FileSafety::Ownership& ownership, QString* error)
{
    EvpPkeyPtr key(EVP_RSA_gen(unsigned(bits)));
    BioPtr out(BIO_new(BIO_s_mem()));
    QByteArray phrase = passphrase.toUtf8();
    const EVP_CIPHER* cipher = phrase.isEmpty() ? nullptr : EVP_aes_256_cbc();
    if (!key || !out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), cipher,
                                 reinterpret_cast<unsigned char*>(phrase.data()), phrase.size(), nullptr,
                                 nullptr) != 1) {
        *error = tr("Cannot generate the new key: %1").arg(takeSslError());
        return nullptr;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    FileSafety::Ownership secret = ownership;
    secret.fileMode = 0600;
    if (!FileSafety::writeAtomically(pendingKeyPath(keyPath), QByteArray(data, int(size)), secret, error))
        return nullptr;
    return key;
}

EvpPkeyPtr SigningRequest::signingKey(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode,
                                      bool newKey, int bits, QString* error, Problems* warnings)
{
    const bool opcUa = mode == CertificateRequest::Mode::OpcUa;
    const PathState& key = opcUa ? snapshot.opcUaKey : snapshot.coreKey;
    const QString passphrase = opcUa ? snapshot.passphrase() : QString();
    if (!newKey)
        return readKey(key.path, passphrase, error);
    if (bits == 0) {
        QString unread;
        const EvpPkeyPtr installed = key.exists ? readKey(key.path, passphrase, &unread) : nullptr;
        bits = installed ? EVP_PKEY_bits(installed.get()) : 2048;
    }
    return makePendingKey(key.path, bits, passphrase,
                          FileSafety::ownershipFrom(key.exists ? key.path : snapshot.configPath), error,
                          warnings);
}
