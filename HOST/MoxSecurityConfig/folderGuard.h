// Folders that "Delete folders" must never remove with everything in them: the file system's root, the
// user's home, and any folder that holds a file the tool or the runtime cannot do without.
#pragma once

#include <QCoreApplication>
#include <QString>

class FolderGuard
{
    Q_DECLARE_TR_FUNCTIONS(FolderGuard)

public:
    // Empty paths protect nothing.
    FolderGuard(const QString& opcUaConfigFile, const QString& coreConfigFile, const QString& authFile);

    // Empty when the folder may be removed, otherwise the line for the Errors tab that says why it was kept.
    QString keepReason(const QString& folder) const;

    // The path with symbolic links and "." and ".." resolved, also for entries that do not exist (yet).
    static QString resolved(const QString& path);

private:
    QString m_opcUaConfigFile;
    QString m_coreConfigFile;
    QString m_authFile;
};
