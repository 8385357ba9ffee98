#include "core/certificateGenerator.h"

#include "core/auditScope.h"
#include "core/keyPairUpdate.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::errorText;
using PosixIo::writeAll;

// A temporary output of one run: removed unless it was moved into place.
class TempFile
{
public:
    ~TempFile() { drop(); }
    bool create(const QString& folder, const QString& stem, QString* error)
    {
        m_fd = FileSafety::createTemporary(folder, stem, m_path, error);
        return m_fd >= 0;
    }
    void drop()
    {
        closeFd();
        if (!m_path.isEmpty())
            ::unlink(QFile::encodeName(m_path).constData());
        m_path.clear();
    }
    void closeFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Moved into place: nothing left to remove.
    void release() { m_path.clear(); }
    bool empty() const
    {
        struct stat st;
        return m_fd < 0 || ::fstat(m_fd, &st) != 0 || st.st_size == 0;
    }
    int fd() const { return m_fd; }
    const QString& path() const { return m_path; }

private:
    int m_fd = -1;
    QString m_path;
};

// Owner and group where the process may set them (a user who cannot give files away keeps its group),
// then the mode, synced.
bool applyOwnership(int fd, const FileSafety::Ownership& ownership)
{
    if ((ownership.uid != uid_t(-1) || ownership.gid != gid_t(-1)) &&
        ::fchown(fd, ownership.uid, ownership.gid) != 0) {
        if (errno != EPERM || ::geteuid() == 0)
            return false;
        if (ownership.gid != gid_t(-1))
            ::fchown(fd, uid_t(-1), ownership.gid);
    }
    return ::fchmod(fd, ownership.fileMode & 0777) == 0 && ::fsync(fd) == 0;
}

using Step = CertificateGenerator::Step;

// How each openssl run goes: its time limit, its progress report and what cancels it.
struct Runs
{
    int timeoutMs;
    const std::function<void(Step)>& progress;
    const std::atomic<bool>* cancel;
};

// One generation in steps, each true when it got through; a failed one leaves message and cause, and the
// temporary files go with the object.
class Generation
{
public:
    Generation(const CertificateRequest& request, const FileSafety::Ownership& ownership, const Runs& runs);

    bool checkTemplates();
    bool writeExtension();
    bool makeKey();
    bool makeRequest();
    bool makeCertificate();
    bool install();

    const QString& message() const { return m_message; }
    const QString& cause() const { return m_cause; }

private:
    bool fail(const QString& message, const QString& cause)
    {
        m_message = message;
        m_cause = cause;
        return false;
    }
    bool runStep(Step step, const QStringList& arguments, TempFile& output);

    const CertificateRequest& m_request;
    const FileSafety::Ownership& m_ownership;
    const Runs& m_runs;
    const QDir m_opensslDir;
    const QString m_sslConfPath;
    const QString m_certDir, m_keyDir;
    QString m_message, m_cause;
    TempFile m_extension, m_key, m_csr, m_certificate;
};

Generation::Generation(const CertificateRequest& request, const FileSafety::Ownership& ownership,
                       const Runs& runs)
    : m_request(request), m_ownership(ownership), m_runs(runs),
      m_opensslDir(QFileInfo(request.opensslDir + QLatin1Char('/')).absoluteDir()),
      m_sslConfPath(m_opensslDir.filePath(QStringLiteral("qvd_openssl.cnf"))),
      m_certDir(QFileInfo(request.certPath).absolutePath()),
      m_keyDir(QFileInfo(request.keyPath).absolutePath())
{}

// The templates openssl is given exist, and the target folders are made.
bool Generation::checkTemplates()
{
    const QString extensionPath = m_opensslDir.filePath(QStringLiteral("qvd_openssl_v3.ext"));
    if (!QFileInfo::exists(m_sslConfPath))
        return fail(CertificateGenerator::tr("Missing the CNF file: %1").arg(m_sslConfPath), QString());
    m_cause = FileSafety::checkRegular(m_sslConfPath);
    if (!m_cause.isEmpty())
        return fail(CertificateGenerator::tr("Missing the CNF file: %1").arg(m_sslConfPath), m_cause);
    if (m_request.mode == CertificateRequest::Mode::OpcUa && !QFileInfo::exists(extensionPath))
        return fail(CertificateGenerator::tr("Missing the EXT file: %1").arg(extensionPath), QString());
    if (!FileSafety::makeFolders(m_certDir, m_ownership, &m_cause) ||
        !FileSafety::makeFolders(m_keyDir, m_ownership, &m_cause))
        return fail(CertificateGenerator::tr("Cannot create the target folders."), m_cause);
    return true;
}

// The extension file: a fresh copy of the template under a unique name, with the alternative names.
bool Generation::writeExtension()
{
    QByteArray extension;
    if (!FileSafety::readRegular(m_opensslDir.filePath(QStringLiteral("qvd_openssl_v3.ext")), extension,
                                 &m_cause) ||
        !m_extension.create(m_certDir, QStringLiteral("openssl_v3.ext"), &m_cause) ||
        !writeAll(m_extension.fd(), extension))
        return fail(CertificateGenerator::tr("Cannot copy the v3 extension file to the certificate folder."),
                    m_cause.isEmpty() ? errorText() : m_cause);
    const QStringList altNames = m_request.subjectAltNames();
    if (!altNames.isEmpty()) {
        const QByteArray amendment =
            (QStringLiteral("\nsubjectAltName=") + altNames.join(QLatin1Char(','))).toUtf8();
        if (!writeAll(m_extension.fd(), amendment) || ::fsync(m_extension.fd()) != 0)
            return fail(CertificateGenerator::tr("Cannot modify the v3 extension file."), errorText());
    }
    m_extension.closeFd();
    return true;
}

// Each step writes to its standard output, which is a file we created ourselves: openssl never opens an
// output path that someone else could have planted a link at.
bool Generation::runStep(Step step, const QStringList& arguments, TempFile& output)
{
    if (m_runs.cancel && m_runs.cancel->load()) {
        m_cause = CertificateGenerator::tr("Stopped: generation was cancelled.");
        return false;
    }
    if (m_runs.progress)
        m_runs.progress(step);
    OpenSslTool::Run run;
    run.passphrase = m_request.protectKey ? &m_request.passphrase : nullptr;
    run.timeoutMs = m_runs.timeoutMs;
    run.stdoutFd = output.fd();
    run.cancel = m_runs.cancel;
    const OpenSslTool::Result ran = OpenSslTool::run(arguments, run);
    if (ran.cancelled)
        m_cause = CertificateGenerator::tr("Stopped: generation was cancelled.");
    else if (ran.timedOut)
        m_cause = CertificateGenerator::tr("openssl did not finish within %1 s and was stopped.")
                      .arg(m_runs.timeoutMs / 1000.0);
    else if (ran.exitCode != 0)
        m_cause = ran.lastError.isEmpty() ? CertificateGenerator::tr("openssl failed.") : ran.lastError;
    else if (output.empty())
        m_cause = CertificateGenerator::tr("openssl wrote nothing.");
    else
        return ::fsync(output.fd()) == 0;
    return false;
}

bool Generation::makeKey()
{
    QStringList arguments{QStringLiteral("genrsa")};
    if (m_request.protectKey)
        arguments << QStringLiteral("-des3") << QStringLiteral("-passout") << OpenSslTool::passphraseSource();
    arguments << QString::number(m_request.keyBits);
    if (!m_key.create(m_keyDir, QFileInfo(m_request.keyPath).fileName(), &m_cause) ||
        !runStep(Step::Key, arguments, m_key))
        return fail(CertificateGenerator::tr("Cannot generate the private key."), m_cause);
    return true;
}

bool Generation::makeRequest()
{
    QStringList arguments{
        QStringLiteral("req"),   QStringLiteral("-new"), QStringLiteral("-key"),    m_key.path(),
        QStringLiteral("-subj"), m_request.subject(),    QStringLiteral("-config"), m_sslConfPath};
    if (m_request.protectKey)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    if (!m_csr.create(m_certDir, QStringLiteral("request.csr"), &m_cause) ||
        !runStep(Step::Request, arguments, m_csr))
        return fail(CertificateGenerator::tr("Cannot generate the CSR (certificate signing request)."),
                    m_cause);
    return true;
}

bool Generation::makeCertificate()
{
    QStringList arguments{
        QStringLiteral("x509"),     QStringLiteral("-req"), QStringLiteral("-in"),      m_csr.path(),
        QStringLiteral("-signkey"), m_key.path(),           QStringLiteral("-extfile"), m_extension.path()};
    if (m_request.protectKey)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    arguments << QStringLiteral("-") + m_request.digest << QStringLiteral("-days")
              << QString::number(m_request.days) << QStringLiteral("-outform")
              << (m_request.pem ? QStringLiteral("PEM") : QStringLiteral("DER"));
    if (!m_certificate.create(m_certDir, QFileInfo(m_request.certPath).fileName(), &m_cause) ||
        !runStep(Step::Certificate, arguments, m_certificate))
        return fail(CertificateGenerator::tr("Cannot generate the certificate."), m_cause);
    return true;
}

// Owner and mode before anything is in place; the pair then changes as one (KeyPairUpdate).
bool Generation::install()
{
    if (!applyOwnership(m_key.fd(), m_ownership))
        return fail(CertificateGenerator::tr("Cannot generate the private key."),
                    CertificateGenerator::tr("Cannot write '%1': %2.").arg(m_request.keyPath, errorText()));
    if (!applyOwnership(m_certificate.fd(), m_ownership))
        return fail(CertificateGenerator::tr("Cannot generate the certificate."),
                    CertificateGenerator::tr("Cannot write '%1': %2.").arg(m_request.certPath, errorText()));
    m_key.closeFd();
    m_certificate.closeFd();
    const QString newKey = m_key.path(), newCert = m_certificate.path();
    m_key.release();
    m_certificate.release();
    switch (KeyPairUpdate::install(newKey, newCert, m_request.keyPath, m_request.certPath, &m_cause)) {
    case KeyPairUpdate::Failed::Key:
        return fail(CertificateGenerator::tr("Cannot generate the private key."), m_cause);
    case KeyPairUpdate::Failed::Certificate:
        return fail(CertificateGenerator::tr("Cannot generate the certificate."), m_cause);
    case KeyPairUpdate::Failed::None:
        break;
    }
    return true;
}

} // namespace

CertificateGenerator::CertificateGenerator(int stepTimeoutMs) : m_stepTimeoutMs(stepTimeoutMs) {}

CertificateGenerator::Result CertificateGenerator::generate(const CertificateRequest& request,
                                                            const FileSafety::Ownership& ownership) const
{
    // The window generates here directly; moxsec through SecurityActions, which records it already.
    AuditScope audit({QStringLiteral("cert generate"), {request.keyPath, request.certPath}, {}});
    Result result = generateNow(request, ownership);
    audit.event().subject = result.ok ? AuditTrail::thumbprintOf(request.certPath) : QString();
    if (const Problem warning =
            audit.finish(result.ok, result.ok, AuditScope::reasonOf({Problem{result.message, result.cause}}));
        !warning.message.isEmpty())
        result.warnings << warning;
    return result;
}

CertificateGenerator::Result CertificateGenerator::generateNow(const CertificateRequest& request,
                                                               const FileSafety::Ownership& ownership) const
{
    // What a killed run left of this pair is finished or undone first.
    KeyPairUpdate::recover(request.keyPath, request.certPath);
    const Runs runs{m_stepTimeoutMs, m_progress, m_cancel};
    Generation generation(request, ownership, runs);
    Result result;
    result.ok = generation.checkTemplates() && generation.writeExtension() && generation.makeKey() &&
                generation.makeRequest() && generation.makeCertificate() && generation.install();
    if (!result.ok) {
        result.message = generation.message();
        result.cause = generation.cause();
    }
    return result;
}
