#include "core/backup.h"

#include "core/fileSafety.h"
#include "core/folderGuard.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using PosixIo::Descriptor;
using PosixIo::errorText;

// A sub-folder of dir that this user owns, made 0700 when missing; never a link.
Descriptor ownFolder(int dirFd, const QByteArray& name, bool create)
{
    if (create && ::mkdirat(dirFd, name.constData(), 0700) != 0 && errno != EEXIST)
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
    const Descriptor file(
        ::openat(targetFd, Backup::s_marker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return file.valid() && ::write(file.get(), text.constData(), size_t(text.size())) == text.size() &&
           ::fsync(file.get()) == 0;
}

struct Holder
{
    QString path;
    Descriptor dir;
    Descriptor root;
    Descriptor target;
    bool made = false; // its backup folder was made by this call
};

} // namespace

const char* const Backup::s_marker = ".moxsec-backup";

QString Backup::backupRoot(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".backup"));
}

bool Backup::moveAway(const QStringList& paths, const QDateTime& when, QStringList& used, QString* error,
                      QList<Item>* moved, const QString& manifestFolder, const QList<QByteArray>& entries,
                      const QList<QByteArray>& names)
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
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths.at(i));
        struct stat st;
        const QByteArray exact = QFile::encodeName(info.absolutePath()) + '/' +
                                 entries.value(i, QFile::encodeName(info.fileName()));
        if (::lstat(exact.constData(), &st) != 0 || holderOf(info.absolutePath()))
            continue;
        Holder holder;
        holder.path = info.absolutePath();
        holder.dir = Descriptor(
            ::open(QFile::encodeName(holder.path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (holder.dir.valid())
            holder.root = ownFolder(holder.dir.get(), ".backup", true);
        if (!holder.root.valid())
            return fail(
                tr("Cannot make the backup folder '%1': %2").arg(backupRoot(holder.path), errorText()));
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
    // A new name is also reserved in the manifests' folder, so two deletions in other folders never share a
    // manifest.
    Descriptor manifests;
    if (!manifestFolder.isEmpty()) {
        const Descriptor top(
            ::open(QFile::encodeName(manifestFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        manifests = top.valid() ? ownFolder(top.get(), ".backup", true) : Descriptor();
        if (!manifests.valid())
            return fail(
                tr("Cannot make the backup folder '%1': %2").arg(backupRoot(manifestFolder), errorText()));
    }
    const QString reused = name;
    const auto makeAll = [&holders, &manifests, &reused](const QString& candidate, int& failure) {
        const QByteArray encoded = QFile::encodeName(candidate);
        const QByteArray manifest = QFile::encodeName(candidate + QStringLiteral(".json"));
        if (manifests.valid() && candidate != reused) {
            const Descriptor reserved(::openat(manifests.get(), manifest.constData(),
                                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!reserved.valid()) {
                failure = errno;
                return false;
            }
        }
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
                if (manifests.valid() && candidate != reused)
                    ::unlinkat(manifests.get(), manifest.constData(), 0);
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
                        .arg(backupRoot(holders.front().path), failure ? errorText() : tr("no free name")));
    }
    for (Holder& holder : holders) {
        if (!holder.made)
            continue;
        holder.target = ownFolder(holder.root.get(), QFile::encodeName(name), false);
        if (!holder.target.valid() || !writeMarker(holder.root.get(), holder.target.get()))
            return fail(
                tr("Cannot make a backup folder in '%1': %2").arg(backupRoot(holder.path), errorText()));
        used << QDir(backupRoot(holder.path)).filePath(name);
    }

    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths.at(i));
        Holder* holder = holderOf(info.absolutePath());
        if (!holder)
            continue;
        if (!holder->target.valid())
            return fail(tr("Cannot open the backup folder '%1': %2")
                            .arg(QDir(backupRoot(holder->path)).filePath(name), errorText()));
        const QByteArray entry = entries.value(i, QFile::encodeName(info.fileName()));
        const QByteArray stored = names.value(i, entry);
        struct stat st;
        if (::fstatat(holder->dir.get(), entry.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(tr("Cannot read '%1': %2").arg(paths.at(i), errorText()));
        }
        // Never over something already in the backup.
        if (::renameat2(holder->dir.get(), entry.constData(), holder->target.get(), stored.constData(),
                        RENAME_NOREPLACE) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(tr("Cannot move '%1' into the backup '%2': %3")
                            .arg(paths.at(i), QDir(backupRoot(holder->path)).filePath(name), errorText()));
        }
        if (moved)
            moved->append(Item{QDir(holder->path).filePath(QFile::decodeName(stored)),
                               S_ISDIR(st.st_mode)   ? QStringLiteral("folder")
                               : S_ISLNK(st.st_mode) ? QStringLiteral("link")
                                                     : QStringLiteral("file"),
                               uint(st.st_mode & 07777), uint(st.st_uid), uint(st.st_gid), stored});
    }
    return true;
}

Problems Backup::prune(const QString& folder, const QStringList& protectedPaths)
{
    Problems problems;
    const QDir root(backupRoot(folder));
    const Descriptor rootFd(
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

namespace {

const qint64 s_maxManifestSize = 1 << 20;

QString manifestPath(const QString& manifestFolder, const QString& id)
{
    return QDir(Backup::backupRoot(manifestFolder)).filePath(id + QStringLiteral(".json"));
}

// Where an item's copy lies in backup id: beside its place, never anywhere the manifest could name.
QByteArray storedPath(const Backup::Item& item, const QString& id)
{
    return QFile::encodeName(QDir(Backup::backupRoot(QFileInfo(item.place).absolutePath())).filePath(id)) +
           '/' + item.name;
}

// The place byte for byte.
QByteArray exactPlace(const Backup::Item& item)
{
    return QFile::encodeName(QFileInfo(item.place).absolutePath()) + '/' + item.name;
}

// A place is an absolute, clean path of a named entry; anything else in a manifest is ignored.
bool plainPlace(const QString& place)
{
    const QString name = QFileInfo(place).fileName();
    return QDir::isAbsolutePath(place) && QDir::cleanPath(place) == place && !name.isEmpty() &&
           name != QLatin1String(".") && name != QLatin1String("..");
}

bool present(const QByteArray& path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool readRecord(const QString& path, Backup::Record& record, QString* error)
{
    const Descriptor fd(FileSafety::openRegular(path, error, s_maxManifestSize));
    if (!fd.valid())
        return false;
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly)) {
        if (error)
            *error = Backup::tr("Cannot read '%1'.").arg(path);
        return false;
    }
    QJsonParseError parsed;
    const QByteArray text = file.readAll();
    if (text.isEmpty()) // reserved by a deletion that has not finished, or was killed
        return false;
    const QJsonObject object = QJsonDocument::fromJson(text, &parsed).object();
    if (parsed.error != QJsonParseError::NoError || !object.value(QStringLiteral("items")).isArray()) {
        if (error)
            *error = Backup::tr("'%1' is no backup manifest.").arg(path);
        return false;
    }
    record.id = QFileInfo(path).completeBaseName();
    record.when = QDateTime::fromString(object.value(QStringLiteral("when")).toString(), Qt::ISODate);
    record.kind = object.value(QStringLiteral("kind")).toString();
    for (const QJsonValue& value : object.value(QStringLiteral("items")).toArray()) {
        const QJsonObject item = value.toObject();
        const QString place = item.value(QStringLiteral("place")).toString();
        const QByteArray name =
            QByteArray::fromHex(item.value(QStringLiteral("name_hex")).toString().toLatin1());
        if (!plainPlace(place) || name.isEmpty() || name.contains('/') || name == "." || name == "..")
            continue;
        record.items << Backup::Item{place,
                                     item.value(QStringLiteral("type")).toString(),
                                     uint(item.value(QStringLiteral("mode")).toInt()) & 07777u,
                                     uint(item.value(QStringLiteral("uid")).toDouble()),
                                     uint(item.value(QStringLiteral("gid")).toDouble()),
                                     name};
    }
    return true;
}

// Gives the entry name in dirFd the item's owner and mode, on its own descriptor; a link only its owner.
bool setModeAndOwner(int dirFd, const QByteArray& name, const Backup::Item& item)
{
    struct stat before, opened;
    if (::fstatat(dirFd, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(before.st_mode))
        return ::fchownat(dirFd, name.constData(), item.uid, item.gid, AT_SYMLINK_NOFOLLOW) == 0;
    const Descriptor fd(::openat(dirFd, name.constData(),
                                 (S_ISDIR(before.st_mode) ? O_DIRECTORY : O_NONBLOCK | O_NOCTTY) | O_RDONLY |
                                     O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || opened.st_ino != before.st_ino ||
        opened.st_dev != before.st_dev)
        return false;
    // The owner first: a change of owner may clear set-id bits that the mode then sets again.
    return ::fchown(fd.get(), item.uid, item.gid) == 0 && ::fchmod(fd.get(), item.mode) == 0;
}

QJsonObject itemJson(const Backup::Item& item)
{
    return QJsonObject{{QStringLiteral("place"), item.place},
                       {QStringLiteral("name_hex"), QString::fromLatin1(item.name.toHex())},
                       {QStringLiteral("type"), item.type},
                       {QStringLiteral("mode"), int(item.mode)},
                       {QStringLiteral("uid"), double(item.uid)},
                       {QStringLiteral("gid"), double(item.gid)}};
}

} // namespace

bool Backup::record(const QString& manifestFolder, const QString& id, const QString& kind,
                    const QList<Item>& items, QString* error)
{
    const QString path = manifestPath(manifestFolder, id);
    Record existing;
    QJsonArray array;
    if (present(QFile::encodeName(path)) && readRecord(path, existing, nullptr)) {
        for (const Item& item : existing.items)
            array.append(itemJson(item));
    }
    for (const Item& item : items)
        array.append(itemJson(item));
    const Descriptor dir(
        ::open(QFile::encodeName(manifestFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || !ownFolder(dir.get(), ".backup", true).valid()) {
        if (error)
            *error =
                tr("Cannot make the backup folder '%1': %2").arg(backupRoot(manifestFolder), errorText());
        return false;
    }
    const QJsonObject object{
        {QStringLiteral("when"), (existing.when.isValid() ? existing.when : QDateTime::currentDateTime())
                                     .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                                     .toString(Qt::ISODate)},
        {QStringLiteral("kind"), existing.kind.isEmpty() ? kind : existing.kind},
        {QStringLiteral("items"), array}};
    return FileSafety::writeAtomically(path, QJsonDocument(object).toJson(), FileSafety::Ownership(), error);
}

QList<Backup::Record> Backup::list(const QString& manifestFolder, Problems* problems)
{
    QList<Record> records;
    const QDir root(backupRoot(manifestFolder));
    for (const QString& name : root.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
        if (!isToolName(QFile::encodeName(QFileInfo(name).completeBaseName())))
            continue;
        Record record;
        QString error;
        if (!readRecord(root.filePath(name), record, &error)) {
            if (problems && !error.isEmpty())
                *problems << Problem{tr("A backup cannot be listed."), error};
            continue;
        }
        for (const Item& item : record.items) {
            if (!present(storedPath(item, record.id)))
                record.missing << item.place;
        }
        if (record.missing.size() < record.items.size())
            records << record;
    }
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return a.when != b.when ? a.when < b.when : a.id < b.id;
    });
    return records;
}

bool Backup::restore(const QString& manifestFolder, const QString& id, bool replace, QStringList& replaced,
                     QString* error, QString* cause)
{
    auto fail = [&](const QString& what, const QString& why) {
        if (error)
            *error = what;
        if (cause)
            *cause = why;
        return false;
    };
    Record record;
    QString why;
    if (!isToolName(QFile::encodeName(id)) || !readRecord(manifestPath(manifestFolder, id), record, &why))
        return fail(tr("There is no backup '%1'.").arg(id), why);
    QStringList lacking, taken;
    QList<QByteArray> takenNames;
    for (const Item& item : record.items) {
        if (!present(storedPath(item, id)))
            lacking << QFile::decodeName(storedPath(item, id));
        if (present(exactPlace(item))) {
            taken << item.place;
            takenNames << item.name;
        }
    }
    if (record.items.isEmpty() || !lacking.isEmpty())
        return fail(tr("Nothing was restored: the backup '%1' is incomplete.").arg(id),
                    tr("Missing: %1").arg(lacking.join(QStringLiteral(", "))));
    if (!taken.isEmpty() && !replace)
        return fail(tr("Nothing was restored: a name the backup would take is in use."),
                    taken.join(QStringLiteral(", ")));
    if (!taken.isEmpty()) {
        QList<Item> moved;
        QString failure;
        const bool ok = moveAway(taken, QDateTime::currentDateTime(), replaced, &failure, &moved,
                                 manifestFolder, takenNames);
        if (!moved.isEmpty() && !replaced.isEmpty())
            Backup::record(manifestFolder, QFileInfo(replaced.first()).fileName(), record.kind, moved,
                           nullptr);
        if (!ok)
            return fail(tr("Nothing was restored: what it would replace could not be backed up."), failure);
    }
    const QByteArray name = QFile::encodeName(id);
    QStringList holders;
    for (const Item& item : record.items) {
        const QFileInfo info(item.place);
        const Descriptor dir(
            ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const Descriptor root = dir.valid() ? ownFolder(dir.get(), ".backup", false) : Descriptor();
        const Descriptor from = root.valid() ? ownFolder(root.get(), name, false) : Descriptor();
        const QByteArray& entry = item.name;
        if (!from.valid() ||
            ::renameat2(from.get(), entry.constData(), dir.get(), entry.constData(), RENAME_NOREPLACE) != 0)
            return fail(tr("Cannot restore '%1'.").arg(item.place),
                        QStringLiteral("%1: %2").arg(QFile::decodeName(storedPath(item, id)), errorText()));
        if (!setModeAndOwner(dir.get(), entry, item))
            return fail(tr("'%1' is back, but not with its mode and owner.").arg(item.place), errorText());
        if (!holders.contains(info.absolutePath()))
            holders << info.absolutePath();
    }
    // The emptied backup folders and the manifest go; what else a folder holds keeps it.
    for (const QString& holder : holders) {
        const QString folder = QDir(backupRoot(holder)).filePath(id);
        const Descriptor root(::open(QFile::encodeName(backupRoot(holder)).constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const Descriptor backupFd = root.valid() ? ownFolder(root.get(), name, false) : Descriptor();
        if (backupFd.valid())
            ::unlinkat(backupFd.get(), s_marker, 0);
        if (root.valid())
            ::unlinkat(root.get(), name.constData(), AT_REMOVEDIR);
    }
    ::unlink(QFile::encodeName(manifestPath(manifestFolder, id)).constData());
    return true;
}

Problems Backup::remove(const QString& manifestFolder, const QString& id, const QStringList& protectedPaths)
{
    Problems problems;
    Record record;
    QString why;
    if (!isToolName(QFile::encodeName(id)) || !readRecord(manifestPath(manifestFolder, id), record, &why))
        return {Problem{tr("There is no backup '%1'.").arg(id), why}};
    const FolderGuard guard(protectedPaths);
    QStringList done;
    for (const Item& item : record.items) {
        const QString folder = QDir(backupRoot(QFileInfo(item.place).absolutePath())).filePath(id);
        if (done.contains(folder))
            continue;
        done << folder;
        const FolderGuard::Result removed = guard.removeOwn(folder);
        if (!removed.reason.isEmpty())
            problems << Problem{tr("The backup '%1' was not deleted whole.").arg(id), removed.reason};
    }
    if (problems.isEmpty() &&
        ::unlink(QFile::encodeName(manifestPath(manifestFolder, id)).constData()) != 0 && errno != ENOENT)
        problems << Problem{tr("The backup '%1' was not deleted whole.").arg(id),
                            QStringLiteral("%1: %2").arg(manifestPath(manifestFolder, id), errorText())};
    return problems;
}

void Backup::dropStale(const QString& manifestFolder)
{
    const QDir root(backupRoot(manifestFolder));
    for (const QString& name : root.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
        const QString id = QFileInfo(name).completeBaseName();
        Record record;
        if (!isToolName(QFile::encodeName(id)) || !readRecord(root.filePath(name), record, nullptr))
            continue;
        const bool anyLeft = std::any_of(record.items.begin(), record.items.end(),
                                         [&](const Item& item) { return present(storedPath(item, id)); });
        if (!anyLeft)
            ::unlink(QFile::encodeName(root.filePath(name)).constData());
    }
}
