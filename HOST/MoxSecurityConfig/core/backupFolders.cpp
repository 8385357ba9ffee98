#include "core/backupFolders.h"

#include "core/backup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::Descriptor;
using PosixIo::errorText;

QString nameFor(const QString& stamp, int counter)
{
    return counter == 1 ? stamp : stamp + QStringLiteral("-%1").arg(counter, 2, 10, QLatin1Char('0'));
}

// The sequence number a backup folder of the tool records, or 0 when it is not one of the tool's.
quint64 sequenceOf(int rootFd, const QByteArray& name)
{
    if (!BackupFolders::isToolName(name))
        return 0;
    const Descriptor dir(::openat(rootFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || ::fstatat(dir.get(), Backup::s_marker, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_size > 20)
        return 0;
    const Descriptor file(
        ::openat(dir.get(), Backup::s_marker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char text[21];
    const ssize_t n = file.valid() ? ::read(file.get(), text, 20) : -1;
    bool ok = false;
    const quint64 sequence = n > 0 ? QByteArray(text, int(n)).toULongLong(&ok) : 0;
    return ok ? sequence : 0;
}

// Records the backup's sequence number, one after the newest of the tool's there; written in one call into
// a file created fresh, so a kill leaves it whole or empty (an empty one marks no backup of ours). Synced,
// else a power loss could empty it and pruning would pass this backup by for good.
bool writeMarker(int rootFd, int targetFd)
{
    const QList<QPair<quint64, QByteArray>> backups = BackupFolders::toolBackups(rootFd);
    const QByteArray text = QByteArray::number(backups.isEmpty() ? 1 : backups.last().first + 1);
    const Descriptor file(
        ::openat(targetFd, Backup::s_marker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return file.valid() && ::write(file.get(), text.constData(), size_t(text.size())) == text.size() &&
           ::fsync(file.get()) == 0;
}

} // namespace

// A sub-folder of dir that this user owns, made 0700 when missing; never a link.
Descriptor BackupFolders::ownFolder(int dirFd, const QByteArray& name, bool create, bool* made)
{
    const bool fresh = create && ::mkdirat(dirFd, name.constData(), 0700) == 0;
    if (made)
        *made = fresh;
    if (create && !fresh && errno != EEXIST)
        return Descriptor();
    Descriptor fd(::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return Descriptor();
    if (st.st_uid != ::geteuid()) {
        errno = EPERM;
        return Descriptor();
    }
    ::fchmod(fd.get(), 0700);
    return fd;
}

bool BackupFolders::isToolName(const QByteArray& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{8}-\\d{6}(-\\d{2,})?$"));
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

// The tool's backups in the .backup folder rootFd, oldest first.
QList<QPair<quint64, QByteArray>> BackupFolders::toolBackups(int rootFd)
{
    QList<QPair<quint64, QByteArray>> backups;
    const int listFd = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return backups;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (const quint64 sequence = sequenceOf(rootFd, name))
            backups << qMakePair(sequence, name);
    }
    ::closedir(dir);
    std::sort(backups.begin(), backups.end());
    return backups;
}

BackupFolders::Holder* BackupFolders::of(const QString& path)
{
    for (Holder& holder : m_holders)
        if (holder.path == path)
            return &holder;
    return nullptr;
}

QString BackupFolders::open(const QStringList& paths, const QList<QByteArray>& entries)
{
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths.at(i));
        struct stat st;
        const QByteArray exact = QFile::encodeName(info.absolutePath()) + '/' +
                                 entries.value(i, QFile::encodeName(info.fileName()));
        if (::lstat(exact.constData(), &st) != 0 || of(info.absolutePath()))
            continue;
        Holder holder;
        holder.path = info.absolutePath();
        holder.dir = Descriptor(
            ::open(QFile::encodeName(holder.path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool made = false;
        if (holder.dir.valid())
            holder.root = ownFolder(holder.dir.get(), ".backup", true, &made);
        if (made) // a new .backup is reached only once its folder is synced
            ::fsync(holder.dir.get());
        if (!holder.root.valid())
            return Backup::tr("Cannot make the backup folder '%1': %2")
                .arg(Backup::backupRoot(holder.path), errorText());
        m_holders.push_back(std::move(holder));
    }
    return QString();
}

// Makes candidate in every holder still missing its backup folder, and reserves its manifest; on failure
// what it made goes again.
bool BackupFolders::makeAll(const QString& candidate, int& failure)
{
    const QByteArray encoded = QFile::encodeName(candidate);
    const QByteArray manifest = QFile::encodeName(candidate + QStringLiteral(".json"));
    if (m_manifests.valid() && candidate != m_reused) {
        const Descriptor reserved(::openat(m_manifests.get(), manifest.constData(),
                                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!reserved.valid()) {
            failure = errno;
            return false;
        }
    }
    for (Holder& holder : m_holders) {
        if (holder.target.valid())
            continue;
        if (::mkdirat(holder.root.get(), encoded.constData(), 0700) != 0) {
            failure = errno;
            for (Holder& made : m_holders) {
                if (made.made)
                    ::unlinkat(made.root.get(), encoded.constData(), AT_REMOVEDIR);
                made.made = false;
            }
            if (m_manifests.valid() && candidate != m_reused)
                ::unlinkat(m_manifests.get(), manifest.constData(), 0);
            return false;
        }
        holder.made = true;
    }
    return true;
}

QString BackupFolders::makeTargets(QStringList& used, const QDateTime& when, const QString& manifestFolder)
{
    // An earlier call of this deletion chose the name; folders it already made are used again.
    m_name = used.isEmpty() ? QString() : QFileInfo(used.first()).fileName();
    for (Holder& holder : m_holders) {
        if (used.contains(QDir(Backup::backupRoot(holder.path)).filePath(m_name)))
            holder.target = ownFolder(holder.root.get(), QFile::encodeName(m_name), false);
    }
    // Otherwise the first name free in every folder still missing one: taken is taken, whatever else is
    // there.
    const QString stamp = when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // A new name is also reserved in the manifests' folder, so two deletions in other folders never share a
    // manifest.
    if (!manifestFolder.isEmpty()) {
        const Descriptor top(
            ::open(QFile::encodeName(manifestFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool made = false;
        m_manifests = top.valid() ? ownFolder(top.get(), ".backup", true, &made) : Descriptor();
        if (made)
            ::fsync(top.get());
        if (!m_manifests.valid())
            return Backup::tr("Cannot make the backup folder '%1': %2")
                .arg(Backup::backupRoot(manifestFolder), errorText());
    }
    m_reused = m_name;
    int failure = 0;
    bool made = !m_name.isEmpty() && makeAll(m_name, failure);
    for (int counter = 1; !made && counter <= 9999 && (failure == 0 || failure == EEXIST); ++counter)
        made = makeAll(m_name = nameFor(stamp, counter), failure);
    if (!made) {
        errno = failure;
        return Backup::tr("Cannot make a backup folder in '%1': %2")
            .arg(Backup::backupRoot(m_holders.front().path),
                 failure ? errorText() : Backup::tr("no free name"));
    }
    for (Holder& holder : m_holders) {
        if (!holder.made)
            continue;
        holder.target = ownFolder(holder.root.get(), QFile::encodeName(m_name), false);
        if (!holder.target.valid() || !writeMarker(holder.root.get(), holder.target.get()))
            return Backup::tr("Cannot make a backup folder in '%1': %2")
                .arg(Backup::backupRoot(holder.path), errorText());
        used << QDir(Backup::backupRoot(holder.path)).filePath(m_name);
    }
    return QString();
}
