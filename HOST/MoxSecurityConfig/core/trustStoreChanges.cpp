// What changes the client-certificate folders: moves between the rejected folder and the trust list,
// removals and imports. Each works on names inside a folder opened once (TrustFolder).
#include "core/trustStore.h"

#include "core/auditScope.h"
#include "core/backup.h"
#include "core/certificateFile.h"
#include "core/fileSafety.h"
#include "core/trustFolder.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::errorText;
using Entry = TrustStore::Entry;
using Folder = TrustStore::Folder;

QString stays(const QByteArray& aside)
{
    return QLatin1Char(' ') + TrustStore::tr("It stays as '%1'.").arg(QFile::decodeName(aside));
}

// Why entry may not move, before any folder is opened; empty when it may.
QString moveRefusal(const Entry& entry, Folder from, Folder to, const TrustStore::Folders& folders)
{
    if (entry.folder != from)
        return TrustStore::tr("It is in the %1 folder.").arg(TrustStore::folderName(entry.folder));
    if (!TrustFolder::plainName(entry.nameBytes()))
        return TrustStore::tr("Not a file name inside the folder.");
    if (folders.path(from).isEmpty() || folders.path(to).isEmpty())
        return TrustStore::tr("The configuration names no %1 folder.")
            .arg(TrustStore::folderName(folders.path(from).isEmpty() ? from : to));
    if (entry.link)
        return TrustStore::tr("'%1' is a symbolic link; links are never read or moved.").arg(entry.path);
    return QString();
}

// Moves one entry; why it did not, or empty. changed is set once the copy is in place.
QString moveEntry(const Entry& entry, Folder from, Folder to, const TrustStore::Folders& folders,
                  bool& changed)
{
    const QString refused = moveRefusal(entry, from, to, folders);
    if (!refused.isEmpty())
        return refused;
    const QByteArray encoded = entry.nameBytes();
    const TrustFolder source(folders.path(from)), target(folders.path(to));
    if (!source.isOpen() || !target.isOpen())
        return !source.isOpen() ? source.openFailure(from) : target.openFailure(to);
    // From here on no writer of the folder can change what is moved: the name it had is free, and what
    // is written is what was read and checked.
    QByteArray aside;
    int failure = 0;
    if (!source.takeAside(encoded, aside, failure))
        return QStringLiteral("%1: %2").arg(entry.path, errorText(failure));
    const TrustFolder::Checked checked = source.checkAside(aside);
    const Entry& now = checked.parsed.entry;
    QString refusal;
    if (checked.link)
        refusal = TrustStore::tr("'%1' is a symbolic link; links are never read or moved.").arg(entry.path);
    else if (now.thumbprint.isEmpty())
        refusal = TrustStore::tr("'%1' is no certificate: %2").arg(entry.path, now.reason);
    else if (now.thumbprint != entry.thumbprint)
        refusal = TrustStore::tr("'%1' has changed since it was listed: its thumbprint is %2, not %3.")
                      .arg(entry.path, now.thumbprint, entry.thumbprint);
    bool exists = false;
    if (refusal.isEmpty() && !target.writeNew(encoded, checked.parsed.encoded, exists, refusal) && exists)
        refusal = TrustStore::tr("The %1 folder already holds a file of that name; nothing was moved.")
                      .arg(TrustStore::folderName(to));
    if (!refusal.isEmpty()) {
        if (source.putBack(aside, encoded).isEmpty())
            refusal += stays(aside);
        source.sync();
        return refusal;
    }
    changed = true;
    if (::unlinkat(source.fd(), aside.constData(), 0) != 0)
        return TrustStore::tr("It was copied, but the original '%1' could not be removed: %2.")
            .arg(QFile::decodeName(aside), errorText(errno));
    source.sync();
    return QString();
}

// What a removal takes away into a backup: the items moved so far, the backup folders used.
struct Removal
{
    QString backups; // the folder whose .backup records removals; empty: no backups
    QList<Backup::Item> moved;
    QStringList used;
};

// Removes one entry, into the backup when there is one; why it did not, or empty.
QString removeEntry(const Entry& entry, const QString& folder, Removal& removal, bool& changed)
{
    const QByteArray encoded = entry.nameBytes();
    if (!TrustFolder::plainName(encoded))
        return TrustStore::tr("Not a file name inside the folder.");
    const TrustFolder dir(folder);
    if (!dir.isOpen())
        return dir.openFailure(entry.folder);
    QByteArray aside;
    int failure = 0;
    if (!dir.takeAside(encoded, aside, failure))
        return QStringLiteral("%1: %2").arg(entry.path, errorText(failure));
    // What goes is what was listed: the same link, or a file of the same thumbprint (none when it was
    // unreadable).
    const TrustFolder::Checked checked = dir.checkAside(aside);
    const bool same = entry.link ? checked.link && QFile::decodeName(checked.linkTarget) == entry.linkTarget
                                 : !checked.link && checked.parsed.entry.thumbprint == entry.thumbprint;
    if (!same) {
        const QByteArray back = dir.putBack(aside, encoded);
        dir.sync();
        return TrustStore::tr("'%1' has changed since it was listed; nothing was removed.").arg(entry.path) +
               (back.isEmpty() ? stays(aside) : QString());
    }
    if (!removal.backups.isEmpty()) {
        // Into the backup under its own name; on failure it is put back.
        QString error;
        const int count = removal.moved.size();
        Backup::moveAway({entry.path}, QDateTime::currentDateTime(), removal.used, &error, &removal.moved,
                         removal.backups, {aside}, {encoded});
        if (removal.moved.size() == count) {
            dir.putBack(aside, encoded);
            return error.isEmpty() ? TrustStore::tr("It could not be moved into a backup.") : error;
        }
        // unlinkat removes a link itself; without AT_REMOVEDIR it never takes a folder.
    } else if (::unlinkat(dir.fd(), aside.constData(), 0) != 0) {
        failure = errno;
        dir.putBack(aside, encoded);
        return QStringLiteral("%1: %2").arg(entry.path, errorText(failure));
    }
    dir.sync();
    changed = true;
    return QString();
}

// The name an imported CRL gets: its file's name, never hidden, cut to fit with its thumbprint kept.
QByteArray crlFileName(const QString& fileName, const QString& thumbprint)
{
    QString name = fileName;
    while (name.startsWith(QLatin1Char('.')))
        name[0] = QLatin1Char('_');
    if (name.isEmpty())
        name = QStringLiteral("revocation.crl");
    QByteArray encoded = QFile::encodeName(name);
    if (encoded.size() <= TrustStore::s_maxNameBytes)
        return encoded;
    const int dot = encoded.lastIndexOf('.');
    const QByteArray extension = dot > 0 && encoded.size() - dot <= 8 ? encoded.mid(dot) : QByteArray();
    const QByteArray tail = " [" + thumbprint.toLatin1() + ']' + extension;
    return TrustFolder::cutName(encoded.left(encoded.size() - extension.size()),
                                TrustStore::s_maxNameBytes - tail.size()) +
           tail;
}

// One file to import: where it goes, under which name, and what is written.
struct Import
{
    QString file;
    Folder folder = Folder::Revocation;
    QByteArray name;
    CertificateFile::Parsed parsed;
};

// Reads and checks file and finds its place; why it cannot be imported, or empty.
QString prepareImport(const QString& file, TrustStore::Target target, Import& import)
{
    using Kind = TrustStore::Kind;
    using Target = TrustStore::Target;
    QByteArray bytes;
    QString why;
    if (!FileSafety::readRegular(file, bytes, &why, TrustStore::s_maxFileSize))
        return why;
    import.file = file;
    import.parsed = CertificateFile::parse(bytes);
    const Entry& entry = import.parsed.entry;
    if (entry.kind == Kind::Unreadable && !CertificateFile::holdsPrivateKey(bytes, QByteArray()))
        return entry.reason;
    if (CertificateFile::holdsPrivateKey(bytes, import.parsed.encoded))
        return TrustStore::tr("The file holds a private key; only certificates and CRLs are imported.");
    if (import.parsed.encoded.isEmpty())
        return TrustStore::tr("It could not be encoded again.");
    if (entry.kind == Kind::Crl) {
        import.folder = Folder::Revocation;
        import.name = crlFileName(QFileInfo(file).fileName(), entry.thumbprint);
        return QString();
    }
    import.folder = target == Target::Issuers           ? Folder::Issuers
                    : target == Target::Trusted         ? Folder::Trusted
                    : entry.kind == Kind::CaCertificate ? Folder::Issuers
                                                        : Folder::Trusted;
    import.name = QFile::encodeName(
        TrustStore::fileNameFor(entry.name, entry.thumbprint, !CertificateFile::isPem(bytes)));
    return QString();
}

// Writes the import into its folder (or, on a dry run, checks that it could be); why not, or empty. A
// folder written into is added to toSync, for the caller to sync once after all files.
QString placeImport(const Import& import, const QString& folderPath, bool dryRun, QStringList* written,
                    ActionResult& result, QStringList& toSync)
{
    const TrustFolder dir(folderPath);
    if (!dir.isOpen())
        return dir.openFailure(import.folder);
    const QByteArray& name = import.name;
    const QByteArray& encoded = import.parsed.encoded;
    const QString newPath = folderPath + QLatin1Char('/') + QFile::decodeName(name);
    // A dry run's earlier files count as written.
    const bool planned = dryRun && written && written->contains(newPath);
    bool exists = planned;
    QString why;
    struct stat st;
    const bool placed =
        !planned && (dryRun ? !(exists = ::fstatat(dir.fd(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                            : dir.writeNew(name, encoded, exists, why, false));
    if (placed && !dryRun && !toSync.contains(folderPath))
        toSync << folderPath;
    if (placed) {
        result.changed = true;
        if (written)
            written->append(newPath);
        return QString();
    }
    // A newer list of the same issuer replaces the old one: that is how revocation lists are kept.
    if (exists && !planned && import.parsed.entry.kind == TrustStore::Kind::Crl &&
        dir.updatesCrl(name, encoded) && (dryRun || dir.place(name, encoded, exists, why, true, false))) {
        if (!dryRun && !toSync.contains(folderPath))
            toSync << folderPath;
        result.changed = true;
        result.warnings.append(Problem{
            TrustStore::tr("'%1' replaced the older list of the same issuer.").arg(QFile::decodeName(name)),
            import.file});
        if (written)
            written->append(newPath);
        return QString();
    }
    const QString folder = TrustStore::folderName(import.folder);
    if (planned || (exists && dir.sameBytes(name, encoded))) {
        result.warnings.append(
            Problem{TrustStore::tr("'%1' is already in the %2 folder.").arg(QFile::decodeName(name), folder),
                    import.file});
        return QString();
    }
    return exists
               ? TrustStore::tr("The %1 folder already holds another file named '%2'; nothing was written.")
                     .arg(folder, QFile::decodeName(name))
               : why;
}

} // namespace

ActionResult TrustStore::trust(const QList<Entry>& entries) const
{
    return AuditScope::run(eventOf("trust accept", entries),
                           [&] { return move(entries, Folder::Rejected, Folder::Trusted); });
}

ActionResult TrustStore::reject(const QList<Entry>& entries) const
{
    return AuditScope::run(eventOf("trust reject", entries),
                           [&] { return move(entries, Folder::Trusted, Folder::Rejected); });
}

ActionResult TrustStore::remove(const QList<Entry>& entries, bool backup) const
{
    return AuditScope::run(eventOf("trust remove", entries), [&] { return removeNow(entries, backup); });
}

ActionResult TrustStore::importFiles(const QStringList& files, Target target, QStringList* written,
                                     bool dryRun) const
{
    if (dryRun)
        return importNow(files, target, written, true);
    AuditScope audit({QStringLiteral("trust import"), {}, {}});
    QStringList paths;
    const ActionResult result = importNow(files, target, &paths, false);
    QStringList thumbprints;
    for (const QString& path : paths)
        if (const QString thumbprint = AuditTrail::thumbprintOf(path); !thumbprint.isEmpty())
            thumbprints << thumbprint;
    audit.event().files = paths;
    audit.event().subject = thumbprints.join(QLatin1Char(','));
    if (written)
        *written << paths;
    return audit.finish(result);
}

AuditTrail::Event TrustStore::eventOf(const char* action, const QList<Entry>& entries)
{
    AuditTrail::Event event{QLatin1String(action), {}, {}};
    QStringList thumbprints;
    for (const Entry& entry : entries) {
        event.files << entry.path;
        thumbprints << entry.thumbprint;
    }
    event.subject = thumbprints.join(QLatin1Char(','));
    return event;
}

ActionResult TrustStore::move(const QList<Entry>& entries, Folder from, Folder to) const
{
    ActionResult result;
    sweep();
    for (const Entry& entry : entries) {
        const QString why = moveEntry(entry, from, to, m_folders, result.changed);
        if (why.isEmpty())
            continue;
        result.ok = false;
        result.problems.append(Problem{tr("Cannot move '%1' from the %2 folder to the %3 folder.")
                                           .arg(entry.fileName, folderName(from), folderName(to)),
                                       why});
    }
    return result;
}

ActionResult TrustStore::removeNow(const QList<Entry>& entries, bool backup) const
{
    ActionResult result;
    sweep();
    Removal removal;
    if (backup)
        removal.backups = m_folders.backups;
    for (const Entry& entry : entries) {
        const QString why = removeEntry(entry, m_folders.path(entry.folder), removal, result.changed);
        if (why.isEmpty())
            continue;
        result.ok = false;
        result.problems.append(Problem{
            tr("Cannot remove '%1' from the %2 folder.").arg(entry.fileName, folderName(entry.folder)), why});
    }
    result.backups = removal.used;
    if (!removal.moved.isEmpty()) {
        QString error;
        if (!Backup::record(m_folders.backups, QFileInfo(result.backups.first()).fileName(),
                            QStringLiteral("trust files"), removal.moved, &error))
            result.warnings << Problem{tr("The backup has no manifest; it can only be restored by hand."),
                                       error};
        for (const QString& used : result.backups)
            result.problems << Backup::prune(QFileInfo(QFileInfo(used).absolutePath()).absolutePath(), {});
        Backup::dropStale(m_folders.backups);
    }
    return result;
}

ActionResult TrustStore::importNow(const QStringList& files, Target target, QStringList* written,
                                   bool dryRun) const
{
    ActionResult result;
    if (!dryRun)
        sweep();
    QStringList toSync;
    for (const QString& file : files) {
        Import import;
        QString why = prepareImport(file, target, import);
        if (why.isEmpty()) {
            const QString& folderPath = m_folders.path(import.folder);
            why = folderPath.isEmpty()
                      ? tr("The configuration names no %1 folder.").arg(folderName(import.folder))
                      : placeImport(import, folderPath, dryRun, written, result, toSync);
        }
        if (why.isEmpty())
            continue;
        result.ok = false;
        result.problems.append(Problem{tr("Cannot import '%1'.").arg(file), why});
    }
    // Each file was synced before it got its name; one sync per folder makes all the names durable.
    for (const QString& folderPath : toSync)
        TrustFolder(folderPath).sync();
    return result;
}
