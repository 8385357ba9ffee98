// One client-certificate folder, opened once: every file is read, written, taken aside and put back through
// this descriptor, by a name inside it, without following a link. The folder may itself be a link
// (/mox -> /opt/mox) where the configuration says so; what is checked is every name inside it.
#pragma once

#include "core/certificateFile.h"
#include "core/posixIo.h"
#include "core/trustStore.h"

#include <QByteArray>
#include <QString>

class TrustFolder
{
public:
    // What a move or removal works on: ".<name>.<pid>.<random>.aside" beside the original, which no writer of
    // the folder reuses, and whose dead owner's next run puts it back (TrustStore::sweep).
    static constexpr char s_asideSuffix[] = ".aside";

    // What lies under an aside name: for a regular file read through a descriptor, parsed and re-encoded.
    struct Checked
    {
        bool link = false;
        QByteArray linkTarget;
        CertificateFile::Parsed parsed;
    };

    explicit TrustFolder(const QString& path);

    int fd() const { return m_fd.get(); }
    bool isOpen() const { return m_fd.valid(); }
    int openError() const { return m_error; } // errno of a failed open; ENOENT when no path is given
    // Why the folder did not open; a missing one says what makes it, where a bare errno text would not.
    QString openFailure(TrustStore::Folder folder) const;

    // Opens name without following a link or blocking; a regular file of at most TrustStore::s_maxFileSize
    // bytes on a real file system. why is a sentence without the file's name.
    bool read(const QByteArray& name, QByteArray& data, QString& why) const;
    // A new file: written unnamed (O_TMPFILE) and linked in once complete, which never replaces and leaves
    // nothing behind when killed; where the file system has no unnamed files, through place. exists is set
    // when the name was taken. Without syncFolder the caller syncs the folder once after all its files.
    bool writeNew(const QByteArray& name, const QByteArray& data, bool& exists, QString& why,
                  bool syncFolder = true) const;
    // Writes through a named temporary, synced, then renamed into place, only when name is free unless
    // replace.
    bool place(const QByteArray& name, const QByteArray& data, bool& exists, QString& why,
               bool replace = false, bool syncFolder = true) const;
    bool sameBytes(const QByteArray& name, const QByteArray& data) const;
    // A CRL from the issuer of the one named, issued later: the update of that list.
    bool updatesCrl(const QByteArray& name, const QByteArray& bytes) const;

    bool takeAside(const QByteArray& name, QByteArray& aside, int& failure) const;
    // Puts aside back as name, never replacing: when the name was taken meanwhile, as
    // "<name> [aside <random>]" so it stays listed. The name it got, or empty.
    QByteArray putBack(const QByteArray& aside, const QByteArray& name) const;
    Checked checkAside(const QByteArray& aside) const;
    // The certificate set aside here lies under its name in the other folder: a move got that far.
    bool movedAlready(const QByteArray& aside, const QString& otherFolder, const QByteArray& name) const;

    void sync() const;

    // A name from a listing, or from a caller: one visible entry of the folder, nothing that leads out of it.
    static bool plainName(const QByteArray& name);
    // Cut to at most bytes bytes of UTF-8 without splitting a character (the name's bytes may be no UTF-8).
    static QByteArray cutName(QByteArray name, int bytes);

private:
    // A new file could not take name; exists says whether another one holds it.
    bool notPlaced(const QByteArray& name, int failure, bool& exists, QString& why) const;

    QString m_path;
    PosixIo::Descriptor m_fd;
    int m_error = 0;
};
