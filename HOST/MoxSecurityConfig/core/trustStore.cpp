#include "core/trustStore.h"

#include "core/asn1Text.h"
#include "core/crlInfo.h"
#include "core/fileSafety.h"
#include "core/sslPointers.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace Asn1Text;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString firstUri(const X509* x)
{
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_URI)
            return fromAsn1(name->d.uniformResourceIdentifier);
    }
    return QString();
}

bool isPem(const QByteArray& bytes)
{
    return bytes.contains("-----BEGIN ");
}

// The certificate in bytes, or null: PEM's first certificate, else DER.
X509Ptr certificateOf(const QByteArray& bytes)
{
    if (isPem(bytes)) {
        if (!bytes.contains("-----BEGIN CERTIFICATE-----"))
            return nullptr;
        BioPtr bio = memoryBio(bytes);
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.constData());
    return X509Ptr(d2i_X509(nullptr, &in, bytes.size()));
}

// A folder may itself be a link (/mox -> /opt/mox) where the configuration says so; what is checked is every
// name inside it, and all work goes through this descriptor.
struct FolderFd
{
    int fd = -1;
    int error = 0; // errno of a failed open
    explicit FolderFd(const QString& folder)
        : fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          error(fd < 0 ? errno : 0)
    {}
    ~FolderFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
};

void syncFolder(int fd)
{
    ::fsync(fd); // some file systems cannot sync a folder; the data itself was synced
}

// Owner and group of the folder, and its group's read and write bits, never anything for others: what a
// new file there needs so the server, which owns its folders, can read it.
void takeFolderOwnership(int fileFd, int folderFd)
{
    struct stat st;
    if (::fstat(folderFd, &st) != 0)
        return;
    if (::fchown(fileFd, st.st_uid, st.st_gid) != 0 && ::geteuid() != 0)
        ::fchown(fileFd, uid_t(-1), st.st_gid); // a user may still give the file one of its groups
    ::fchmod(fileFd, (st.st_mode & 0660) | 0600);
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Writes data as file name in folder: a temporary file, synced, then renamed into place, only when name is
// free unless replace. exists is set when it was not.
bool placeNew(const QString& folder, int folderFd, const QString& name, const QByteArray& data, bool& exists,
              QString& why, bool replace = false)
{
    exists = false;
    QString temp, error;
    const int fd = FileSafety::createTemporary(folder, name, temp, &error);
    if (fd < 0) {
        why = error;
        return false;
    }
    const QByteArray tempName = QFile::encodeName(temp);
    takeFolderOwnership(fd, folderFd);
    const bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    const int failure = errno;
    if (::close(fd) != 0 || !written) {
        ::unlink(tempName.constData());
        why =
            TrustStore::tr("Cannot write into '%1': %2.").arg(folder, systemError(written ? errno : failure));
        return false;
    }
    if (::renameat2(AT_FDCWD, tempName.constData(), folderFd, QFile::encodeName(name).constData(),
                    replace ? 0 : RENAME_NOREPLACE) != 0) {
        const int renameError = errno;
        ::unlink(tempName.constData());
        exists = renameError == EEXIST;
        why = TrustStore::tr("Cannot write '%1' into '%2': %3.").arg(name, folder, systemError(renameError));
        return false;
    }
    syncFolder(folderFd);
    return true;
}

// A name from a listing, or from a caller: one entry of the folder, nothing that leads out of it.
bool plainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

bool sameBytes(int folderFd, const QString& name, const QByteArray& data)
{
    const int fd = ::openat(folderFd, QFile::encodeName(name).constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool same = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == data.size()) {
        QByteArray content(int(st.st_size), Qt::Uninitialized);
        same = ::read(fd, content.data(), size_t(content.size())) == st.st_size && content == data;
    }
    ::close(fd);
    return same;
}

// A CRL from the issuer of the one at path, issued later: the update of that list.
bool updatesCrl(const QString& path, const QByteArray& bytes)
{
    QByteArray existing;
    CrlInfo older, newer;
    return FileSafety::readRegular(path, existing, nullptr, TrustStore::s_maxFileSize) &&
           CrlInfo::parse(existing, older, nullptr) && CrlInfo::parse(bytes, newer, nullptr) &&
           older.issuerText == newer.issuerText && newer.lastUpdate > older.lastUpdate;
}

} // namespace

const QString& TrustStore::Folders::path(Folder folder) const
{
    switch (folder) {
    case Folder::Trusted:
        return trusted;
    case Folder::Issuers:
        return issuers;
    case Folder::Revocation:
        return revocation;
    case Folder::Rejected:
        break;
    }
    return rejected;
}

TrustStore::TrustStore(const Folders& folders) : m_folders(folders) {}

TrustStore::Folders TrustStore::foldersOf(const ConfigSnapshot& snapshot)
{
    return Folders{snapshot.trustList.path, snapshot.issuers.path, snapshot.revocation.path,
                   snapshot.rejected.path};
}

QString TrustStore::folderName(Folder folder)
{
    switch (folder) {
    case Folder::Trusted:
        return QStringLiteral("trusted");
    case Folder::Issuers:
        return QStringLiteral("issuers");
    case Folder::Revocation:
        return QStringLiteral("revocation");
    case Folder::Rejected:
        break;
    }
    return QStringLiteral("rejected");
}

QString TrustStore::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Certificate:
        return QStringLiteral("certificate");
    case Kind::CaCertificate:
        return QStringLiteral("CA certificate");
    case Kind::Crl:
        return QStringLiteral("CRL");
    case Kind::Unreadable:
        break;
    }
    return QStringLiteral("unreadable");
}

TrustStore::Entry TrustStore::inspect(const QByteArray& bytes)
{
    Entry entry;
    const bool pemCrl = CrlInfo::isPemCrl(bytes);
    if (!pemCrl) {
        if (X509Ptr x = certificateOf(bytes)) {
            // The flags fill the extension cache, which also holds the SHA-1 digest the thumbprint reads.
            const bool ca = (X509_get_extension_flags(x.get()) & EXFLAG_CA) != 0;
            entry.kind = ca ? Kind::CaCertificate : Kind::Certificate;
            entry.name = commonName(X509_get_subject_name(x.get()));
            entry.uri = firstUri(x.get());
            entry.validUntil = fromAsn1Time(X509_get0_notAfter(x.get()));
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (X509_digest(x.get(), EVP_sha1(), digest, &length) == 1)
                entry.thumbprint = QString::fromLatin1(
                    QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
            ERR_clear_error();
            return entry;
        }
        ERR_clear_error();
    }
    if (pemCrl || !isPem(bytes)) {
        CrlInfo crl;
        QString error;
        if (CrlInfo::parse(bytes, crl, &error)) {
            entry.kind = Kind::Crl;
            entry.name = crl.issuerName;
            entry.validUntil = crl.nextUpdate;
            entry.thumbprint = crl.sha1Thumbprint;
            return entry;
        }
    }
    entry.reason = bytes.isEmpty() ? tr("The file is empty.")
                   : isPem(bytes)  ? tr("PEM, but neither a certificate nor a CRL.")
                                   : tr("Neither a DER certificate nor a DER CRL.");
    return entry;
}

QList<TrustStore::Entry> TrustStore::list(Problems* problems) const
{
    // Names first, folder by folder; then the files are read and parsed.
    QList<Entry> entries;
    for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Rejected, Folder::Revocation}) {
        const QString& path = m_folders.path(folder);
        if (path.isEmpty())
            continue;
        DIR* dir = ::opendir(QFile::encodeName(path).constData());
        if (!dir) {
            const int failure = errno;
            if (failure != ENOENT && problems)
                problems->append(Problem{tr("Cannot read the %1 folder.").arg(folderName(folder)),
                                         QStringLiteral("%1: %2").arg(path, systemError(failure))});
            continue;
        }
        QList<Entry> found;
        while (const dirent* item = ::readdir(dir)) {
            if (item->d_name[0] == '.')
                continue;
            unsigned char type = item->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(::dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
            }
            if (type == DT_DIR)
                continue;
            Entry entry;
            entry.folder = folder;
            entry.fileName = QFile::decodeName(item->d_name);
            entry.path = path + QLatin1Char('/') + entry.fileName;
            entry.link = type == DT_LNK;
            found.append(entry);
        }
        ::closedir(dir);
        std::sort(found.begin(), found.end(),
                  [](const Entry& a, const Entry& b) { return a.fileName < b.fileName; });
        entries += found;
    }

    // Parsing dominates (libcrypto decodes each key through its providers, under a lock: more threads
    // were measured not to help).
    for (Entry& entry : entries) {
        QByteArray bytes;
        QString error;
        if (!FileSafety::readRegular(entry.path, bytes, &error, s_maxFileSize)) {
            entry.reason = error;
            continue;
        }
        Entry parsed = inspect(bytes);
        parsed.folder = entry.folder;
        parsed.fileName = entry.fileName;
        parsed.path = entry.path;
        parsed.link = entry.link;
        entry = std::move(parsed);
    }
    return entries;
}

ActionResult TrustStore::trust(const QList<Entry>& entries) const
{
    return move(entries, Folder::Rejected, Folder::Trusted);
}

ActionResult TrustStore::reject(const QList<Entry>& entries) const
{
    return move(entries, Folder::Trusted, Folder::Rejected);
}

ActionResult TrustStore::move(const QList<Entry>& entries, Folder from, Folder to) const
{
    ActionResult result;
    const QString& fromPath = m_folders.path(from);
    const QString& toPath = m_folders.path(to);
    auto fail = [&](const QString& name, const QString& why) {
        result.ok = false;
        result.problems.append(Problem{tr("Cannot move '%1' from the %2 folder to the %3 folder.")
                                           .arg(name, folderName(from), folderName(to)),
                                       why});
    };
    for (const Entry& entry : entries) {
        const QString& name = entry.fileName;
        if (entry.folder != from) {
            fail(name, tr("It is in the %1 folder.").arg(folderName(entry.folder)));
            continue;
        }
        if (!plainName(name)) {
            fail(name, tr("Not a file name inside the folder."));
            continue;
        }
        if (fromPath.isEmpty() || toPath.isEmpty()) {
            fail(name,
                 tr("The configuration names no %1 folder.").arg(folderName(fromPath.isEmpty() ? from : to)));
            continue;
        }
        FolderFd source(fromPath), target(toPath);
        if (source.fd < 0 || target.fd < 0) {
            fail(name,
                 QStringLiteral("%1: %2").arg(source.fd < 0 ? fromPath : toPath,
                                              systemError(source.fd < 0 ? source.error : target.error)));
            continue;
        }
        const QByteArray encoded = QFile::encodeName(name);
        struct stat st;
        if (::fstatat(source.fd, encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(name, QStringLiteral("%1: %2").arg(entry.path, systemError(errno)));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            fail(name, tr("'%1' is a folder.").arg(entry.path));
            continue;
        }
        // Never replaces: a file of the same name in the target stays, and so does this one.
        int rc =
            ::renameat2(source.fd, encoded.constData(), target.fd, encoded.constData(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // No RENAME_NOREPLACE on this file system: a hard link is just as exclusive.
            rc = ::linkat(source.fd, encoded.constData(), target.fd, encoded.constData(), 0);
            if (rc == 0)
                ::unlinkat(source.fd, encoded.constData(), 0);
        }
        if (rc == 0) {
            syncFolder(target.fd);
            syncFolder(source.fd);
            result.changed = true;
            continue;
        }
        if (errno == EEXIST) {
            fail(name, tr("The %1 folder already holds a file of that name; nothing was moved.")
                           .arg(folderName(to)));
            continue;
        }
        if (errno != EXDEV) {
            fail(name, QStringLiteral("%1: %2").arg(entry.path, systemError(errno)));
            continue;
        }
        // Another file system: copy, sync, then remove the original.
        if (S_ISLNK(st.st_mode)) {
            fail(name,
                 tr("'%1' is a symbolic link; it is not copied to another file system.").arg(entry.path));
            continue;
        }
        QByteArray bytes;
        QString why;
        const int fd =
            ::openat(source.fd, encoded.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            fail(name, QStringLiteral("%1: %2").arg(entry.path, systemError(errno)));
            continue;
        }
        ::close(fd);
        if (!FileSafety::readRegular(entry.path, bytes, &why)) {
            fail(name, why);
            continue;
        }
        bool exists = false;
        if (!placeNew(toPath, target.fd, name, bytes, exists, why)) {
            fail(name, exists ? tr("The %1 folder already holds a file of that name; nothing was moved.")
                                    .arg(folderName(to))
                              : why);
            continue;
        }
        result.changed = true;
        if (::unlinkat(source.fd, encoded.constData(), 0) != 0) {
            fail(name, tr("It was copied, but the original '%1' could not be removed: %2.")
                           .arg(entry.path, systemError(errno)));
            continue;
        }
        syncFolder(source.fd);
    }
    return result;
}

ActionResult TrustStore::remove(const QList<Entry>& entries) const
{
    ActionResult result;
    for (const Entry& entry : entries) {
        const QString& folder = m_folders.path(entry.folder);
        auto fail = [&](const QString& why) {
            result.ok = false;
            result.problems.append(Problem{
                tr("Cannot remove '%1' from the %2 folder.").arg(entry.fileName, folderName(entry.folder)),
                why});
        };
        if (!plainName(entry.fileName)) {
            fail(tr("Not a file name inside the folder."));
            continue;
        }
        FolderFd dir(folder);
        if (dir.fd < 0) {
            fail(QStringLiteral("%1: %2").arg(folder, systemError(dir.error)));
            continue;
        }
        // unlinkat removes a link itself; without AT_REMOVEDIR it never takes a folder.
        if (::unlinkat(dir.fd, QFile::encodeName(entry.fileName).constData(), 0) != 0) {
            fail(QStringLiteral("%1: %2").arg(entry.path, systemError(errno)));
            continue;
        }
        syncFolder(dir.fd);
        result.changed = true;
    }
    return result;
}

QString TrustStore::fileNameFor(const QString& commonName, const QString& thumbprint, bool der)
{
    QString name;
    name.reserve(commonName.size());
    for (const QChar c : commonName) {
        // No separator, no control characters; everything else stays readable.
        name += (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f)
                    ? QLatin1Char('_')
                    : c;
    }
    name = name.trimmed();
    // A leading dot would hide the file from listings (and from this tool's own).
    while (name.startsWith(QLatin1Char('.')))
        name[0] = QLatin1Char('_');
    if (name.isEmpty())
        name = QStringLiteral("certificate");
    // Names stay well under the usual 255-byte limit, whatever the CN's length.
    while (name.toUtf8().size() > 150)
        name.chop(1);
    return QStringLiteral("%1 [%2].%3")
        .arg(name, thumbprint, der ? QStringLiteral("der") : QStringLiteral("pem"));
}

ActionResult TrustStore::importFiles(const QStringList& files, Target target, QStringList* written) const
{
    ActionResult result;
    for (const QString& file : files) {
        auto fail = [&](const QString& why) {
            result.ok = false;
            result.problems.append(Problem{tr("Cannot import '%1'.").arg(file), why});
        };
        QByteArray bytes;
        QString why;
        if (!FileSafety::readRegular(file, bytes, &why, s_maxFileSize)) {
            fail(why);
            continue;
        }
        const Entry entry = inspect(bytes);
        if (entry.kind == Kind::Unreadable) {
            fail(entry.reason);
            continue;
        }
        Folder folder = Folder::Revocation;
        QString name = QFileInfo(file).fileName();
        QByteArray content = bytes;
        if (entry.kind != Kind::Crl) {
            folder = target == Target::Issuers           ? Folder::Issuers
                     : target == Target::Trusted         ? Folder::Trusted
                     : entry.kind == Kind::CaCertificate ? Folder::Issuers
                                                         : Folder::Trusted;
            // Only the certificate itself is written, in the encoding it came in.
            const X509Ptr x = certificateOf(bytes);
            const bool der = !isPem(bytes);
            if (der) {
                content = QByteArray(i2d_X509(x.get(), nullptr), Qt::Uninitialized);
                unsigned char* out = reinterpret_cast<unsigned char*>(content.data());
                i2d_X509(x.get(), &out);
            } else {
                BioPtr bio(BIO_new(BIO_s_mem()));
                PEM_write_bio_X509(bio.get(), x.get());
                char* data = nullptr;
                const long length = BIO_get_mem_data(bio.get(), &data);
                content = QByteArray(data, int(length));
            }
            name = fileNameFor(entry.name, entry.thumbprint, der);
        }
        const QString& folderPath = m_folders.path(folder);
        if (folderPath.isEmpty()) {
            fail(tr("The configuration names no %1 folder.").arg(folderName(folder)));
            continue;
        }
        FolderFd dir(folderPath);
        if (dir.fd < 0) {
            fail(QStringLiteral("%1: %2").arg(folderPath, systemError(dir.error)));
            continue;
        }
        bool exists = false;
        if (!placeNew(folderPath, dir.fd, name, content, exists, why)) {
            // A newer list of the same issuer replaces the old one: that is how revocation lists are kept.
            if (exists && entry.kind == Kind::Crl &&
                updatesCrl(folderPath + QLatin1Char('/') + name, bytes) &&
                placeNew(folderPath, dir.fd, name, content, exists, why, true)) {
                result.changed = true;
                result.warnings.append(
                    Problem{tr("'%1' replaced the older list of the same issuer.").arg(name), file});
                if (written)
                    written->append(folderPath + QLatin1Char('/') + name);
                continue;
            }
            if (exists && sameBytes(dir.fd, name, content)) {
                result.warnings.append(
                    Problem{tr("'%1' is already in the %2 folder.").arg(name, folderName(folder)), file});
                continue;
            }
            fail(exists ? tr("The %1 folder already holds another file named '%2'; nothing was written.")
                              .arg(folderName(folder), name)
                        : why);
            continue;
        }
        result.changed = true;
        if (written)
            written->append(folderPath + QLatin1Char('/') + name);
    }
    return result;
}

const TrustStore::Entry* TrustStore::find(const QList<Entry>& entries, const QString& key, QString* error,
                                          bool* badInput)
{
    auto fail = [&](const QString& why, bool bad = false) -> const Entry* {
        if (error)
            *error = why;
        if (badInput)
            *badInput = bad;
        return nullptr;
    };
    if (badInput)
        *badInput = false;
    const Entry* found = nullptr;
    // A path, or a file name in one of the folders.
    const bool isPath = key.contains(QLatin1Char('/'));
    const QString absolute = isPath ? QFileInfo(key).absoluteFilePath() : QString();
    int byFile = 0;
    for (const Entry& entry : entries) {
        if (isPath ? QFileInfo(entry.path).absoluteFilePath() == absolute : entry.fileName == key) {
            found = &entry;
            ++byFile;
        }
    }
    if (byFile == 1)
        return found;
    if (byFile > 1)
        return fail(tr("'%1' is in more than one folder; give its path.").arg(key));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]+$"));
    if (!hex.match(key).hasMatch())
        return fail(tr("No certificate or CRL '%1' in the client-certificate folders.").arg(key));
    if (key.size() < s_minPrefix)
        return fail(
            tr("'%1' is too short: give at least %2 hex digits of the thumbprint.").arg(key).arg(s_minPrefix),
            true);
    const QString prefix = key.toUpper();
    QStringList matches;
    for (const Entry& entry : entries) {
        if (!entry.thumbprint.isEmpty() && entry.thumbprint.startsWith(prefix)) {
            found = &entry;
            matches << QStringLiteral("%1 (%2)").arg(entry.thumbprint, entry.path);
        }
    }
    if (matches.isEmpty())
        return fail(tr("No certificate or CRL has a thumbprint starting with %1.").arg(prefix));
    if (matches.size() > 1)
        return fail(tr("%1 is ambiguous: %2.").arg(prefix, matches.join(QStringLiteral(", "))));
    return found;
}
