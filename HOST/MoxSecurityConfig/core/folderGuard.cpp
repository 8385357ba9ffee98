#include "core/folderGuard.h"

#include "core/backup.h"
#include "core/fileSafety.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using PosixIo::Descriptor;
using PosixIo::errorText;

// Certificates and CRLs are small; anything bigger is not parsed and counts as something else.
constexpr qint64 s_maxCertificateSize = 1024 * 1024;
// Deeper trees are kept: they are no certificate store, and descriptors are finite.
constexpr int s_maxDepth = 32;

QString decoded(const QByteArray& name)
{
    return QFile::decodeName(name);
}

// The file system's own resolution of path; empty with errno set when it cannot be resolved.
QString resolved(const QString& path)
{
    if (path.isEmpty()) {
        errno = ENOENT;
        return QString();
    }
    char* real = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!real)
        return QString();
    const QString result = QFile::decodeName(real);
    std::free(real);
    return result;
}

// A protected file that does not exist yet is resolved through its nearest existing parent, so a folder
// that would hold it once it is made is kept too.
QString resolvedProtected(const QString& path)
{
    QString parent = path;
    QString rest;
    for (int i = 0; i < 256; ++i) {
        const QString real = resolved(parent);
        if (!real.isEmpty())
            return rest.isEmpty() ? real
                                  : (real == QLatin1String("/") ? real : real + QLatin1Char('/')) + rest;
        const int slash = parent.lastIndexOf(QLatin1Char('/'));
        const QString name = parent.mid(slash + 1);
        rest = rest.isEmpty() ? name : name + QLatin1Char('/') + rest;
        if (slash < 0)
            parent = QStringLiteral(".");
        else if (slash == 0)
            parent = QStringLiteral("/");
        else
            parent = parent.left(slash);
    }
    return QString();
}

// True when folder is path or one of its parents.
bool holds(const QString& folder, const QString& path)
{
    if (path.isEmpty())
        return false;
    if (folder == QLatin1String("/"))
        return true;
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool isSystemFolder(const QString& folder)
{
    static const char* const topLevel[] = {
        "bin",  "boot", "dev", "etc",  "home", "lib", "lib32", "lib64", "libx32", "media", "mnt",       "opt",
        "proc", "root", "run", "sbin", "snap", "srv", "sys",   "tmp",   "usr",    "var",   "lost+found"};
    if (folder == QLatin1String("/"))
        return true;
    const QString parent = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    const QString name = folder.mid(folder.lastIndexOf(QLatin1Char('/')) + 1);
    if (parent.isEmpty()) {
        for (const char* top : topLevel)
            if (name == QLatin1String(top))
                return true;
        return false;
    }
    // Kernel file systems are never certificate stores; the folders right under /usr, /var and
    // /usr/local (lib, share, log, spool, ...) belong to the system.
    for (const char* virtualRoot : {"/proc", "/sys", "/dev"})
        if (holds(QLatin1String(virtualRoot), folder))
            return true;
    return parent == QLatin1String("/usr") || parent == QLatin1String("/var") ||
           parent == QLatin1String("/usr/local");
}

QStringList homeFolders()
{
    QStringList homes;
    const auto add = [&homes](const QString& home) {
        if (home.isEmpty())
            return;
        const QString real = resolved(home);
        const QString folder = real.isEmpty() ? QDir::cleanPath(home) : real;
        if (!homes.contains(folder))
            homes << folder;
    };
    ::setpwent();
    while (const passwd* entry = ::getpwent())
        if (entry->pw_dir)
            add(QFile::decodeName(entry->pw_dir));
    ::endpwent();
    add(QFile::decodeName(qgetenv("HOME")));
    add(QDir::homePath());
    return homes;
}

// The mount root flag sees a bind mount, which keeps the device number of its source.
bool isMountRoot(int dirFd, const char* name, const struct stat& st, dev_t parentDevice)
{
    if (st.st_dev != parentDevice)
        return true;
#ifdef STATX_ATTR_MOUNT_ROOT
    struct statx sx;
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
    Q_UNUSED(dirFd)
    Q_UNUSED(name)
#endif
    return false;
}

bool derIsCertificateOrCrl(const unsigned char* der, long length, bool trusted = false)
{
    const unsigned char* end = der + length;
    const unsigned char* p = der;
    if (X509* certificate = trusted ? d2i_X509_AUX(nullptr, &p, length) : d2i_X509(nullptr, &p, length)) {
        X509_free(certificate);
        if (p == end)
            return true;
    }
    if (trusted)
        return false;
    p = der;
    if (X509_CRL* crl = d2i_X509_CRL(nullptr, &p, length)) {
        X509_CRL_free(crl);
        if (p == end)
            return true;
    }
    return false;
}

// Every PEM block must be a certificate or CRL that libcrypto can decode.
bool pemIsCertificatesOrCrls(const QByteArray& data)
{
    BIO* bio = BIO_new_mem_buf(data.constData(), data.size());
    if (!bio)
        return false;
    int blocks = 0;
    bool good = true;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* der = nullptr;
        long length = 0;
        if (!PEM_read_bio(bio, &name, &header, &der, &length))
            break;
        const bool certificate = !std::strcmp(name, "CERTIFICATE") || !std::strcmp(name, "X509 CERTIFICATE");
        const bool trusted = !std::strcmp(name, "TRUSTED CERTIFICATE");
        const bool crl = !std::strcmp(name, "X509 CRL");
        good = (certificate || trusted || crl) && derIsCertificateOrCrl(der, length, trusted);
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(der);
        if (!good)
            break;
        ++blocks;
    }
    // The loop ends at the first read that finds no further block; any other error is a damaged block.
    const unsigned long last = ERR_peek_last_error();
    const bool cleanEnd = ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    BIO_free(bio);
    return good && blocks > 0 && cleanEnd;
}

bool isCertificateOrCrl(const QByteArray& data)
{
    if (data.contains("-----BEGIN "))
        return pemIsCertificatesOrCrls(data);
    const bool result =
        !data.isEmpty() &&
        derIsCertificateOrCrl(reinterpret_cast<const unsigned char*>(data.constData()), long(data.size()));
    ERR_clear_error();
    return result;
}

// Names in a folder, read through a fresh descriptor so the caller's descriptor keeps its position.
bool listFolder(int dirFd, std::vector<QByteArray>& names, int& failure)
{
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        failure = errno;
        return false;
    }
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        failure = errno;
        ::close(listFd);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    failure = errno;
    ::closedir(dir);
    return failure == 0;
}

QString joined(const QString& folder, const QByteArray& name)
{
    return (folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/')) + decoded(name);
}

// Why a regular file is not a certificate or CRL, or empty.
QString checkFile(int dirFd, const QByteArray& name, const struct stat& st, const QString& path)
{
    const QString notCertificate = FolderGuard::tr("'%1' is not a certificate or CRL").arg(path);
    if (st.st_size > s_maxCertificateSize)
        return notCertificate;
    const Descriptor fd(
        ::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened;
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0)
        return FolderGuard::tr("'%1' cannot be read: %2").arg(path, errorText(errno));
    if (!S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev)
        return FolderGuard::tr("'%1' changed while it was checked").arg(path);
    QByteArray data;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FolderGuard::tr("'%1' cannot be read: %2").arg(path, errorText(errno));
        if (n == 0)
            break;
        if (data.size() + n > s_maxCertificateSize)
            return notCertificate;
        data.append(buffer, int(n));
    }
    return isCertificateOrCrl(data) ? QString() : notCertificate;
}

// A temporary or aside file that a killed writer of this tool left (hidden, named after its process, which is
// gone): the tool's own, whatever it holds, so it never keeps a folder.
bool isDeadWritersLeftover(const QByteArray& name, const struct stat& st)
{
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return false;
    for (const char* suffix : {".tmp", ".aside"}) {
        const pid_t pid = FileSafety::temporaryOwner(name, suffix);
        if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            return true;
    }
    return false;
}

// Why the tree under dirFd may not go, naming the first offending entry, or empty.
QString checkTree(int dirFd, dev_t device, const QString& path, int depth)
{
    if (depth > s_maxDepth)
        return FolderGuard::tr("'%1' is nested too deeply").arg(path);
    std::vector<QByteArray> names;
    int failure = 0;
    if (!listFolder(dirFd, names, failure))
        return FolderGuard::tr("'%1' cannot be read: %2").arg(path, errorText(failure));
    for (const QByteArray& name : names) {
        const QString entryPath = joined(path, name);
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return FolderGuard::tr("'%1' cannot be read: %2").arg(entryPath, errorText(errno));
        // The marker of a backup of removed certificates is the tool's own too.
        if (isDeadWritersLeftover(name, st) ||
            (S_ISREG(st.st_mode) && st.st_size <= 20 && name == Backup::s_marker))
            continue;
        QString why;
        if (S_ISDIR(st.st_mode)) {
            if (isMountRoot(dirFd, name.constData(), st, device))
                return FolderGuard::tr("'%1' is a mount point").arg(entryPath);
            const Descriptor sub(
                ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            why = sub.valid() ? checkTree(sub.get(), device, entryPath, depth + 1)
                              : FolderGuard::tr("'%1' cannot be read: %2").arg(entryPath, errorText(errno));
        } else if (S_ISREG(st.st_mode)) {
            why = checkFile(dirFd, name, st, entryPath);
        } else {
            why = FolderGuard::tr("'%1' is %2").arg(entryPath, FileSafety::kindOf(st.st_mode));
        }
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

// Deletes everything under dirFd without following a link or leaving the file system; empty when done.
QString deleteTree(int dirFd, dev_t device, const QString& path, int depth)
{
    if (depth > s_maxDepth)
        return FolderGuard::tr("'%1' is nested too deeply").arg(path);
    std::vector<QByteArray> names;
    int failure = 0;
    if (!listFolder(dirFd, names, failure))
        return FolderGuard::tr("cannot read '%1': %2").arg(path, errorText(failure));
    for (const QByteArray& name : names) {
        const QString entryPath = joined(path, name);
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return FolderGuard::tr("cannot read '%1': %2").arg(entryPath, errorText(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            if (isMountRoot(dirFd, name.constData(), st, device))
                return FolderGuard::tr("'%1' is a mount point and was kept").arg(entryPath);
            const Descriptor sub(
                ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.valid())
                return FolderGuard::tr("cannot open '%1': %2").arg(entryPath, errorText(errno));
            const QString why = deleteTree(sub.get(), device, entryPath, depth + 1);
            if (!why.isEmpty())
                return why;
        }
        if (::unlinkat(dirFd, name.constData(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
            errno != ENOENT)
            return FolderGuard::tr("cannot delete '%1': %2").arg(entryPath, errorText(errno));
    }
    return QString();
}

// Why the resolved folder real may never go, whatever it holds: a system folder, a protected file's or a home
// folder's; empty when none of them.
QString refusal(const QStringList& protectedPaths, const QString& real)
{
    if (isSystemFolder(real))
        return FolderGuard::tr("it is the system folder '%1'").arg(real);
    for (const QString& file : protectedPaths) {
        if (file.isEmpty())
            continue;
        if (holds(real, resolvedProtected(file)))
            return FolderGuard::tr("it holds the protected file '%1'").arg(file);
    }
    for (const QString& home : homeFolders()) {
        if (home == real)
            return FolderGuard::tr("it is the home folder '%1'").arg(home);
        if (home != QLatin1String("/") && holds(real, home))
            return FolderGuard::tr("it holds the home folder '%1'").arg(home);
    }
    return QString();
}

// The folder as it was checked: its parent, its name there and what its own descriptor says it is.
struct Opened
{
    Descriptor parent;
    QByteArray name;
    Descriptor dir;
    struct stat st;
};

// Opens real through descriptors without following links, from "/" down; why not, or empty.
QString openFolder(const QString& real, Opened& folder)
{
    const QStringList parts = real.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    Descriptor& parent = folder.parent;
    parent = Descriptor(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QString walked;
    for (int i = 0; parent.valid() && i + 1 < parts.size(); ++i) {
        walked += QLatin1Char('/') + parts.at(i);
        parent = Descriptor(::openat(parent.get(), QFile::encodeName(parts.at(i)).constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!parent.valid())
        return FolderGuard::tr("'%1' cannot be opened: %2").arg(walked, errorText(errno));
    folder.name = QFile::encodeName(parts.last());
    const char* name = folder.name.constData();
    struct stat st;
    if (::fstatat(parent.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FolderGuard::tr("it cannot be opened: %1").arg(errorText(errno));
    if (!S_ISDIR(st.st_mode))
        return S_ISLNK(st.st_mode) ? FolderGuard::tr("it changed while it was checked")
                                   : FolderGuard::tr("it is not a folder");
    struct stat parentStat;
    if (::fstat(parent.get(), &parentStat) != 0)
        return FolderGuard::tr("its parent cannot be read: %1").arg(errorText(errno));
    if (isMountRoot(parent.get(), name, st, parentStat.st_dev))
        return FolderGuard::tr("it is a mount point");
    folder.dir = Descriptor(::openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.dir.valid() || ::fstat(folder.dir.get(), &folder.st) != 0)
        return FolderGuard::tr("it cannot be opened: %1").arg(errorText(errno));
    if (folder.st.st_ino != st.st_ino || folder.st.st_dev != st.st_dev)
        return FolderGuard::tr("it changed while it was checked");
    return QString();
}

// Deletes the opened folder and all under it, only while its name still leads to it; why not, or empty.
QString deleteOpened(const Opened& folder, const QString& real)
{
    const QString failure = deleteTree(folder.dir.get(), folder.st.st_dev, real, 0);
    if (!failure.isEmpty())
        return failure;
    struct stat now;
    if (::fstatat(folder.parent.get(), folder.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_ino != folder.st.st_ino || now.st_dev != folder.st.st_dev)
        return FolderGuard::tr("it was replaced while it was deleted");
    if (::unlinkat(folder.parent.get(), folder.name.constData(), AT_REMOVEDIR) != 0)
        return FolderGuard::tr("cannot delete '%1': %2").arg(real, errorText(errno));
    return QString();
}

FolderGuard::Result examine(const QStringList& protectedPaths, const QString& folder, bool remove,
                            bool anyContent = false)
{
    FolderGuard::Result result;
    const QString real = resolved(folder);
    if (real.isEmpty()) {
        // Missing (or a path through a file): nothing to delete.
        if (errno != ENOENT && errno != ENOTDIR)
            result.reason = FolderGuard::tr("The folder '%1' was not deleted: it cannot be resolved: %2.")
                                .arg(folder, errorText(errno));
        return result;
    }
    result.resolved = real;
    Opened opened;
    QString why = refusal(protectedPaths, real);
    if (why.isEmpty())
        why = openFolder(real, opened);
    if (why.isEmpty() && !anyContent)
        why = checkTree(opened.dir.get(), opened.st.st_dev, real, 0);
    if (!why.isEmpty()) {
        // The resolved folder is shown only when links or ".." after a link made it another one.
        result.reason =
            (real == QDir::cleanPath(QDir(folder).absolutePath())
                 ? FolderGuard::tr("The folder '%1' was not deleted: ").arg(folder)
                 : FolderGuard::tr("The folder '%1' (resolved: '%2') was not deleted: ").arg(folder, real)) +
            why + QLatin1Char('.');
        return result;
    }
    if (!remove)
        return result;
    why = deleteOpened(opened, real);
    struct stat now;
    result.deleted = why.isEmpty() || (::fstatat(opened.parent.get(), opened.name.constData(), &now,
                                                 AT_SYMLINK_NOFOLLOW) != 0 &&
                                       errno == ENOENT);
    if (!why.isEmpty())
        result.reason = FolderGuard::tr("The folder '%1' was not completely deleted: %2.").arg(folder, why);
    return result;
}

} // namespace

FolderGuard::FolderGuard(const QStringList& protectedPaths) : m_protected(protectedPaths) {}

FolderGuard::Result FolderGuard::remove(const QString& folder) const
{
    return examine(m_protected, folder, true);
}

FolderGuard::Result FolderGuard::removeOwn(const QString& folder) const
{
    return examine(m_protected, folder, true, true);
}

QString FolderGuard::keepReason(const QString& folder) const
{
    return examine(m_protected, folder, false).reason;
}
