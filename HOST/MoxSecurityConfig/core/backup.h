// What a deletion takes away is first moved into ".backup/<date-time>/" of the folder that held it, so a
// click never loses a key, a users file or a trust list for good.
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

    // Moves each path into a new backup folder of its holding folder (0700), named after `when` (local
    // time, "yyyyMMdd-HHmmss", with "-02", "-03", ... while a name is taken): one name for every holding
    // folder of the deletion, also across calls that pass the same `used`. Each backup records its
    // sequence number in the file s_marker, written before anything is moved: pruning goes by it, not by
    // name, so a clock set back or a foreign name changes nothing. Entries keep their bytes; a moved regular
    // file that is secret (a private key or users file) is made 0600 on its own descriptor, and a link is
    // moved as the link, its target untouched. ".backup" must be a real folder owned by this user. Returns
    // the backup folders used; on failure error says what and nothing further is moved.
    static bool moveAway(const QStringList& paths, bool secret, const QDateTime& when, QStringList& used,
                         QString* error);
    // The same with only secretPaths (a subset of paths) made 0600.
    static bool moveAway(const QStringList& paths, const QStringList& secretPaths, const QDateTime& when,
                         QStringList& used, QString* error);

    // The file in each of the tool's backups that holds its sequence number.
    static const char* const s_marker;

    // Removes all but the newest s_kept of the tool's backups of folder (by sequence number), through the
    // folder guard. A folder without the tool's marker is never pruned.
    static Problems prune(const QString& folder, const QStringList& protectedPaths);
};
