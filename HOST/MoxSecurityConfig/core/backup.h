// What a deletion takes away is first moved into ".backup/<date-time>/" of the folder that held it, so a
// click never loses a key, a users file or a trust list for good, and a manifest says how to put it back.
#pragma once

#include "core/problem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>

class Backup
{
    Q_DECLARE_TR_FUNCTIONS(Backup)

public:
    // Backups kept per folder; older ones are pruned.
    static const int s_kept = 10;

    // Where the backups of the entries of folder go: folder/.backup.
    static QString backupRoot(const QString& folder);

    // One thing a backup holds: where it was, what it was, and its mode and owner there.
    struct Item
    {
        QString place; // the path it had and gets back
        QString type;  // "file", "folder" or "link"
        uint mode = 0; // permission bits
        uint uid = 0, gid = 0;
        QByteArray name; // the entry's name byte for byte (a name need not be UTF-8)
    };
    // A backup as its manifest records it. The copies lie in <folder of place>/.backup/<id>/, one name for
    // the whole deletion; the manifest lies in .backup/<id>.json of the OPC UA configuration's folder.
    struct Record
    {
        QString id;
        QDateTime when;
        QString kind; // "key pair", "users file", "folders", "trust files"
        QList<Item> items;
        QStringList missing; // places whose copy is no longer in the backup (listing only)
    };

    // Moves each path into a new backup folder of its holding folder (0700), named after `when` (local
    // time, "yyyyMMdd-HHmmss", with "-02", "-03", ... while a name is taken): one name for every holding
    // folder of the deletion, also across calls that pass the same `used`. Each backup records its
    // sequence number in the file s_marker, written before anything is moved: pruning goes by it, not by
    // name, so a clock set back or a foreign name changes nothing. Entries keep their bytes and modes (the
    // backup folder alone keeps others out); a link is moved as the link, its target untouched. entries,
    // when given, are the exact names of the paths in their folders, and names those they get in the backup
    // (a file taken aside under a temporary name). Each moved entry is appended to moved. ".backup" must be
    // a real folder owned by this user. Returns the backup folders used; on failure error says what and
    // nothing further is moved. With a manifestFolder, a new name is also one without a manifest there
    // (reserved by an empty one).
    static bool moveAway(const QStringList& paths, const QDateTime& when, QStringList& used, QString* error,
                         QList<Item>* moved = nullptr, const QString& manifestFolder = QString(),
                         const QList<QByteArray>& entries = {}, const QList<QByteArray>& names = {});

    // Adds items to the manifest of backup id in manifestFolder/.backup (made when missing), written
    // atomically, 0600.
    static bool record(const QString& manifestFolder, const QString& id, const QString& kind,
                       const QList<Item>& items, QString* error);
    // The backups that manifestFolder's manifests record, oldest first; those whose copies are all gone are
    // left out.
    static QList<Record> list(const QString& manifestFolder, Problems* problems = nullptr);
    // Puts every item of backup id back under its place with its mode and owner, moving by rename and never
    // through a link. A place that is taken stops everything, unless replace: then what is there first goes
    // into a backup of its own (its folders in replaced). The emptied backup and its manifest go.
    static bool restore(const QString& manifestFolder, const QString& id, bool replace, QStringList& replaced,
                        QString* error, QString* cause);
    // Removes backup id for good, its folders through the folder guard's own removal, then its manifest.
    static Problems remove(const QString& manifestFolder, const QString& id,
                           const QStringList& protectedPaths);
    // Removes the manifests whose backups pruning took.
    static void dropStale(const QString& manifestFolder);

    // The file in each of the tool's backups that holds its sequence number.
    static const char* const s_marker;

    // Removes all but the newest s_kept of the tool's backups of folder (by sequence number), through the
    // folder guard. A folder without the tool's marker is never pruned.
    static Problems prune(const QString& folder, const QStringList& protectedPaths);
};
