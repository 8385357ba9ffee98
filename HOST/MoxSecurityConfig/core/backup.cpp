#include "core/backup.h"

#include "core/folderGuard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

QString Backup::backupRoot(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".backup"));
}

bool Backup::moveAway(const QStringList& paths, bool secret, const QDateTime& when, QStringList& used,
                      QString* error)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    const QString stamp = when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            continue;
        const QString holder = info.absolutePath();
        Fd holderFd(::open(QFile::encodeName(holder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        Fd root;
        if (holderFd.valid())
            root = ownFolder(holderFd.get(), ".backup", true);
        if (!root.valid())
            return fail(tr("Cannot make the backup folder '%1': %2").arg(backupRoot(holder), systemError()));

        // One backup folder per holding folder and deletion.
        QString name;
        for (const QString& taken : used) {
            if (QFileInfo(taken).absolutePath() == backupRoot(holder))
                name = QFileInfo(taken).fileName();
        }
        Fd target;
        if (!name.isEmpty()) {
            target = ownFolder(root.get(), QFile::encodeName(name), false);
        } else {
            // A new backup sorts after every one there, also when a pruned name would be free again.
            const QStringList taken =
                QDir(backupRoot(holder)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            const QString newest = taken.isEmpty() ? QString() : taken.last();
            // A clock set back still gives a name after the newest.
            const QString base = qMax(stamp, newest.left(stamp.size()));
            for (int n = 1; n < 100 && !target.valid(); ++n) {
                name = n == 1 ? base : base + QStringLiteral("-%1").arg(n, 2, 10, QLatin1Char('0'));
                if (name <= newest)
                    continue;
                if (::mkdirat(root.get(), QFile::encodeName(name).constData(), 0700) == 0)
                    target = ownFolder(root.get(), QFile::encodeName(name), false);
                else if (errno != EEXIST)
                    break;
            }
            if (target.valid())
                used << QDir(backupRoot(holder)).filePath(name);
        }
        if (!target.valid())
            return fail(tr("Cannot make a backup folder in '%1': %2").arg(backupRoot(holder), systemError()));

        const QByteArray entry = QFile::encodeName(info.fileName());
        if (::renameat(holderFd.get(), entry.constData(), target.get(), entry.constData()) != 0)
            return fail(tr("Cannot move '%1' into the backup '%2': %3")
                            .arg(path, QDir(backupRoot(holder)).filePath(name), systemError()));
        if (secret)
            ::fchmodat(target.get(), entry.constData(), 0600, 0);
    }
    return true;
}

Problems Backup::prune(const QString& folder, const QStringList& protectedPaths)
{
    Problems problems;
    const QDir root(backupRoot(folder));
    QStringList backups = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    const FolderGuard guard(protectedPaths);
    while (backups.size() > s_kept) {
        const FolderGuard::Result removed = guard.removeOwn(root.filePath(backups.takeFirst()));
        if (!removed.reason.isEmpty())
            problems << Problem{removed.reason, {}};
    }
    return problems;
}
