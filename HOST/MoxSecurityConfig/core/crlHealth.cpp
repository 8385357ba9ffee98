#include "core/crlHealth.h"

#include "core/asn1Text.h"
#include "core/auditScope.h"
#include "core/crlInfo.h"
#include "core/fileSafety.h"
#include "core/sslPointers.h"
#include "core/trustFolder.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <map>
#include <vector>

namespace {

using CrlPtr = std::unique_ptr<X509_CRL, SslDeleter<X509_CRL, X509_CRL_free>>;

X509Ptr readCertificate(const QByteArray& bytes)
{
    if (bytes.contains("-----BEGIN ")) {
        BioPtr bio = memoryBio(bytes);
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    return X509Ptr(d2i_X509(nullptr, &in, bytes.size()));
}

CrlPtr readCrl(const QByteArray& bytes)
{
    if (bytes.contains("-----BEGIN ")) {
        BioPtr bio = memoryBio(bytes);
        return CrlPtr(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    return CrlPtr(d2i_X509_CRL(nullptr, &in, bytes.size()));
}

EvpPkeyPtr readKey(const QByteArray& bytes, const QString& passphrase)
{
    QByteArray phrase = passphrase.toUtf8();
    EvpPkeyPtr key;
    if (bytes.contains("-----BEGIN ")) {
        BioPtr bio = memoryBio(bytes);
        // With no callback libcrypto takes the last argument as the pass phrase itself.
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, phrase.data()));
    } else {
        const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
        key.reset(d2i_AutoPrivateKey(nullptr, &in, bytes.size()));
    }
    phrase.fill('\0');
    return key;
}

struct Ca
{
    TrustStore::Entry entry;
    X509Ptr certificate;
    bool hasCrl = false;
    QDateTime latestNextUpdate; // of its CRLs; invalid while none names one
    bool crlWithoutNextUpdate = false;
};

// A folder's file by its name, never through a link (the folders are written by others).
class FolderReader
{
public:
    bool read(const TrustStore::Entry& entry, QByteArray& data)
    {
        const QString folder = entry.path.left(entry.path.size() - entry.fileName.size() - 1);
        auto& opened = m_folders[folder];
        if (!opened)
            opened = std::make_unique<TrustFolder>(folder);
        QString why;
        return !entry.link && opened->isOpen() && opened->read(entry.nameBytes(), data, why);
    }

private:
    std::map<QString, std::unique_ptr<TrustFolder>> m_folders;
};

} // namespace

Problems CrlHealth::check(const QList<TrustStore::Entry>& entries, const QDateTime& now)
{
    FolderReader reader;
    std::vector<Ca> cas;
    QStringList seen; // a CA in both the issuers and the trust folder is one CA
    for (const TrustStore::Entry& entry : entries) {
        QByteArray bytes;
        if (entry.kind != TrustStore::Kind::CaCertificate || entry.folder == TrustStore::Folder::Rejected ||
            seen.contains(entry.thumbprint) || !reader.read(entry, bytes))
            continue;
        X509Ptr certificate = readCertificate(bytes);
        if (!certificate)
            continue;
        seen << entry.thumbprint;
        Ca ca;
        ca.entry = entry;
        ca.certificate = std::move(certificate);
        cas.push_back(std::move(ca));
    }
    Problems warnings;
    for (const TrustStore::Entry& entry : entries) {
        QByteArray bytes;
        if (entry.kind != TrustStore::Kind::Crl || entry.folder != TrustStore::Folder::Revocation ||
            !reader.read(entry, bytes))
            continue;
        CrlPtr crl = readCrl(bytes);
        if (!crl)
            continue;
        bool signedByKnown = false;
        for (Ca& ca : cas) {
            if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_subject_name(ca.certificate.get())) !=
                    0 ||
                X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.certificate.get())) != 1)
                continue;
            signedByKnown = ca.hasCrl = true;
            if (!entry.validUntil.isValid())
                ca.crlWithoutNextUpdate = true;
            else if (!ca.latestNextUpdate.isValid() || entry.validUntil > ca.latestNextUpdate)
                ca.latestNextUpdate = entry.validUntil;
        }
        ERR_clear_error();
        if (!signedByKnown)
            warnings << Problem{
                tr("The CRL %1 is signed by no CA of the issuers or trust folder.").arg(entry.fileName),
                entry.path};
    }
    for (const Ca& ca : cas) {
        if (!ca.hasCrl)
            warnings << Problem{tr("The CA %1 has no CRL in the revocation folder; OPC UA servers refuse the "
                                   "clients it signed.")
                                    .arg(ca.entry.name),
                                ca.entry.path};
        else if (!ca.crlWithoutNextUpdate && ca.latestNextUpdate < now)
            warnings << Problem{tr("The CRL of the CA %1 expired on %2.")
                                    .arg(ca.entry.name, ca.latestNextUpdate.toString(Qt::ISODate)),
                                ca.entry.path};
    }
    return warnings;
}

ActionResult CrlHealth::create(const QString& caCertificatePath, const QString& caKeyPath,
                               const QString& passphrase, int days, const QString& revocationFolder,
                               QString* written, bool dryRun)
{
    if (dryRun)
        return createNow(caCertificatePath, caKeyPath, passphrase, days, revocationFolder, written, true);
    AuditScope audit({QStringLiteral("trust crl-create"), {}, AuditTrail::thumbprintOf(caCertificatePath)});
    QString path;
    const ActionResult result =
        createNow(caCertificatePath, caKeyPath, passphrase, days, revocationFolder, &path, false);
    audit.event().files = QStringList{path.isEmpty() ? revocationFolder : path};
    if (written)
        *written = path;
    return audit.finish(result);
}

ActionResult CrlHealth::createNow(const QString& caCertificatePath, const QString& caKeyPath,
                                  const QString& passphrase, int days, const QString& revocationFolder,
                                  QString* written, bool dryRun)
{
    ActionResult result;
    const auto fail = [&result](const QString& message, const QString& cause) {
        result.ok = false;
        result.problems << Problem{message, cause};
        return result;
    };
    QByteArray certificateBytes, keyBytes;
    QString why;
    if (!FileSafety::readRegular(caCertificatePath, certificateBytes, &why, TrustStore::s_maxFileSize))
        return fail(tr("The CA certificate cannot be read."), why);
    X509Ptr ca = readCertificate(certificateBytes);
    if (!ca)
        return fail(tr("%1 holds no certificate.").arg(caCertificatePath), takeSslError());
    if (X509_check_ca(ca.get()) == 0)
        return fail(tr("%1 is no CA certificate.").arg(caCertificatePath),
                    tr("A CRL must be signed by the CA that signed the clients."));
    if (!FileSafety::readRegular(caKeyPath, keyBytes, &why, TrustStore::s_maxFileSize))
        return fail(tr("The CA key cannot be read."), why);
    EvpPkeyPtr key = readKey(keyBytes, passphrase);
    keyBytes.fill('\0');
    if (!key)
        return fail(tr("The CA key %1 does not open.").arg(caKeyPath),
                    tr("Wrong pass phrase or no private key: %1").arg(takeSslError()));
    if (X509_check_private_key(ca.get(), key.get()) != 1)
        return fail(
            tr("The key %1 does not belong to the CA certificate %2.").arg(caKeyPath, caCertificatePath),
            takeSslError());

    CrlPtr crl(X509_CRL_new());
    std::unique_ptr<ASN1_TIME, SslDeleter<ASN1_TIME, ASN1_TIME_free>> last(X509_gmtime_adj(nullptr, 0)),
        next(X509_gmtime_adj(nullptr, long(days) * 24 * 3600));
    // Ed25519 and Ed448 sign without a separate digest.
    int nid = NID_undef;
    const EVP_MD* digest =
        EVP_PKEY_get_default_digest_nid(key.get(), &nid) > 0 && nid == NID_undef ? nullptr : EVP_sha256();
    if (!crl || !last || !next || X509_CRL_set_version(crl.get(), 1) != 1 ||
        X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.get())) != 1 ||
        X509_CRL_set1_lastUpdate(crl.get(), last.get()) != 1 ||
        X509_CRL_set1_nextUpdate(crl.get(), next.get()) != 1 ||
        X509_CRL_sign(crl.get(), key.get(), digest) <= 0)
        return fail(tr("The CRL cannot be signed."), takeSslError());
    const int length = i2d_X509_CRL(crl.get(), nullptr);
    QByteArray der(length > 0 ? length : 0, Qt::Uninitialized);
    unsigned char* out = reinterpret_cast<unsigned char*>(der.data());
    if (length <= 0 || i2d_X509_CRL(crl.get(), &out) != length)
        return fail(tr("The CRL cannot be encoded."), takeSslError());

    TrustFolder folder(revocationFolder);
    if (!folder.isOpen())
        return fail(tr("The revocation folder cannot be opened."),
                    folder.openFailure(TrustStore::Folder::Revocation));
    unsigned char sha1[EVP_MAX_MD_SIZE];
    unsigned int sha1Length = 0;
    X509_digest(ca.get(), EVP_sha1(), sha1, &sha1Length);
    const QString thumbprint = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(sha1), int(sha1Length)).toHex().toUpper());
    QString name =
        TrustStore::fileNameFor(Asn1Text::commonName(X509_get_subject_name(ca.get())), thumbprint, true);
    name.chop(4); // ".der"
    name += QLatin1String(".crl");
    const QByteArray nameBytes = name.toUtf8();
    if (written)
        *written = revocationFolder + QLatin1Char('/') + name;
    if (dryRun)
        return result;
    bool exists = false;
    const bool replace = folder.updatesCrl(nameBytes, der);
    if (!folder.place(nameBytes, der, exists, why, replace))
        return fail(exists ? tr("%1 is taken by another file in the revocation folder.").arg(name)
                           : tr("The CRL cannot be written into the revocation folder."),
                    why);
    result.changed = true;
    return result;
}
