#include "core/fileSafety.h"

#include "core/posixIo.h"

#include "OSFile.h"

#include <QFile>
#include <QStringList>

#include <openssl/rand.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::errorText;
using PosixIo::writeAll;

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString notRegular(const QString& path, mode_t mode)
{
    return FileSafety::tr("'%1' is not a regular file: it is %2.").arg(path, FileSafety::kindOf(mode));
}

QString tooLarge(const QString& path, qint64 maxSize)
{
    const qint64 mb = 1024 * 1024;
    if (maxSize >= mb && maxSize % mb == 0)
        return FileSafety::tr("'%1' is larger than %2 MB.").arg(path).arg(maxSize / mb);
    return FileSafety::tr("'%1' is larger than %2 bytes.").arg(path).arg(maxSize);
}

// The folder part of a path as written: no ".." is collapsed, the kernel resolves it.
QString folderOf(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

QString fileNameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

int closeKeepingErrno(int fd)
{
    const int saved = errno;
    const int rc = ::close(fd);
    errno = saved;
    return rc;
}

bool syncFolder(const QString& folder)
{
    const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL; // some file systems cannot sync a folder
    ::close(fd);
    return ok;
}

// Owner and group where the process may set them: a user without the right to give files away still
// gets the group when it is one of its own.
bool applyOwner(int fd, const FileSafety::Ownership& ownership, int& failure)
{
    if (ownership.uid == uid_t(-1) && ownership.gid == gid_t(-1))
        return true;
    if (::fchown(fd, ownership.uid, ownership.gid) == 0)
        return true;
    failure = errno;
    if (failure != EPERM || ::geteuid() == 0)
        return false;
    if (ownership.gid != gid_t(-1))
        ::fchown(fd, uid_t(-1), ownership.gid);
    return true;
}

} // namespace

QString FileSafety::kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return tr("a folder");
    if (S_ISLNK(mode))
        return tr("a symbolic link");
    if (S_ISFIFO(mode))
        return tr("a FIFO");
    if (S_ISSOCK(mode))
        return tr("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return tr("a device");
    return tr("not a regular file");
}

FileSafety::Ownership FileSafety::ownershipFrom(const QString& referenceFile)
{
    Ownership result;
    struct stat st;
    if (referenceFile.isEmpty() || ::stat(encoded(referenceFile).constData(), &st) != 0)
        return result;
    result.uid = st.st_uid;
    result.gid = st.st_gid;
    // Others never get a bit; the owner always reads and writes what the tool made. Files are keys and
    // password hashes: the group may read them, never write (a 0777 configuration is no reason to).
    const mode_t bits = (st.st_mode & 0770) | 0600;
    result.fileMode = bits & 0640;
    // Folders: x wherever r is so the runtime can enter them, then at most 0755 (no group write).
    mode_t folder = bits;
    if (folder & 0400)
        folder |= 0100;
    if (folder & 0040)
        folder |= 0010;
    result.folderMode = folder & 0755;
    return result;
}

int FileSafety::openRegular(const QString& path, QString* error, qint64 maxSize)
{
    const QByteArray name = encoded(path);
    // Refuse a device before opening it: opening some devices already acts (a tape rewinds).
    struct stat st;
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        setError(error, notRegular(path, st.st_mode));
        return -1;
    }
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        setError(error, tr("Cannot open '%1': %2.").arg(path, errorText(errno)));
        return -1;
    }
    // The path may have changed since the stat: the descriptor is what counts.
    if (::fstat(fd, &st) != 0) {
        setError(error, tr("Cannot open '%1': %2.").arg(path, errorText(errno)));
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        setError(error, notRegular(path, st.st_mode));
        ::close(fd);
        return -1;
    }
    // Its size says nothing there, and a read may block for good.
    if (const char* pseudo = OSFile::PseudoFileSystem(fd)) {
        setError(error, tr("'%1' lies on %2, a pseudo file system.").arg(path, QLatin1String(pseudo)));
        ::close(fd);
        return -1;
    }
    if (qint64(st.st_size) > maxSize) {
        setError(error, tooLarge(path, maxSize));
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        setError(error, tr("Cannot open '%1': %2.").arg(path, errorText(errno)));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool FileSafety::readRegular(const QString& path, QByteArray& data, QString* error, qint64 maxSize)
{
    data.clear();
    const int fd = openRegular(path, error, maxSize);
    if (fd < 0)
        return false;
    QByteArray content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            setError(error, tr("Cannot read '%1': %2.").arg(path, errorText(errno)));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        // The file may grow after the size check.
        if (content.size() + qint64(n) > maxSize) {
            setError(error, tooLarge(path, maxSize));
            ::close(fd);
            return false;
        }
        content.append(buffer, int(n));
    }
    ::close(fd);
    data = content;
    return true;
}

QString FileSafety::checkRegular(const QString& path, qint64 maxSize)
{
    struct stat st;
    if (::stat(encoded(path).constData(), &st) != 0 && errno == ENOENT)
        return QString();
    QString error;
    const int fd = openRegular(path, &error, maxSize);
    if (fd >= 0)
        ::close(fd);
    return error;
}

int FileSafety::createTemporary(const QString& folder, const QString& stem, QString& tempPath, QString* error)
{
    QString safeStem = stem;
    safeStem.replace(QLatin1Char('/'), QLatin1Char('_'));
    // Room for ".<pid>.<16 hex>.tmp" within the usual 255-byte limit of a name.
    while (QFile::encodeName(safeStem).size() > s_maxStemBytes)
        safeStem.chop(safeStem.size() >= 2 && safeStem.at(safeStem.size() - 1).isLowSurrogate() ? 2 : 1);
    const QString base = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    const QString owner = QString::number(::getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[8];
        if (RAND_bytes(random, sizeof random) != 1) {
            setError(error, tr("Cannot create a file in '%1': no random numbers.").arg(folder));
            return -1;
        }
        const QString candidate =
            base + QLatin1Char('.') + safeStem + QLatin1Char('.') + owner + QLatin1Char('.') +
            QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex()) +
            QStringLiteral(".tmp");
        const int fd = ::open(encoded(candidate).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && (errno == EEXIST || errno == EINTR))
            continue;
        if (fd < 0) {
            setError(error, tr("Cannot create a file in '%1': %2.").arg(folder, errorText(errno)));
            return -1;
        }
        ::fchmod(fd, 0600);
        tempPath = candidate;
        return fd;
    }
    setError(error, tr("Cannot create a file in '%1': no free name.").arg(folder));
    return -1;
}

pid_t FileSafety::temporaryOwner(const QByteArray& name, const char* suffix)
{
    // ".<stem>.<pid>.<random>" + suffix; the random part is hex (ours) or decimal (the INI writers').
    const QByteArray end(suffix);
    if (!name.startsWith('.') || !name.endsWith(end))
        return 0;
    const QByteArray body = name.left(name.size() - end.size());
    const int randomDot = body.lastIndexOf('.');
    const int pidDot = randomDot > 0 ? body.lastIndexOf('.', randomDot - 1) : -1;
    if (pidDot <= 0 || randomDot - pidDot < 2 || randomDot + 1 >= body.size())
        return 0;
    for (int i = randomDot + 1; i < body.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(body.at(i))))
            return 0;
    }
    const QByteArray digits = body.mid(pidDot + 1, randomDot - pidDot - 1);
    bool ok = false;
    const long pid = digits.toLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX || digits.startsWith('+') || digits.startsWith('-'))
        return 0;
    return pid_t(pid);
}

int FileSafety::removeStaleTemporaries(const QString& folder, const char* suffix)
{
    DIR* dir = ::opendir(encoded(folder).constData());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t pid = temporaryOwner(QByteArray(entry->d_name), suffix);
        if (pid == 0 || pid == ::getpid())
            continue;
        // Only a process that is gone: a live writer (ours or another instance's) keeps its file.
        if (::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool FileSafety::moveIntoPlace(const QString& tempPath, const QString& target, const Ownership& ownership,
                               QString* error)
{
    const QByteArray temp = encoded(tempPath);
    const auto fail = [&](int failure) {
        ::unlink(temp.constData());
        setError(error, tr("Cannot write '%1': %2.").arg(target, errorText(failure)));
        return false;
    };
    const int fd = ::open(temp.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(errno);
    int failure = 0;
    const bool ok = applyOwner(fd, ownership, failure) &&
                    (::fchmod(fd, ownership.fileMode & 0777) == 0 || ((failure = errno), false)) &&
                    (::fsync(fd) == 0 || ((failure = errno), false));
    if (!ok) {
        closeKeepingErrno(fd);
        return fail(failure);
    }
    ::close(fd);
    // rename replaces a link at target rather than writing through it.
    if (::rename(temp.constData(), encoded(target).constData()) != 0)
        return fail(errno);
    syncFolder(folderOf(target));
    return true;
}

bool FileSafety::writeAtomically(const QString& path, const QByteArray& data, const Ownership& ownership,
                                 QString* error)
{
    QString tempPath;
    QString createError;
    const int fd = createTemporary(folderOf(path), fileNameOf(path), tempPath, &createError);
    if (fd < 0) {
        setError(error, tr("Cannot write '%1': %2").arg(path, createError));
        return false;
    }
    const bool written = writeAll(fd, data);
    int failure = written ? 0 : errno;
    // close reports late write errors on some file systems.
    if (::close(fd) != 0 && written)
        failure = errno;
    if (!written || failure != 0) {
        ::unlink(encoded(tempPath).constData());
        setError(error, tr("Cannot write '%1': %2.").arg(path, errorText(failure)));
        return false;
    }
    return moveIntoPlace(tempPath, path, ownership, error);
}

bool FileSafety::makeFolders(const QString& folder, const Ownership& ownership, QString* error)
{
    if (folder.isEmpty()) {
        setError(error, tr("No folder given."));
        return false;
    }
    // Walk down by descriptor: existing parents may be links (/mox -> /opt/mox), but a folder made here is
    // reopened without following links before its owner and mode are set.
    const bool absolute = folder.startsWith(QLatin1Char('/'));
    int fd = ::open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        setError(error, tr("Cannot create the folder '%1': %2.").arg(folder, errorText(errno)));
        return false;
    }
    QString walked = absolute ? QStringLiteral("/") : QString();
    const QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (!walked.isEmpty() && !walked.endsWith(QLatin1Char('/')))
            walked += QLatin1Char('/');
        walked += part;
        const QByteArray name = encoded(part);
        bool created = false;
        int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(fd, name.constData(), 0700) == 0)
                created = true;
            else if (errno != EEXIST) {
                setError(error, tr("Cannot create the folder '%1': %2.").arg(walked, errorText(errno)));
                ::close(fd);
                return false;
            }
            next = ::openat(fd, name.constData(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC | (created ? O_NOFOLLOW : 0));
        }
        if (next < 0) {
            const int failure = errno;
            setError(error,
                     failure == ENOTDIR || failure == ELOOP
                         ? tr("Cannot create the folder '%1': it exists and is not a folder.").arg(walked)
                         : tr("Cannot create the folder '%1': %2.").arg(walked, errorText(failure)));
            ::close(fd);
            return false;
        }
        ::close(fd);
        fd = next;
        if (!created)
            continue;
        int failure = 0;
        if (!applyOwner(fd, ownership, failure) ||
            (::fchmod(fd, ownership.folderMode & 0755) != 0 && (failure = errno) != 0)) {
            setError(
                error,
                tr("Cannot set the owner or mode of the folder '%1': %2.").arg(walked, errorText(failure)));
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

int FileSafety::modeOf(const QString& path)
{
    struct stat st;
    if (::lstat(encoded(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}
