#include "core/signedInstall.h"

#include "core/auditScope.h"
#include "core/backup.h"
#include "core/keyPairUpdate.h"
#include "core/posixIo.h"
#include "core/signingRequest.h"
#include "core/trustStore.h"

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using X509StorePtr = std::unique_ptr<X509_STORE, SslDeleter<X509_STORE, X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, SslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;

const char s_uriKey[] = "APPLICATION_URI";

QString firstUri(X509* certificate)
{
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_URI)
            return QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.ia5)),
                                     ASN1_STRING_length(name->d.ia5));
    }
    return QString();
}

QByteArray encode(X509* certificate, bool pem)
{
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!(pem ? PEM_write_bio_X509(out.get(), certificate) : i2d_X509_bio(out.get(), certificate)))
        return QByteArray();
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QByteArray(data, int(size));
}

// A complete, synced temporary beside target holding bytes with ownership's owner and mode, as
// KeyPairUpdate takes it; empty with error set on failure.
QString temporaryFor(const QString& target, const QByteArray& bytes, const FileSafety::Ownership& ownership,
                     QString* error)
{
    QString path;
    const int fd = FileSafety::createTemporary(QFileInfo(target).absolutePath(), QFileInfo(target).fileName(),
                                               path, error);
    if (fd < 0)
        return QString();
    bool ok = PosixIo::writeAll(fd, bytes);
    if (ok && (ownership.uid != uid_t(-1) || ownership.gid != gid_t(-1)))
        ok = ::fchown(fd, ownership.uid, ownership.gid) == 0 || ::geteuid() != 0;
    ok = ok && ::fchmod(fd, ownership.fileMode & 0770) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        *error = SignedInstall::tr("Cannot write %1: %2").arg(path, PosixIo::errorText(errno));
        ::unlink(QFile::encodeName(path).constData());
        return QString();
    }
    return path;
}

FileSafety::Ownership ownershipOf(const QString& path, const FileSafety::Ownership& fallback)
{
    return QFileInfo::exists(path) ? FileSafety::ownershipFrom(path) : fallback;
}

} // namespace

SignedInstall::SignedInstall(const ConfigSnapshot& snapshot, CertificateRequest::Mode mode)
    : m_snapshot(snapshot), m_mode(mode)
{
    const bool opcUa = mode == CertificateRequest::Mode::OpcUa;
    m_keyPath = opcUa ? snapshot.opcUaKey.path : snapshot.coreKey.path;
    m_certPath = opcUa ? snapshot.opcUaCertificate.path : snapshot.coreCertificate.path;
}

SignedInstall::~SignedInstall() = default;

QStringList SignedInstall::chainOf(const QString& path, const QStringList& folders)
{
    std::vector<X509Ptr> leaf, cas;
    QString error;
    if (!readCertificates(path, leaf, &error))
        return {error};
    for (const QString& folder : folders) {
        if (folder.isEmpty())
            continue;
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files)) {
            if (file.size() < FileSafety::s_maxFileSize)
                readCertificates(file.filePath(), cas, &error);
        }
    }
    auto line = [](X509* certificate) {
        char* text = X509_NAME_oneline(X509_get_subject_name(certificate), nullptr, 0);
        const QString subject = QString::fromUtf8(text);
        OPENSSL_free(text);
        return subject;
    };
    // Each step takes the CA whose key signed the certificate before it, so a name alone never links.
    QStringList chain{line(leaf.front().get())};
    X509* current = leaf.front().get();
    for (int depth = 0; depth < 10 && X509_check_issued(current, current) != X509_V_OK; ++depth) {
        X509* issuer = nullptr;
        for (const X509Ptr& ca : cas) {
            if (X509_check_issued(ca.get(), current) == X509_V_OK &&
                X509_verify(current, X509_get0_pubkey(ca.get())) == 1) {
                issuer = ca.get();
                break;
            }
        }
        takeSslError();
        if (!issuer) {
            chain << tr("(its issuer is not in the issuers or trust folders)");
            break;
        }
        chain << line(issuer);
        current = issuer;
    }
    return chain;
}

bool SignedInstall::readCertificates(const QString& path, std::vector<X509Ptr>& out, QString* error)
{
    QByteArray bytes;
    if (!FileSafety::readRegular(path, bytes, error))
        return false;
    BioPtr bio = memoryBio(bytes);
    const size_t before = out.size();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        out.emplace_back(certificate);
    if (out.size() == before) {
        bio = memoryBio(bytes);
        if (X509* certificate = d2i_X509_bio(bio.get(), nullptr))
            out.emplace_back(certificate);
    }
    takeSslError();
    if (out.size() == before) {
        *error = tr("%1 holds no certificate.").arg(path);
        return false;
    }
    return true;
}

void SignedInstall::checkKey(X509* leaf)
{
    // The key: the installed one, else the one a request with --new-key left pending.
    const QString pendingPath = SigningRequest::pendingKeyPath(m_keyPath);
    EVP_PKEY* leafKey = X509_get0_pubkey(leaf);
    QString keyError;
    EvpPkeyPtr installed = SigningRequest::readKey(m_keyPath, m_snapshot.passphrase(), &keyError);
    m_pending = false;
    bool keyMatch = installed && leafKey && EVP_PKEY_eq(installed.get(), leafKey) == 1;
    if (!keyMatch && QFileInfo::exists(pendingPath)) {
        EvpPkeyPtr pending = SigningRequest::readKey(pendingPath, m_snapshot.passphrase(), &keyError);
        m_pending = keyMatch = pending && leafKey && EVP_PKEY_eq(pending.get(), leafKey) == 1;
    }
    m_checks << Check{tr("It belongs to the installed or the pending key"), keyMatch,
                      keyMatch
                          ? (m_pending ? tr("the pending key %1").arg(pendingPath) : m_keyPath)
                          : tr("its public key is neither that of %1 nor of a pending key").arg(m_keyPath)};
}

void SignedInstall::checkUri(X509* leaf)
{
    m_uri = firstUri(leaf);
    if (m_mode == CertificateRequest::Mode::OpcUa) {
        const bool same = m_uri == m_snapshot.uri;
        const bool uriOk = !m_uri.isEmpty() && (same || m_updateConfig);
        m_checks << Check{tr("Its URI is APPLICATION_URI"), uriOk,
                          m_uri.isEmpty() ? tr("it names no URI")
                          : same          ? m_uri
                          : m_updateConfig
                              ? tr("%1 will be written into the configuration").arg(m_uri)
                              : tr("it names %1, the configuration %2; --update-config writes it")
                                    .arg(m_uri, m_snapshot.uri)};
    }
}

void SignedInstall::checkUsages(X509* leaf)
{
    const uint32_t flags = X509_get_extension_flags(leaf);
    const uint32_t usages =
        KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
    const uint32_t extended = XKU_SSL_SERVER | XKU_SSL_CLIENT;
    const bool usagesOk = (flags & EXFLAG_KUSAGE) && (X509_get_key_usage(leaf) & usages) == usages &&
                          (flags & EXFLAG_XKUSAGE) &&
                          (X509_get_extended_key_usage(leaf) & extended) == extended;
    m_checks << Check{tr("It carries the usages of an application instance certificate"), usagesOk,
                      usagesOk ? QString()
                               : tr("it needs digitalSignature, nonRepudiation, keyEncipherment and "
                                    "dataEncipherment, with serverAuth and clientAuth")};
}

void SignedInstall::checkChain(X509* leaf)
{
    // Verified against the CAs given alone: validity is its own check above, and an intermediate given
    // without its root is trusted as far as it goes.
    X509StorePtr store(X509_STORE_new());
    for (const X509Ptr& ca : m_cas)
        X509_STORE_add_cert(store.get(), ca.get());
    X509StoreCtxPtr context(X509_STORE_CTX_new());
    bool verified = false;
    QString why = tr("no CA certificate was given (in the file or with --chain)");
    if (!m_cas.empty() && X509_STORE_CTX_init(context.get(), store.get(), leaf, nullptr) == 1) {
        X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
        verified = X509_verify_cert(context.get()) == 1;
        why = verified
                  ? tr("%n CA certificate(s)", nullptr, int(m_cas.size()))
                  : QString::fromUtf8(X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
    }
    takeSslError();
    m_checks << Check{tr("It verifies up to a CA certificate given"), verified, why};
    if (!m_cas.empty()) {
        const ActionResult imported = importCas(true);
        m_casNew = imported.changed;
        QStringList reasons;
        for (const Problem& problem : imported.problems)
            reasons << problem.message + QLatin1Char(' ') + problem.detail;
        m_checks << Check{tr("Its CA certificates can go into the issuers folder"), imported.ok,
                          reasons.join(QLatin1Char('\n'))};
    }
}

QList<SignedInstall::Check> SignedInstall::check(const QString& file, const QStringList& chain,
                                                 bool updateConfig)
{
    m_checks.clear();
    m_cas.clear();
    m_casNew = false;
    m_leaf.reset();
    m_updateConfig = updateConfig;
    std::vector<X509Ptr> read;
    QString error;
    bool ok = readCertificates(file, read, &error);
    for (int i = 0; ok && i < chain.size(); ++i)
        ok = readCertificates(chain.at(i), read, &error);
    if (!ok) {
        m_checks << Check{tr("The certificate and its chain can be read"), false, error};
        return m_checks;
    }
    m_leaf = std::move(read.front());
    for (size_t i = 1; i < read.size(); ++i)
        m_cas.push_back(std::move(read[i]));
    X509* leaf = m_leaf.get();

    checkKey(leaf);
    checkUri(leaf);
    const bool started = X509_cmp_current_time(X509_get0_notBefore(leaf)) < 0;
    const bool notEnded = X509_cmp_current_time(X509_get0_notAfter(leaf)) > 0;
    m_checks << Check{tr("It is valid now"), started && notEnded,
                      !started    ? tr("it is not valid yet")
                      : !notEnded ? tr("it has expired")
                                  : QString()};

    checkUsages(leaf);
    checkChain(leaf);
    return m_checks;
}

bool SignedInstall::passed() const
{
    if (m_checks.isEmpty() || !m_leaf)
        return false;
    for (const Check& one : m_checks) {
        if (!one.passed)
            return false;
    }
    return true;
}

bool SignedInstall::certificateInPlace() const
{
    return m_leaf && leafInPlace(encode(m_leaf.get(), CertificateRequest::pemFromSuffix(m_certPath)));
}

bool SignedInstall::leafInPlace(const QByteArray& leaf) const
{
    QByteArray installed;
    QString error;
    return !m_pending && FileSafety::readRegular(m_certPath, installed, &error) && installed == leaf;
}

bool SignedInstall::backUpPair(ActionResult& result) const
{
    // Hard links taken aside carry the old pair into the backup, while the pair itself stays in place
    // until KeyPairUpdate swaps it.
    QStringList paths;
    QList<QByteArray> entries, names;
    for (const QString& path : {m_keyPath, m_certPath}) {
        if (!QFileInfo::exists(path))
            continue;
        const QFileInfo info(path);
        const QByteArray name = QFile::encodeName(info.fileName());
        const QByteArray aside = '.' + name + '.' + QByteArray::number(::getpid()) + '.' +
                                 QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ".aside";
        const QString asidePath = info.absolutePath() + QLatin1Char('/') + QFile::decodeName(aside);
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(asidePath).constData()) != 0) {
            result.ok = false;
            result.problems << Problem{tr("Nothing was installed: the old pair cannot be backed up."),
                                       tr("%1: %2").arg(path, PosixIo::errorText(errno))};
            for (const QString& made : paths)
                ::unlink(QFile::encodeName(made).constData());
            return false;
        }
        paths << asidePath;
        entries << aside;
        names << name;
    }
    if (paths.isEmpty())
        return true;
    const SecurityActions actions(m_snapshot);
    QStringList used;
    QList<Backup::Item> moved;
    QString error;
    const bool ok = Backup::moveAway(paths, QDateTime::currentDateTime(), used, &error, &moved,
                                     actions.manifestFolder(), entries, names);
    result.backups << used;
    QString recordError;
    if (!used.isEmpty() && !Backup::record(actions.manifestFolder(), QFileInfo(used.first()).fileName(),
                                           QStringLiteral("key pair"), moved, &recordError))
        result.warnings << Problem{tr("The backup has no manifest; it can only be restored by hand."),
                                   recordError};
    if (!ok) {
        for (const QString& path : paths)
            ::unlink(QFile::encodeName(path).constData());
        result.ok = false;
        result.problems << Problem{tr("Nothing was installed: the old pair cannot be backed up."), error};
    }
    return ok;
}

ActionResult SignedInstall::importCas(bool dryRun) const
{
    QTemporaryDir folder;
    QStringList files;
    for (size_t i = 0; i < m_cas.size(); ++i) {
        QFile file(folder.filePath(QStringLiteral("ca%1.pem").arg(i)));
        if (file.open(QIODevice::WriteOnly) && file.write(encode(m_cas[i].get(), true)) > 0)
            files << file.fileName();
    }
    return TrustStore(TrustStore::foldersOf(m_snapshot))
        .importFiles(files, TrustStore::Target::Issuers, nullptr, dryRun);
}

ActionResult SignedInstall::install(bool tighten)
{
    AuditScope audit({QStringLiteral("cert install"), {m_keyPath, m_certPath}, {}});
    const ActionResult result = installNow(tighten);
    audit.event().subject = AuditTrail::thumbprintOf(m_certPath);
    return audit.finish(result);
}

bool SignedInstall::putPair(ActionResult& result) const
{
    const QByteArray leaf = encode(m_leaf.get(), CertificateRequest::pemFromSuffix(m_certPath));
    // The same leaf for the same key again leaves the pair as it is, with no backup.
    if (leafInPlace(leaf))
        return true;
    const QString keySource = m_pending ? SigningRequest::pendingKeyPath(m_keyPath) : m_keyPath;
    QByteArray keyBytes;
    QString error;
    if (!FileSafety::readRegular(keySource, keyBytes, &error)) {
        result.ok = false;
        result.problems << Problem{tr("Nothing was installed: the key cannot be read."), error};
        return false;
    }
    const FileSafety::Ownership fallback = SecurityActions(m_snapshot).ownership();
    const FileSafety::Ownership keyOwnership = ownershipOf(m_keyPath, fallback);
    const FileSafety::Ownership certOwnership = ownershipOf(m_certPath, fallback);
    // The installed key stays as it is: only the certificate is written.
    const QString newKey = m_pending ? temporaryFor(m_keyPath, keyBytes, keyOwnership, &error) : QString();
    const QString newCert =
        m_pending && newKey.isEmpty() ? QString() : temporaryFor(m_certPath, leaf, certOwnership, &error);
    if (newCert.isEmpty()) {
        if (!newKey.isEmpty())
            ::unlink(QFile::encodeName(newKey).constData());
        result.ok = false;
        result.problems << Problem{tr("Nothing was installed."), error};
        return false;
    }
    if (!backUpPair(result)) {
        ::unlink(QFile::encodeName(newKey).constData());
        ::unlink(QFile::encodeName(newCert).constData());
        return false;
    }
    if ((m_pending ? KeyPairUpdate::install(newKey, newCert, m_keyPath, m_certPath, &error)
                   : KeyPairUpdate::replaceCertificate(newCert, m_keyPath, m_certPath, keyBytes, &error)) !=
        KeyPairUpdate::Failed::None) {
        result.ok = false;
        result.problems << Problem{tr("The certificate was not installed; the old pair is in place."), error};
        return false;
    }
    result.changed = true;
    if (m_pending)
        ::unlink(QFile::encodeName(SigningRequest::pendingKeyPath(m_keyPath)).constData());
    return true;
}

ActionResult SignedInstall::installNow(bool tighten)
{
    ActionResult result;
    if (!passed()) {
        result.ok = false;
        result.problems << Problem{tr("Nothing was installed: a check failed."), QString()};
        return result;
    }
    if (!putPair(result))
        return result;
    // Checked by a dry run before: what fails now is for the administrator to add, the pair is in place.
    // A chain already in the issuers folder (a renewal by the same CA) is not imported again.
    const ActionResult imported = m_casNew ? importCas(false) : ActionResult();
    result.changed = result.changed || imported.changed;
    result.warnings << imported.problems << imported.warnings;
    if (m_updateConfig && m_mode == CertificateRequest::Mode::OpcUa && m_uri != m_snapshot.uri) {
        const ActionResult written =
            SecurityActions(m_snapshot).setApplicationValue(QLatin1String(s_uriKey), m_uri, tighten);
        result.ok = written.ok;
        result.changed = result.changed || written.changed;
        result.problems << written.problems;
        result.warnings << written.warnings;
    }
    return result;
}
