// Deletion of the client-certificate folders, which come from a configuration and so cannot be trusted: a
// folder is resolved once by the file system and exactly that folder is deleted, or it is kept with the
// reason why.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class FolderGuard
{
    Q_DECLARE_TR_FUNCTIONS(FolderGuard)

public:
    // protectedPaths: files no deletion may take with it (the configuration, the core configuration, the
    // users file, the OpenSSL templates, the server's own key and certificate). Empty entries are ignored.
    explicit FolderGuard(const QStringList& protectedPaths);

    struct Result
    {
        bool deleted = false; // the folder was there and is gone
        QString resolved;     // the folder as the file system resolved it (empty when it does not exist)
        QString reason;       // why it was kept, or what failed; empty when deleted or missing
    };

    // Resolves folder once (links and ".." by the file system, realpath), then, unless a rule keeps it,
    // deletes that resolved folder and everything in it through descriptors opened without following links
    // from "/" down, so no parent can be swapped between the check and the deletion. A folder is kept when
    // it is a system folder ("/", "/etc", "/usr", "/var", "/home", "/boot", "/dev", "/proc", "/sys", "/run",
    // and the like), a home folder or a mount point; when it holds a protected path; or when it holds
    // anything but certificate and CRL files (judged by content) and folders holding only such files; the
    // temporaries and aside files that killed writers of this tool left count as its own and go with it.
    // Deletion never crosses a mount point and never follows a link. A missing folder is not an error.
    // The reason names the file or rule that stopped it, as a line for the Errors tab.
    Result remove(const QString& folder) const;
    // The same, for a folder of the tool's own whose content is not certificates (an old backup): every
    // rule but the content rule applies.
    Result removeOwn(const QString& folder) const;

    // The same checks without deleting: empty when remove() would delete folder.
    QString keepReason(const QString& folder) const;

private:
    QStringList m_protected;
};
