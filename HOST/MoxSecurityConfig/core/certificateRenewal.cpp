#include "core/certificateRenewal.h"

#include "core/auditScope.h"
#include "core/backup.h"
#include "core/fileSafety.h"
#include "core/keyPairUpdate.h"
#include "core/posixIo.h"
#include "core/sslPointers.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Phrase
{
    QByteArray bytes;
};

int phraseCallback(char* buffer, int size, int, void* data)
{
    const QByteArray& bytes = static_cast<Phrase*>(data)->bytes;
    if (bytes.size() > size)
        return -1;
    std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
    return bytes.size();
}

X509Ptr readCertificate(const QByteArray& bytes)
{
    BioPtr bio = memoryBio(bytes);
    if (bytes.contains("-----BEGIN "))
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    return X509Ptr(d2i_X509_bio(bio.get(), nullptr));
}

EvpPkeyPtr readKey(const QByteArray& bytes, const QString& passphrase)
{
    Phrase phrase{passphrase.toUtf8()};
    BioPtr bio = memoryBio(bytes);
    if (bytes.contains("-----BEGIN "))
        return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, phraseCallback, &phrase));
    return EvpPkeyPtr(d2i_PrivateKey_bio(bio.get(), nullptr));
}

QString thumbprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha1(), digest, &length) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
}

QDateTime toDateTime(const ASN1_TIME* time)
{
    struct tm tm = {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return QDateTime();
    return QDateTime(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                     QTime(tm.tm_hour, tm.tm_min, tm.tm_sec), Qt::UTC);
}

// Random, positive, 159 bits: unique without a serial file to keep.
bool setNewSerial(X509* certificate)
{
    std::unique_ptr<BIGNUM, SslDeleter<BIGNUM, BN_free>> number(BN_new());
    if (!number || BN_rand(number.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1)
        return false;
    ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(number.get(), nullptr);
    const bool ok = serial && X509_set_serialNumber(certificate, serial) == 1;
    ASN1_INTEGER_free(serial);
    return ok;
}

// The key identifiers follow the (possibly new) key, and the issuer is the subject: the renewal is
// self-signed whatever signed the old one.
bool replaceExtension(X509* certificate, int nid, const char* value)
{
    for (int at; (at = X509_get_ext_by_NID(certificate, nid, -1)) >= 0;)
        X509_EXTENSION_free(X509_delete_ext(certificate, at));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool ok = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

const EVP_MD* digestOf(const X509* certificate)
{
    int digest = NID_undef;
    if (OBJ_find_sigid_algs(X509_get_signature_nid(certificate), &digest, nullptr) == 1 &&
        digest != NID_undef) {
        if (const EVP_MD* md = EVP_get_digestbynid(digest))
            return md;
    }
    return EVP_sha256();
}

QByteArray encodeCertificate(X509* certificate, bool pem)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        (pem ? PEM_write_bio_X509(bio.get(), certificate) : i2d_X509_bio(bio.get(), certificate)) != 1)
        return QByteArray();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

QByteArray encodeKey(EVP_PKEY* key, const QString& passphrase)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    const QByteArray phrase = passphrase.toUtf8();
    const EVP_CIPHER* cipher = phrase.isEmpty() ? nullptr : EVP_aes_256_cbc();
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key, cipher, const_cast<char*>(phrase.constData()),
                                              phrase.size(), nullptr, nullptr) != 1)
        return QByteArray();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(size));
}

// A complete, synced temporary beside target with target's owner and mode; its path, or empty with error.
QString writeBeside(const QString& target, const QByteArray& data, QString* error)
{
    struct stat old;
    if (::stat(QFile::encodeName(target).constData(), &old) != 0) {
        *error = CertificateRenewal::tr("Cannot read '%1': %2").arg(target, PosixIo::errorText(errno));
        return QString();
    }
    QString temp;
    const int fd = FileSafety::createTemporary(QFileInfo(target).absolutePath(), QFileInfo(target).fileName(),
                                               temp, error);
    if (fd < 0)
        return QString();
    bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    // The owner may not be ours to give (not root): the mode still is.
    if (ok && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, uid_t(-1), old.st_gid);
    ok = ok && ::fchmod(fd, old.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    const int failure = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(QFile::encodeName(temp).constData());
        *error = CertificateRenewal::tr("Cannot write '%1': %2").arg(temp, PosixIo::errorText(failure));
        return QString();
    }
    return temp;
}

// Hard links of the files in place go into a backup under their own names, so the files themselves stay
// until KeyPairUpdate replaces them.
bool backUp(const ConfigSnapshot& snapshot, const QStringList& paths, const QString& kind,
            ActionResult& result)
{
    QList<QByteArray> entries, names;
    QStringList linked;
    for (const QString& path : paths) {
        QString temp, error;
        const int fd = FileSafety::createTemporary(QFileInfo(path).absolutePath(), QFileInfo(path).fileName(),
                                                   temp, &error);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(QFile::encodeName(temp).constData());
        }
        if (fd < 0 || ::link(QFile::encodeName(path).constData(), QFile::encodeName(temp).constData()) != 0) {
            if (error.isEmpty())
                error = PosixIo::errorText(errno);
            for (const QString& made : linked)
                ::unlink(QFile::encodeName(made).constData());
            result.ok = false;
            result.problems << Problem{CertificateRenewal::tr("Nothing was renewed: the backup failed."),
                                       QStringLiteral("%1: %2").arg(path, error)};
            return false;
        }
        linked << temp;
        entries << QFile::encodeName(QFileInfo(temp).fileName());
        names << QFile::encodeName(QFileInfo(path).fileName());
    }
    const SecurityActions actions(snapshot);
    QString error;
    QStringList used;
    QList<Backup::Item> moved;
    const bool ok = Backup::moveAway(paths, QDateTime::currentDateTime(), used, &error, &moved,
                                     actions.manifestFolder(), entries, names);
    for (const QString& made : linked)
        ::unlink(QFile::encodeName(made).constData()); // what did not move
    result.backups << used;
    QString recordError;
    if (!used.isEmpty() && !Backup::record(actions.manifestFolder(), QFileInfo(used.first()).fileName(), kind,
                                           moved, &recordError))
        result.warnings << Problem{CertificateRenewal::tr("The backup has no manifest; it can only be "
                                                          "restored by hand."),
                                   recordError};
    if (!ok || moved.size() != paths.size()) {
        result.ok = false;
        result.problems << Problem{CertificateRenewal::tr("Nothing was renewed: the backup failed."), error};
        return false;
    }
    for (const QString& backup : used)
        result.problems << Backup::prune(QFileInfo(QFileInfo(backup).absolutePath()).absolutePath(),
                                         snapshot.protectedPaths());
    Backup::dropStale(actions.manifestFolder());
    return true;
}

// The validity asked for, or else that of the old certificate, rounded up to whole days.
int validityDays(const X509* old, int requested)
{
    if (requested > 0)
        return requested;
    int fullDays = 0, seconds = 0;
    if (ASN1_TIME_diff(&fullDays, &seconds, X509_get0_notBefore(old), X509_get0_notAfter(old)) != 1)
        fullDays = 365;
    return qMax(1, fullDays + (seconds > 0 ? 1 : 0));
}

// A copy of the old certificate with a new serial, validity and key, signed by that key; null if any step
// fails.
X509Ptr buildRenewed(X509* old, EVP_PKEY* signer, int days)
{
    X509Ptr renewed(X509_dup(old));
    const bool built = renewed && X509_set_version(renewed.get(), 2) == 1 && setNewSerial(renewed.get()) &&
                       X509_set_issuer_name(renewed.get(), X509_get_subject_name(old)) == 1 &&
                       X509_gmtime_adj(X509_getm_notBefore(renewed.get()), 0) &&
                       X509_time_adj_ex(X509_getm_notAfter(renewed.get()), days, 0, nullptr) &&
                       X509_set_pubkey(renewed.get(), signer) == 1 &&
                       replaceExtension(renewed.get(), NID_subject_key_identifier, "hash") &&
                       (X509_get_ext_by_NID(old, NID_authority_key_identifier, -1) < 0 ||
                        replaceExtension(renewed.get(), NID_authority_key_identifier, "keyid:always")) &&
                       X509_sign(renewed.get(), signer, digestOf(old)) > 0;
    if (!built)
        renewed.reset();
    return renewed;
}

// The new files in place; newKey is empty when the key stays, which is then not written again: the
// certificate alone changes, one rename. What failed, with error set, or empty.
QString putInPlace(const CertificateRenewal::Options& options, const QByteArray& newKey,
                   const QByteArray& keyBytes, const QByteArray& newCert, QString* error)
{
    const bool kept = newKey.isEmpty();
    const QString keyTemp = kept ? QString() : writeBeside(options.keyPath, newKey, error);
    const QString certTemp =
        !kept && keyTemp.isEmpty() ? QString() : writeBeside(options.certPath, newCert, error);
    if (certTemp.isEmpty()) {
        if (!keyTemp.isEmpty())
            ::unlink(QFile::encodeName(keyTemp).constData());
        return CertificateRenewal::tr("Cannot renew: the new files could not be written.");
    }
    if ((kept
             ? KeyPairUpdate::replaceCertificate(certTemp, options.keyPath, options.certPath, keyBytes, error)
             : KeyPairUpdate::install(keyTemp, certTemp, options.keyPath, options.certPath, error)) !=
        KeyPairUpdate::Failed::None)
        return CertificateRenewal::tr("Cannot renew: the new pair could not be put in place.");
    return QString();
}

} // namespace

CertificateRenewal::Outcome CertificateRenewal::renew(const ConfigSnapshot& snapshot, const Options& options)
{
    if (options.dryRun)
        return renewNow(snapshot, options);
    AuditScope audit({QStringLiteral("cert renew"), {options.keyPath, options.certPath}, {}});
    Outcome outcome = renewNow(snapshot, options);
    // A certificate valid for long enough was left alone: nothing was done, so nothing is recorded.
    if (!outcome.result.ok || outcome.due) {
        audit.event().subject = outcome.result.changed ? outcome.newThumbprint : outcome.oldThumbprint;
        outcome.result = audit.finish(outcome.result);
    }
    return outcome;
}

CertificateRenewal::Outcome CertificateRenewal::renewNow(const ConfigSnapshot& snapshot,
                                                         const Options& options)
{
    Outcome outcome;
    ActionResult& result = outcome.result;
    const auto fail = [&](const QString& message, const QString& cause) {
        result.ok = false;
        result.problems << Problem{message, cause};
        return outcome;
    };
    QByteArray certBytes, keyBytes;
    QString error;
    if (!FileSafety::readRegular(options.certPath, certBytes, &error))
        return fail(tr("Cannot renew: the certificate cannot be read."), error);
    if (!FileSafety::readRegular(options.keyPath, keyBytes, &error))
        return fail(tr("Cannot renew: the key cannot be read."), error);
    const X509Ptr old = readCertificate(certBytes);
    if (!old)
        return fail(tr("Cannot renew: '%1' holds no certificate.").arg(options.certPath), takeSslError());
    outcome.oldThumbprint = thumbprint(old.get());
    outcome.oldExpiry = toDateTime(X509_get0_notAfter(old.get()));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (options.withinDays >= 0 && outcome.oldExpiry.isValid() &&
        outcome.oldExpiry > now.addDays(options.withinDays))
        return outcome;

    const EvpPkeyPtr key = readKey(keyBytes, options.passphrase);
    if (!key)
        return fail(tr("Cannot renew: the key '%1' does not open with the configured pass phrase.")
                        .arg(options.keyPath),
                    takeSslError());
    if (X509_check_private_key(old.get(), key.get()) != 1)
        return fail(tr("Cannot renew: the key '%1' does not belong to the certificate.").arg(options.keyPath),
                    takeSslError());

    const int days = validityDays(old.get(), options.days);
    outcome.days = days;

    EvpPkeyPtr fresh;
    if (options.newKey) {
        if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
            return fail(tr("Cannot renew with a new key: the key in place is no RSA key."), options.keyPath);
        fresh.reset(EVP_RSA_gen(unsigned(EVP_PKEY_get_bits(key.get()))));
        if (!fresh)
            return fail(tr("Cannot renew: no new key was made."), takeSslError());
    }
    EVP_PKEY* signer = fresh ? fresh.get() : key.get();

    const X509Ptr renewed = buildRenewed(old.get(), signer, days);
    if (!renewed)
        return fail(tr("Cannot renew: the new certificate could not be made."), takeSslError());
    outcome.newThumbprint = thumbprint(renewed.get());
    outcome.newExpiry = toDateTime(X509_get0_notAfter(renewed.get()));
    outcome.due = true;
    if (options.dryRun)
        return outcome;

    const bool pem = options.certPath.endsWith(QLatin1String(".pem"), Qt::CaseInsensitive);
    const QByteArray newCert = encodeCertificate(renewed.get(), pem);
    const QByteArray newKey = fresh ? encodeKey(fresh.get(), options.newPassphrase) : keyBytes;
    if (newCert.isEmpty() || newKey.isEmpty())
        return fail(tr("Cannot renew: the new files could not be encoded."), takeSslError());

    QStringList kept{options.certPath};
    if (fresh)
        kept.prepend(options.keyPath);
    if (!backUp(snapshot, kept, fresh ? QStringLiteral("key pair") : QStringLiteral("certificate"), result))
        return outcome;
    const QString failed = putInPlace(options, fresh ? newKey : QByteArray(), keyBytes, newCert, &error);
    if (!failed.isEmpty())
        return fail(failed, error);
    result.changed = true;
    return outcome;
}
