#include "core/backup.h"

#include "core/backupFolders.h"
#include "core/fileSafety.h"
#include "core/folderGuard.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::Descriptor;
using PosixIo::errorText;

bool failWith(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

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
    BackupFolders holders;
    QString why = holders.open(paths, entries);
    if (why.isEmpty() && holders.empty())
        return true;
    if (why.isEmpty())
        why = holders.makeTargets(used, when, manifestFolder);
    if (!why.isEmpty())
        return failWith(error, why);
    const QString& name = holders.name();
    for (int i = 0; i < paths.size(); ++i) {
        const QFileInfo info(paths.at(i));
        BackupFolders::Holder* holder = holders.of(info.absolutePath());
        if (!holder)
            continue;
        const QString backup = QDir(backupRoot(holder->path)).filePath(name);
        if (!holder->target.valid())
            return failWith(error, tr("Cannot open the backup folder '%1': %2").arg(backup, errorText()));
        const QByteArray entry = entries.value(i, QFile::encodeName(info.fileName()));
        const QByteArray stored = names.value(i, entry);
        struct stat st;
        if (::fstatat(holder->dir.get(), entry.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return failWith(error, tr("Cannot read '%1': %2").arg(paths.at(i), errorText()));
        }
        // Never over something already in the backup.
        if (::renameat2(holder->dir.get(), entry.constData(), holder->target.get(), stored.constData(),
                        RENAME_NOREPLACE) != 0) {
            if (errno == ENOENT)
                continue;
            return failWith(
                error, tr("Cannot move '%1' into the backup '%2': %3").arg(paths.at(i), backup, errorText()));
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
    QList<QPair<quint64, QByteArray>> backups = BackupFolders::toolBackups(rootFd.get());
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

// The manifest of backup id, when id names one of the tool's.
bool readBackup(const QString& manifestFolder, const QString& id, Backup::Record& record, QString* error)
{
    return BackupFolders::isToolName(QFile::encodeName(id)) &&
           readRecord(manifestPath(manifestFolder, id), record, error);
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

// Syncs backup id's folder beside each item and the .backup folder that holds it: what was moved in and the
// new folder's own name are on disk before the manifest that names them is relied on.
void syncBackupFolders(const QList<Backup::Item>& items, const QString& id)
{
    QStringList done;
    for (const Backup::Item& item : items) {
        const QString root = Backup::backupRoot(QFileInfo(item.place).absolutePath());
        if (done.contains(root))
            continue;
        done << root;
        for (const QString& folder : {QDir(root).filePath(id), root}) {
            const Descriptor fd(::open(QFile::encodeName(folder).constData(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.valid())
                ::fsync(fd.get());
        }
    }
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
    if (!dir.valid() || !BackupFolders::ownFolder(dir.get(), ".backup", true).valid()) {
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
    syncBackupFolders(items, id);
    return FileSafety::writeAtomically(path, QJsonDocument(object).toJson(), FileSafety::Ownership(), error);
}

QList<Backup::Record> Backup::list(const QString& manifestFolder, Problems* problems)
{
    QList<Record> records;
    const QDir root(backupRoot(manifestFolder));
    for (const QString& name : root.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
        if (!BackupFolders::isToolName(QFile::encodeName(QFileInfo(name).completeBaseName())))
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
    if (!readBackup(manifestFolder, id, record, &why))
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
        const Descriptor root =
            dir.valid() ? BackupFolders::ownFolder(dir.get(), ".backup", false) : Descriptor();
        const Descriptor from =
            root.valid() ? BackupFolders::ownFolder(root.get(), name, false) : Descriptor();
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
        const Descriptor root(::open(QFile::encodeName(backupRoot(holder)).constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const Descriptor backupFd =
            root.valid() ? BackupFolders::ownFolder(root.get(), name, false) : Descriptor();
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
    if (!readBackup(manifestFolder, id, record, &why))
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
        if (!BackupFolders::isToolName(QFile::encodeName(id)) ||
            !readRecord(root.filePath(name), record, nullptr))
            continue;
        const bool anyLeft = std::any_of(record.items.begin(), record.items.end(),
                                         [&](const Item& item) { return present(storedPath(item, id)); });
        if (!anyLeft)
            ::unlink(QFile::encodeName(root.filePath(name)).constData());
    }
}
