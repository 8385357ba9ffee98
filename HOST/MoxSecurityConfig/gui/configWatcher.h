// What the window shows against what lies on disk: notices another program's changes to the configuration
// and the users file, and names what differs between the reading shown and a fresh one.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

class ConfigSnapshot;

class ConfigWatcher : public QObject
{
    Q_OBJECT

public:
    explicit ConfigWatcher(QObject* parent = nullptr);

    // Watches the two files, through their folders too: a save that replaces a file by rename ends a watch
    // on the file. Remembers their state, so what the window has just read raises no notice.
    void watch(const QString& configPath, const QString& usersPath);
    // The window wrote the files itself: their new state is no news.
    void ownWrite() { m_seen = diskState(); }
    // What differs between the reading shown and a fresh one: paths, their presence and new errors; empty
    // when the window may act on the fresh reading.
    static QStringList changes(const ConfigSnapshot& shown, const ConfigSnapshot& fresh);

signals:
    // Another program changed a watched file; never raised under an open modal dialog, which may hold what
    // the window read.
    void changedOnDisk();

private:
    void settled();
    QStringList diskState() const;

    QFileSystemWatcher m_watcher;
    QTimer m_later;      // a save comes as several events: one notice after the last
    QStringList m_files; // the watched files
    QStringList m_seen;  // diskState() when the window last read or wrote the files
};
