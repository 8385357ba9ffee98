// Whether this process may change what an action touches, asked of the kernel (faccessat with the effective
// ids), so a normal user learns before the first click what only an administrator may change.
#pragma once

#include "core/backup.h"

#include <QString>
#include <QStringList>

class ConfigSnapshot;

class WriteAccess
{
public:
    enum class Change
    {
        Replace, // a file written anew beside itself and renamed over it
        Create,  // a file or folder that may not exist yet, with any missing parents
        Remove,  // moved into a backup of its folder, or deleted from it
        Fill,    // a folder whose entries are added, moved or removed
    };

    explicit WriteAccess(const ConfigSnapshot& snapshot);

    // Adds what one change of path needs; an empty path (not configured) needs nothing.
    void add(const QString& path, Change change);
    // The manifest a backup writes beside the OPC UA configuration.
    void addManifest();
    // What restoring or deleting the backup changes: each place's folder with its .backup, and the manifest.
    void addBackup(const Backup::Record& record);
    // The files and folders this process may not write, each once, in the order added.
    const QStringList& denied() const { return m_denied; }

    // True when this process may write path (access(2) with the effective ids, W_OK).
    static bool mayWrite(const QString& path);
    // The folder that a change of path writes into: the nearest existing folder above it.
    static QString writtenFolder(const QString& path);

private:
    void deny(const QString& path);
    void needFolder(const QString& folder);

    const ConfigSnapshot& m_snapshot;
    QStringList m_denied;
};
