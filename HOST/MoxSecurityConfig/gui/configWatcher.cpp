#include "configWatcher.h"

#include "core/configSnapshot.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

ConfigWatcher::ConfigWatcher(QObject* parent) : QObject(parent)
{
    m_later.setSingleShot(true);
    m_later.setInterval(200);
    connect(&m_later, &QTimer::timeout, this, &ConfigWatcher::settled);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this] { m_later.start(); });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_later.start(); });
}

void ConfigWatcher::watch(const QString& configPath, const QString& usersPath)
{
    const QStringList watched = m_watcher.files() + m_watcher.directories();
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);
    m_files = QStringList{configPath, usersPath};
    QStringList paths;
    for (const QString& file : m_files) {
        if (file.isEmpty())
            continue;
        const QFileInfo info(file);
        if (info.exists())
            paths << file; // a write in place changes nothing in the folder
        if (info.absoluteDir().exists())
            paths << info.absolutePath();
    }
    paths.removeDuplicates();
    if (!paths.isEmpty())
        m_watcher.addPaths(paths);
    m_seen = diskState();
}

QStringList ConfigWatcher::diskState() const
{
    QStringList state;
    for (const QString& file : m_files) {
        struct stat st;
        if (file.isEmpty() || ::stat(QFile::encodeName(file).constData(), &st) != 0)
            state << file;
        else
            state << QStringLiteral("%1 %2 %3 %4.%5")
                         .arg(file)
                         .arg(st.st_ino)
                         .arg(st.st_size)
                         .arg(st.st_mtim.tv_sec)
                         .arg(st.st_mtim.tv_nsec);
    }
    return state;
}

void ConfigWatcher::settled()
{
    if (QApplication::activeModalWidget()) {
        m_later.start(); // once the dialog is closed
        return;
    }
    // The window's own writes were seen when it reloaded after them; only another program's are news.
    if (diskState() != m_seen)
        emit changedOnDisk();
}

QStringList ConfigWatcher::changes(const ConfigSnapshot& shown, const ConfigSnapshot& fresh)
{
    QStringList changed;
    if (fresh.stop != ConfigSnapshot::Stop::None) {
        for (const Problem& problem : fresh.errors)
            changed << problem.text();
        return changed;
    }
    const struct
    {
        const PathState &before, &now;
    } paths[] = {{shown.opcUaCertificate, fresh.opcUaCertificate},
                 {shown.opcUaKey, fresh.opcUaKey},
                 {shown.coreCertificate, fresh.coreCertificate},
                 {shown.coreKey, fresh.coreKey},
                 {shown.usersFile, fresh.usersFile},
                 {shown.trustList, fresh.trustList},
                 {shown.issuers, fresh.issuers},
                 {shown.revocation, fresh.revocation},
                 {shown.rejected, fresh.rejected}};
    const QString none = tr("(not configured)");
    for (const auto& path : paths) {
        if (path.before.path != path.now.path)
            changed << tr("%1 is now %2")
                           .arg(path.before.path.isEmpty() ? none : path.before.path,
                                path.now.path.isEmpty() ? none : path.now.path);
        else if (path.before.exists != path.now.exists)
            changed << (path.now.exists ? tr("%1 appeared") : tr("%1 is gone")).arg(path.now.path);
    }
    QStringList before;
    for (const Problem& problem : shown.errors)
        before << problem.text();
    for (const Problem& problem : fresh.errors) {
        if (!before.contains(problem.text()))
            changed << problem.text();
    }
    return changed;
}
