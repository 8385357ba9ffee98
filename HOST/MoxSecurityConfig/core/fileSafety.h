// Safe handling of paths read from a configuration: such a path is untrusted. Files are opened without
// blocking and checked on the open descriptor, new files are created fresh under a unique name and renamed
// into place (a planted link is replaced, never written through), and what the tool creates takes the owner,
// group and permission bits that the runtime can use.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <sys/types.h>

class FileSafety
{
    Q_DECLARE_TR_FUNCTIONS(FileSafety)

public:
    // Files larger than this are never read as a configuration, users file, key, certificate or template.
    static constexpr qint64 s_maxFileSize = 64 * 1024 * 1024;

    // Owner, group and modes for what the tool creates: taken from a reference file (the OPC UA
    // configuration), so the runtime, which may run as another user, can use what the tool makes.
    struct Ownership
    {
        uid_t uid = uid_t(-1); // -1: leave as created
        gid_t gid = gid_t(-1);
        mode_t fileMode = 0600;   // never any bit for others
        mode_t folderMode = 0700; // at most 0755
    };

    // The reference file's owner and group; for files its permission bits without those for others, at
    // most 0640; for folders its bits with x added wherever r is, capped at 0755 (the server writes into the
    // rejected folder, so the group keeps its bits). A missing or unreadable reference gives 0600/0700 and no
    // owner.
    static Ownership ownershipFrom(const QString& referenceFile);

    // Opens path read-only with O_NONBLOCK|O_NOCTTY|O_CLOEXEC and checks the open descriptor: it must be a
    // regular file of at most maxSize bytes, on a real file system. A device, FIFO, socket, folder or a file
    // of procfs, sysfs and the like (whose size says nothing) is refused without blocking.
    // Returns the descriptor (blocking mode restored) or -1 with error set to a sentence naming the file.
    static int openRegular(const QString& path, QString* error, qint64 maxSize = s_maxFileSize);
    // The whole content of a regular file, read through openRegular.
    static bool readRegular(const QString& path, QByteArray& data, QString* error,
                            qint64 maxSize = s_maxFileSize);
    // Empty when path is missing or a regular file of at most maxSize bytes (checked on an open
    // descriptor), else the sentence that says what it is instead.
    static QString checkRegular(const QString& path, qint64 maxSize = s_maxFileSize);

    // Creates a new, empty file in folder under a unique name ".<stem>.<pid>.<random>.tmp" (the stem cut so
    // the name fits the file system), with O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600. Returns the open
    // descriptor (the caller closes it) and the path in tempPath, or -1 with error set.
    static int createTemporary(const QString& folder, const QString& stem, QString& tempPath, QString* error);
    // A hidden name made by createTemporary (or the INI writers) with this suffix: the process id that made
    // it, or 0 when name is not of that form.
    static pid_t temporaryOwner(const QByteArray& name, const char* suffix = ".tmp");
    // Removes the temporaries with that suffix in folder whose process is gone: what a killed writer left.
    // Links and folders of such a name are removed as entries, never followed. Returns how many went.
    static int removeStaleTemporaries(const QString& folder, const char* suffix = ".tmp");
    // The longest stem that createTemporary keeps whole (longer ones are cut on a character boundary).
    static constexpr int s_maxStemBytes = 200;

    // Gives the temporary file the ownership (owner and group where the process may set them, then the file
    // mode), syncs it and renames it over target, which may be a link: the link is replaced, not followed.
    // The folder is synced afterwards. On failure the temporary file is removed and target is unchanged.
    static bool moveIntoPlace(const QString& tempPath, const QString& target, const Ownership& ownership,
                              QString* error);

    // createTemporary + write + moveIntoPlace: the file at path is replaced as a whole or not at all.
    static bool writeAtomically(const QString& path, const QByteArray& data, const Ownership& ownership,
                                QString* error);

    // Creates folder with every missing parent; each folder it creates gets folderMode and the owner and
    // group (whatever the umask). Existing folders are left alone. True when folder exists as a folder.
    static bool makeFolders(const QString& folder, const Ownership& ownership, QString* error);

    // What a path is when it is not a regular file ("a folder", "a FIFO", ...), for the sentence that refuses
    // it.
    static QString kindOf(mode_t mode);

    // Mode bits of an existing path (lstat), or -1.
    static int modeOf(const QString& path);
};
