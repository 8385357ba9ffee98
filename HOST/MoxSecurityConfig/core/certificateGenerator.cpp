#include "core/certificateGenerator.h"

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

} // namespace

CertificateGenerator::CertificateGenerator(int stepTimeoutMs) : m_stepTimeoutMs(stepTimeoutMs) {}

CertificateGenerator::Result CertificateGenerator::generate(const CertificateRequest& request,
                                                            const FileSafety::Ownership& ownership) const
{
    Result result;
    auto fail = [&](const QString& message, const QString& cause) {
        result.ok = false;
        result.message = message;
        result.cause = cause;
        return result;
    };

    // What a killed run left of this pair is finished or undone first.
    KeyPairUpdate::recover(request.keyPath, request.certPath);

    const QDir opensslDir(QFileInfo(request.opensslDir + QLatin1Char('/')).absoluteDir());
    const QString sslConfPath = opensslDir.filePath(QStringLiteral("qvd_openssl.cnf"));
    const QString globalSslV3ExtPath = opensslDir.filePath(QStringLiteral("qvd_openssl_v3.ext"));
    const bool opcUa = request.mode == CertificateRequest::Mode::OpcUa;

    if (!QFileInfo::exists(sslConfPath))
        return fail(tr("Missing the CNF file: %1").arg(sslConfPath), QString());
    QString cause = FileSafety::checkRegular(sslConfPath);
    if (!cause.isEmpty())
        return fail(tr("Missing the CNF file: %1").arg(sslConfPath), cause);
    if (opcUa && !QFileInfo::exists(globalSslV3ExtPath))
        return fail(tr("Missing the EXT file: %1").arg(globalSslV3ExtPath), QString());

    const QString certDir = QFileInfo(request.certPath).absolutePath();
    const QString keyDir = QFileInfo(request.keyPath).absolutePath();
    if (!FileSafety::makeFolders(certDir, ownership, &cause) ||
        !FileSafety::makeFolders(keyDir, ownership, &cause))
        return fail(tr("Cannot create the target folders."), cause);

    // The extension file: a fresh copy of the template under a unique name, with the alternative names.
    QByteArray extension;
    TempFile ext;
    if (!FileSafety::readRegular(globalSslV3ExtPath, extension, &cause) ||
        !ext.create(certDir, QStringLiteral("openssl_v3.ext"), &cause) || !writeAll(ext.fd(), extension))
        return fail(tr("Cannot copy the v3 extension file to the certificate folder."),
                    cause.isEmpty() ? errorText() : cause);
    const QStringList altNames = request.subjectAltNames();
    if (!altNames.isEmpty()) {
        const QByteArray amendment =
            (QStringLiteral("\nsubjectAltName=") + altNames.join(QLatin1Char(','))).toUtf8();
        if (!writeAll(ext.fd(), amendment) || ::fsync(ext.fd()) != 0)
            return fail(tr("Cannot modify the v3 extension file."), errorText());
    }
    ext.closeFd();

    // Each step writes to its standard output, which is a file we created ourselves: openssl never opens
    // an output path that someone else could have planted a link at.
    const QString* secret = request.protectKey ? &request.passphrase : nullptr;
    auto runStep = [&](Step step, const QStringList& arguments, TempFile& output) {
        if (m_cancel && m_cancel->load()) {
            cause = tr("Stopped: generation was cancelled.");
            return false;
        }
        if (m_progress)
            m_progress(step);
        OpenSslTool::Run run;
        run.passphrase = secret;
        run.timeoutMs = m_stepTimeoutMs;
        run.stdoutFd = output.fd();
        run.cancel = m_cancel;
        const OpenSslTool::Result ran = OpenSslTool::run(arguments, run);
        if (ran.cancelled)
            cause = tr("Stopped: generation was cancelled.");
        else if (ran.timedOut)
            cause = tr("openssl did not finish within %1 s and was stopped.").arg(m_stepTimeoutMs / 1000.0);
        else if (ran.exitCode != 0)
            cause = ran.lastError.isEmpty() ? tr("openssl failed.") : ran.lastError;
        else if (output.empty())
            cause = tr("openssl wrote nothing.");
        else
            return ::fsync(output.fd()) == 0;
        return false;
    };

    TempFile key;
    QStringList arguments{QStringLiteral("genrsa")};
    if (request.protectKey)
        arguments << QStringLiteral("-des3") << QStringLiteral("-passout") << OpenSslTool::passphraseSource();
    arguments << QString::number(request.keyBits);
    if (!key.create(keyDir, QFileInfo(request.keyPath).fileName(), &cause) ||
        !runStep(Step::Key, arguments, key))
        return fail(tr("Cannot generate the private key."), cause);

    TempFile csr;
    arguments =
        QStringList{QStringLiteral("req"),   QStringLiteral("-new"), QStringLiteral("-key"),    key.path(),
                    QStringLiteral("-subj"), request.subject(),      QStringLiteral("-config"), sslConfPath};
    if (request.protectKey)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    if (!csr.create(certDir, QStringLiteral("request.csr"), &cause) ||
        !runStep(Step::Request, arguments, csr))
        return fail(tr("Cannot generate the CSR (certificate signing request)."), cause);

    TempFile cert;
    arguments = QStringList{QStringLiteral("x509"),     QStringLiteral("-req"),
                            QStringLiteral("-in"),      csr.path(),
                            QStringLiteral("-signkey"), key.path(),
                            QStringLiteral("-extfile"), ext.path()};
    if (request.protectKey)
        arguments << QStringLiteral("-passin") << OpenSslTool::passphraseSource();
    arguments << QStringLiteral("-") + request.digest << QStringLiteral("-days")
              << QString::number(request.days) << QStringLiteral("-outform")
              << (request.pem ? QStringLiteral("PEM") : QStringLiteral("DER"));
    if (!cert.create(certDir, QFileInfo(request.certPath).fileName(), &cause) ||
        !runStep(Step::Certificate, arguments, cert))
        return fail(tr("Cannot generate the certificate."), cause);

    // Owner and mode before anything is in place; the pair then changes as one (KeyPairUpdate).
    if (!applyOwnership(key.fd(), ownership))
        return fail(tr("Cannot generate the private key."),
                    tr("Cannot write '%1': %2.").arg(request.keyPath, errorText()));
    if (!applyOwnership(cert.fd(), ownership))
        return fail(tr("Cannot generate the certificate."),
                    tr("Cannot write '%1': %2.").arg(request.certPath, errorText()));
    key.closeFd();
    cert.closeFd();
    const QString newKey = key.path(), newCert = cert.path();
    key.release();
    cert.release();
    switch (KeyPairUpdate::install(newKey, newCert, request.keyPath, request.certPath, &cause)) {
    case KeyPairUpdate::Failed::Key:
        return fail(tr("Cannot generate the private key."), cause);
    case KeyPairUpdate::Failed::Certificate:
        return fail(tr("Cannot generate the certificate."), cause);
    case KeyPairUpdate::Failed::None:
        break;
    }
    result.ok = true;
    return result;
}
