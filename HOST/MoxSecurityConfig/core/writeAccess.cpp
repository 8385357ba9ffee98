#include "core/writeAccess.h"

#include "core/backup.h"
#include "core/configSnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

WriteAccess::WriteAccess(const ConfigSnapshot& snapshot) : m_snapshot(snapshot) {}

bool WriteAccess::mayWrite(const QString& path)
{
    // The effective ids decide, as for the open and rename that follow; a read-only mount refuses root too.
    return ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK, AT_EACCESS) == 0;
}

QString WriteAccess::writtenFolder(const QString& path)
{
    QString folder = QFileInfo(path).absolutePath();
    while (!QFileInfo(folder).isDir() && !QDir(folder).isRoot())
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

void WriteAccess::deny(const QString& path)
{
    if (!m_denied.contains(path))
        m_denied << path;
}

void WriteAccess::needFolder(const QString& folder)
{
    if (!mayWrite(folder))
        deny(folder);
    // A backup goes into .backup of the folder: one there must take it too.
    const QString backups = Backup::backupRoot(folder);
    if (QFileInfo(backups).isDir() && !mayWrite(backups))
        deny(backups);
}

void WriteAccess::add(const QString& path, Change change)
{
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    const bool present = info.exists() || info.isSymLink();
    if ((change == Change::Create && present) || (change == Change::Remove && !present))
        return;
    // The file itself names the trouble best; its folder takes the new copy. A link is replaced, not written.
    if (change == Change::Replace && present && !info.isSymLink() && !mayWrite(path))
        return deny(path);
    needFolder(change == Change::Fill && info.isDir() ? path : writtenFolder(path));
}

void WriteAccess::addBackup(const Backup::Record& record)
{
    for (const Backup::Item& item : record.items)
        needFolder(writtenFolder(item.place));
    addManifest();
}

void WriteAccess::addManifest()
{
    if (!m_snapshot.configPath.isEmpty())
        needFolder(QFileInfo(m_snapshot.configPath).absolutePath());
}
