#include "core/trustFolder.h"

#include "core/crlInfo.h"
#include "core/fileSafety.h"

#include "OSFile.h"

#include <QFile>

#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::errorText;
using PosixIo::writeAll;

// Owner and group of the folder, and its group's read and write bits, never anything for others: what a
// new file there needs so the server, which owns its folders, can read it.
void takeFolderOwnership(int fileFd, int folderFd)
{
    struct stat st;
    if (::fstat(folderFd, &st) != 0)
        return;
    if (::fchown(fileFd, st.st_uid, st.st_gid) != 0 && ::geteuid() != 0)
        ::fchown(fileFd, uid_t(-1), st.st_gid); // a user may still give the file one of its groups
    ::fchmod(fileFd, (st.st_mode & 0660) | 0600);
}

// The content of a regular file through its open descriptor, at most TrustStore::s_maxFileSize bytes. The
// descriptor stays non-blocking and pseudo file systems are refused: a file there (/proc/kmsg) may claim to
// be an empty regular file and still block or never end.
bool readDescriptor(int fd, QByteArray& data, QString& why)
{
    data.clear();
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        why = errorText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = TrustStore::tr("Not a regular file.");
        return false;
    }
    if (const char* pseudo = OSFile::PseudoFileSystem(fd)) {
        why = TrustStore::tr("It lies on %1, a pseudo file system.").arg(QLatin1String(pseudo));
        return false;
    }
    const auto tooLarge = [&] {
        why = TrustStore::tr("The file is larger than %1 MB.").arg(TrustStore::s_maxFileSize / (1024 * 1024));
        return false;
    };
    if (st.st_size > TrustStore::s_maxFileSize)
        return tooLarge();
    // Room for what fstat said and a little more; a file that grows gets more, up to one byte past the limit.
    QByteArray content(int(st.st_size) + 4096, Qt::Uninitialized);
    qint64 filled = 0;
    for (;;) {
        if (filled == content.size())
            content.resize(int(std::min<qint64>(2 * filled, TrustStore::s_maxFileSize + 1)));
        const ssize_t n = ::read(fd, content.data() + filled, size_t(content.size() - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = errorText(errno);
            return false;
        }
        if (n == 0)
            break;
        filled += n;
        if (filled > TrustStore::s_maxFileSize) // it grew after the check
            return tooLarge();
    }
    content.truncate(int(filled));
    data = content;
    return true;
}

} // namespace

TrustFolder::TrustFolder(const QString& path)
    : m_path(path),
      m_fd(path.isEmpty() ? -1
                          : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      m_error(m_fd.valid() ? 0 : (path.isEmpty() ? ENOENT : errno))
{}

QString TrustFolder::openFailure(TrustStore::Folder folder) const
{
    if (m_error != ENOENT)
        return QStringLiteral("%1: %2").arg(m_path, errorText(m_error));
    return TrustStore::tr("The %1 folder %2 does not exist: \"Generate folders\" on the Certificates tab, or "
                          "moxsec folders create, makes it.")
        .arg(TrustStore::folderName(folder), m_path);
}

bool TrustFolder::read(const QByteArray& name, QByteArray& data, QString& why) const
{
    const PosixIo::Descriptor file(
        ::openat(fd(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) {
        why = errno == ELOOP ? TrustStore::tr("A symbolic link; it is not read.") : errorText(errno);
        return false;
    }
    return readDescriptor(file.get(), data, why);
}

bool TrustFolder::place(const QByteArray& name, const QByteArray& data, bool& exists, QString& why,
                        bool replace, bool syncFolder) const
{
    exists = false;
    QString temp, error;
    const int file = FileSafety::createTemporary(m_path, QFile::decodeName(name), temp, &error);
    if (file < 0) {
        why = error;
        return false;
    }
    const QByteArray tempName = QFile::encodeName(temp);
    takeFolderOwnership(file, fd());
    const bool written = writeAll(file, data) && ::fsync(file) == 0;
    const int failure = errno;
    if (::close(file) != 0 || !written) {
        ::unlink(tempName.constData());
        why = TrustStore::tr("Cannot write into '%1': %2.").arg(m_path, errorText(written ? errno : failure));
        return false;
    }
    if (::renameat2(AT_FDCWD, tempName.constData(), fd(), name.constData(), replace ? 0 : RENAME_NOREPLACE) !=
        0) {
        const int renameError = errno;
        ::unlink(tempName.constData());
        return notPlaced(name, renameError, exists, why);
    }
    if (syncFolder)
        sync();
    return true;
}

bool TrustFolder::writeNew(const QByteArray& name, const QByteArray& data, bool& exists, QString& why,
                           bool syncFolder) const
{
    exists = false;
    const int file = ::openat(fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (file < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            return place(name, data, exists, why, false, syncFolder);
        why = TrustStore::tr("Cannot write into '%1': %2.").arg(m_path, errorText(errno));
        return false;
    }
    takeFolderOwnership(file, fd());
    int failure = 0;
    if (!writeAll(file, data) || ::fsync(file) != 0) {
        failure = errno;
    } else {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", file);
        if (::linkat(AT_FDCWD, self, fd(), name.constData(), AT_SYMLINK_FOLLOW) != 0)
            failure = errno;
    }
    ::close(file);
    if (failure == ENOENT && ::access("/proc/self/fd", X_OK) != 0) // no /proc to link through
        return place(name, data, exists, why, false, syncFolder);
    if (failure != 0)
        return notPlaced(name, failure, exists, why);
    if (syncFolder)
        sync();
    return true;
}

bool TrustFolder::notPlaced(const QByteArray& name, int failure, bool& exists, QString& why) const
{
    exists = failure == EEXIST;
    why = TrustStore::tr("Cannot write '%1' into '%2': %3.")
              .arg(QFile::decodeName(name), m_path, errorText(failure));
    return false;
}

bool TrustFolder::sameBytes(const QByteArray& name, const QByteArray& data) const
{
    QByteArray existing;
    QString why;
    return read(name, existing, why) && existing == data;
}

bool TrustFolder::updatesCrl(const QByteArray& name, const QByteArray& bytes) const
{
    QByteArray existing;
    QString why;
    CrlInfo older, newer;
    return read(name, existing, why) && CrlInfo::parse(existing, older, nullptr) &&
           CrlInfo::parse(bytes, newer, nullptr) && older.issuerText == newer.issuerText &&
           newer.lastUpdate > older.lastUpdate;
}

bool TrustFolder::takeAside(const QByteArray& name, QByteArray& aside, int& failure) const
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[8];
        if (RAND_bytes(random, sizeof random) != 1) {
            failure = EAGAIN;
            return false;
        }
        aside = '.' + cutName(name, TrustStore::s_maxNameBytes) + '.' + QByteArray::number(::getpid()) + '.' +
                QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex() + s_asideSuffix;
        if (::renameat2(fd(), name.constData(), fd(), aside.constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST) {
            failure = errno;
            return false;
        }
    }
    failure = EEXIST;
    return false;
}

QByteArray TrustFolder::putBack(const QByteArray& aside, const QByteArray& name) const
{
    if (::renameat2(fd(), aside.constData(), fd(), name.constData(), RENAME_NOREPLACE) == 0)
        return name;
    if (errno != EEXIST)
        return QByteArray();
    const QByteArray random = aside.left(aside.size() - int(sizeof s_asideSuffix - 1)).split('.').last();
    const QByteArray other = cutName(name, TrustStore::s_maxNameBytes) + " [aside " + random + ']';
    if (::renameat2(fd(), aside.constData(), fd(), other.constData(), RENAME_NOREPLACE) == 0)
        return other;
    return QByteArray();
}

TrustFolder::Checked TrustFolder::checkAside(const QByteArray& aside) const
{
    Checked checked;
    struct stat st;
    if (::fstatat(fd(), aside.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        checked.parsed.entry.reason = errorText(errno);
        return checked;
    }
    if (S_ISLNK(st.st_mode)) {
        checked.link = true;
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(fd(), aside.constData(), target, sizeof target);
        checked.linkTarget = n > 0 ? QByteArray(target, int(n)) : QByteArray();
        return checked;
    }
    if (!S_ISREG(st.st_mode)) { // a FIFO or a device is never opened
        checked.parsed.entry.reason = TrustStore::tr("Not a regular file.");
        return checked;
    }
    QByteArray bytes;
    QString why;
    if (!read(aside, bytes, why)) {
        checked.parsed.entry.reason = why;
        return checked;
    }
    checked.parsed = CertificateFile::parse(bytes);
    return checked;
}

bool TrustFolder::movedAlready(const QByteArray& aside, const QString& otherFolder,
                               const QByteArray& name) const
{
    const TrustFolder other(otherFolder);
    QByteArray bytes;
    QString why;
    if (!other.isOpen() || !other.read(name, bytes, why))
        return false;
    const QString there = CertificateFile::parse(bytes).entry.thumbprint;
    return !there.isEmpty() && checkAside(aside).parsed.entry.thumbprint == there;
}

void TrustFolder::sync() const
{
    ::fsync(fd()); // some file systems cannot sync a folder; the data itself was synced
}

bool TrustFolder::plainName(const QByteArray& name)
{
    return !name.isEmpty() && !name.startsWith('.') && !name.contains('/') && !name.contains('\0');
}

QByteArray TrustFolder::cutName(QByteArray name, int bytes)
{
    if (name.size() <= bytes)
        return name;
    int end = bytes;
    while (end > 0 && (static_cast<unsigned char>(name.at(end)) & 0xC0) == 0x80)
        --end;
    return name.left(end);
}
