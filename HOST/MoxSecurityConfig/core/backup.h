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

    // Moves each path into one new backup folder per holding folder (0700; named after `when`, local
    // time, "yyyyMMdd-HHmmss", with "-02", "-03", ... when taken, so names sort by age). Files keep their bytes; a private key or users
    // file (secret) is made 0600. No link is followed: ".backup" must be a real folder owned by this user.
    // Returns the backup folders used; on failure error says what and nothing further is moved.
    static bool moveAway(const QStringList& paths, bool secret, const QDateTime& when, QStringList& used,
                         QString* error);

    // Removes all but the newest s_kept backups of folder, through the folder guard.
    static Problems prune(const QString& folder, const QStringList& protectedPaths);
};
