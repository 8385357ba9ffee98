#include "core/backup.h"

#include "core/folderGuard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A sub-folder of dir that this user owns, made 0700 when missing; never a link.
Fd ownFolder(int dirFd, const QByteArray& name, bool create)
{
    if (create && ::mkdirat(dirFd, name.constData(), 0700) != 0 && errno != EEXIST)
        return Fd();
    Fd fd(::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return Fd();
    if (st.st_uid != ::geteuid()) {
        errno = EPERM;
        return Fd();
    }
    ::fchmod(fd.get(), 0700);
    return fd;
}

QString nameFor(const QString& stamp, int counter)
{
    return counter == 1 ? stamp : stamp + QStringLiteral("-%1").arg(counter, 2, 10, QLatin1Char('0'));
}

bool isToolName(const QByteArray& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{8}-\\d{6}(-\\d{2,})?$"));
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

// The sequence number a backup folder of the tool records, or 0 when it is not one of the tool's.
quint64 sequenceOf(int rootFd, const QByteArray& name)
{
    if (!isToolName(name))
        return 0;
    const Fd dir(::openat(rootFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || ::fstatat(dir.get(), Backup::s_marker, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_size > 20)
        return 0;
    const Fd file(::openat(dir.get(), Backup::s_marker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char text[21];
    const ssize_t n = file.valid() ? ::read(file.get(), text, 20) : -1;
    bool ok = false;
    const quint64 sequence = n > 0 ? QByteArray(text, int(n)).toULongLong(&ok) : 0;
    return ok ? sequence : 0;
}

// The tool's backups in the .backup folder rootFd, oldest first.
QList<QPair<quint64, QByteArray>> toolBackups(int rootFd)
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

// Records the backup's sequence number, one after the newest of the tool's there; written in one call into
// a file created fresh, so a kill leaves it whole or empty (an empty one marks no backup of ours).
bool writeMarker(int rootFd, int targetFd)
{
    const QList<QPair<quint64, QByteArray>> backups = toolBackups(rootFd);
    const QByteArray text = QByteArray::number(backups.isEmpty() ? 1 : backups.last().first + 1);
    const Fd file(
        ::openat(targetFd, Backup::s_marker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return file.valid() && ::write(file.get(), text.constData(), size_t(text.size())) == text.size() &&
           ::fsync(file.get()) == 0;
}

// A private key or users file in a backup is for its owner alone. Only a regular file is touched, on its own
// descriptor: a link is moved as the link and its target keeps its mode.
void makePrivate(int dirFd, const QByteArray& entry)
{
    struct stat before, opened;
    if (::fstatat(dirFd, entry.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(before.st_mode))
        return;
    const Fd fd(
        ::openat(dirFd, entry.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.valid() && ::fstat(fd.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
        opened.st_ino == before.st_ino && opened.st_dev == before.st_dev)
        ::fchmod(fd.get(), 0600);
}

struct Holder
{
    QString path;
    Fd dir;
    Fd root;
    Fd target;
    bool made = false; // its backup folder was made by this call
};

} // namespace

const char* const Backup::s_marker = ".moxsec-backup";

QString Backup::backupRoot(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".backup"));
}

bool Backup::moveAway(const QStringList& paths, bool secret, const QDateTime& when, QStringList& used,
                      QString* error)
{
    return moveAway(paths, secret ? paths : QStringList(), when, used, error);
}

bool Backup::moveAway(const QStringList& paths, const QStringList& secretPaths, const QDateTime& when,
                      QStringList& used, QString* error)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    std::vector<Holder> holders;
    const auto holderOf = [&holders](const QString& path) -> Holder* {
        for (Holder& holder : holders)
            if (holder.path == path)
                return &holder;
        return nullptr;
    };
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if ((!info.exists() && !info.isSymLink()) || holderOf(info.absolutePath()))
            continue;
        Holder holder;
        holder.path = info.absolutePath();
        holder.dir =
            Fd(::open(QFile::encodeName(holder.path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (holder.dir.valid())
            holder.root = ownFolder(holder.dir.get(), ".backup", true);
        if (!holder.root.valid())
            return fail(
                tr("Cannot make the backup folder '%1': %2").arg(backupRoot(holder.path), systemError()));
        holders.push_back(std::move(holder));
    }
    if (holders.empty())
        return true;

    // An earlier call of this deletion chose the name; folders it already made are used again.
    QString name = used.isEmpty() ? QString() : QFileInfo(used.first()).fileName();
    for (Holder& holder : holders) {
        if (used.contains(QDir(backupRoot(holder.path)).filePath(name)))
            holder.target = ownFolder(holder.root.get(), QFile::encodeName(name), false);
    }
    // Otherwise the first name free in every folder still missing one: taken is taken, whatever else is
    // there.
    const QString stamp = when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const auto makeAll = [&holders](const QString& candidate, int& failure) {
        const QByteArray encoded = QFile::encodeName(candidate);
        for (Holder& holder : holders) {
            if (holder.target.valid())
                continue;
            if (::mkdirat(holder.root.get(), encoded.constData(), 0700) != 0) {
                failure = errno;
                for (Holder& made : holders) {
                    if (made.made)
                        ::unlinkat(made.root.get(), encoded.constData(), AT_REMOVEDIR);
                    made.made = false;
                }
                return false;
            }
            holder.made = true;
        }
        return true;
    };
    int failure = 0;
    bool made = !name.isEmpty() && makeAll(name, failure);
    for (int counter = 1; !made && counter <= 9999 && (failure == 0 || failure == EEXIST); ++counter)
        made = makeAll(name = nameFor(stamp, counter), failure);
    if (!made) {
        errno = failure;
        return fail(tr("Cannot make a backup folder in '%1': %2")
                        .arg(backupRoot(holders.front().path), failure ? systemError() : tr("no free name")));
    }
    for (Holder& holder : holders) {
        if (!holder.made)
            continue;
        holder.target = ownFolder(holder.root.get(), QFile::encodeName(name), false);
        if (!holder.target.valid() || !writeMarker(holder.root.get(), holder.target.get()))
            return fail(
                tr("Cannot make a backup folder in '%1': %2").arg(backupRoot(holder.path), systemError()));
        used << QDir(backupRoot(holder.path)).filePath(name);
    }

    for (const QString& path : paths) {
        const QFileInfo info(path);
        Holder* holder = holderOf(info.absolutePath());
        if (!holder)
            continue;
        if (!holder->target.valid())
            return fail(tr("Cannot open the backup folder '%1': %2")
                            .arg(QDir(backupRoot(holder->path)).filePath(name), systemError()));
        const QByteArray entry = QFile::encodeName(info.fileName());
        if (::renameat(holder->dir.get(), entry.constData(), holder->target.get(), entry.constData()) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(tr("Cannot move '%1' into the backup '%2': %3")
                            .arg(path, QDir(backupRoot(holder->path)).filePath(name), systemError()));
        }
        if (secretPaths.contains(path))
            makePrivate(holder->target.get(), entry);
    }
    return true;
}

Problems Backup::prune(const QString& folder, const QStringList& protectedPaths)
{
    Problems problems;
    const QDir root(backupRoot(folder));
    const Fd rootFd(
        ::open(QFile::encodeName(root.path()).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!rootFd.valid())
        return problems;
    QList<QPair<quint64, QByteArray>> backups = toolBackups(rootFd.get());
    const FolderGuard guard(protectedPaths);
    while (backups.size() > s_kept) {
        const FolderGuard::Result removed =
            guard.removeOwn(root.filePath(QFile::decodeName(backups.takeFirst().second)));
        if (!removed.reason.isEmpty())
            problems << Problem{removed.reason, {}};
    }
    return problems;
}
