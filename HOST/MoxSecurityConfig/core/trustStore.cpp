#include "core/trustStore.h"

#include "core/asn1Text.h"
#include "core/backup.h"
#include "core/crlInfo.h"
#include "core/fileSafety.h"
#include "core/sslPointers.h"

#include "OSFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace Asn1Text;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why a client-certificate folder did not open; a missing one says what makes it, since a bare "No such file
// or directory" left administrators guessing.
QString folderError(TrustStore::Folder folder, const QString& path, int error)
{
    if (error != ENOENT)
        return QStringLiteral("%1: %2").arg(path, systemError(error));
    return TrustStore::tr("The %1 folder %2 does not exist: \"Generate folders\" on the Certificates tab, or "
                          "moxsec folders create, makes it.")
        .arg(TrustStore::folderName(folder), path);
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

// The certificate alone, in the encoding it came in.
QByteArray encodedCertificate(X509* x, bool der)
{
    if (der) {
        const int length = i2d_X509(x, nullptr);
        if (length <= 0)
            return QByteArray();
        QByteArray out(length, Qt::Uninitialized);
        unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
        i2d_X509(x, &p);
        return out;
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    if (!bio || PEM_write_bio_X509(bio.get(), x) != 1)
        return QByteArray();
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(length));
}

struct Parsed
{
    TrustStore::Entry entry;
    QByteArray encoded; // the certificate or CRL alone, re-encoded; empty when unreadable
};

Parsed parse(const QByteArray& bytes)
{
    Parsed parsed;
    TrustStore::Entry& entry = parsed.entry;
    const bool pemCrl = CrlInfo::isPemCrl(bytes);
    if (!pemCrl) {
        if (X509Ptr x = certificateOf(bytes)) {
            // The flags fill the extension cache, which also holds the SHA-1 digest the thumbprint reads.
            const bool ca = (X509_get_extension_flags(x.get()) & EXFLAG_CA) != 0;
            entry.kind = ca ? TrustStore::Kind::CaCertificate : TrustStore::Kind::Certificate;
            entry.name = commonName(X509_get_subject_name(x.get()));
            entry.uri = firstUri(x.get());
            entry.validUntil = fromAsn1Time(X509_get0_notAfter(x.get()));
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (X509_digest(x.get(), EVP_sha1(), digest, &length) == 1)
                entry.thumbprint = QString::fromLatin1(
                    QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex().toUpper());
            parsed.encoded = encodedCertificate(x.get(), !isPem(bytes));
            ERR_clear_error();
            return parsed;
        }
        ERR_clear_error();
    }
    if (pemCrl || !isPem(bytes)) {
        CrlInfo crl;
        QString error;
        if (CrlInfo::parse(bytes, crl, &error)) {
            entry.kind = TrustStore::Kind::Crl;
            entry.name = crl.issuerName;
            entry.validUntil = crl.nextUpdate;
            entry.thumbprint = crl.sha1Thumbprint;
            parsed.encoded = crl.encoded;
            return parsed;
        }
    }
    entry.reason = bytes.isEmpty() ? TrustStore::tr("The file is empty.")
                   : isPem(bytes)  ? TrustStore::tr("PEM, but neither a certificate nor a CRL.")
                                   : TrustStore::tr("Neither a DER certificate nor a DER CRL.");
    return parsed;
}

bool isPrivateKey(const QByteArray& der)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(der.constData());
    EvpPkeyPtr key(der.isEmpty() ? nullptr : d2i_AutoPrivateKey(nullptr, &in, der.size()));
    ERR_clear_error();
    return key != nullptr;
}

// A key beside the certificate or CRL (any PEM private key block, or DER that parses as a key, whole or
// after the object): such a file is a key's copy, and importing it would spread the key.
bool holdsPrivateKey(const QByteArray& bytes, const QByteArray& encoded)
{
    if (bytes.contains("PRIVATE KEY-----"))
        return true;
    if (isPem(bytes))
        return false;
    return isPrivateKey(bytes) || (bytes.startsWith(encoded) && isPrivateKey(bytes.mid(encoded.size())));
}

// A folder may itself be a link (/mox -> /opt/mox) where the configuration says so; what is checked is every
// name inside it, and all work goes through this descriptor.
struct FolderFd
{
    int fd = -1;
    int error = 0; // errno of a failed open
    explicit FolderFd(const QString& folder)
        : fd(folder.isEmpty()
                 ? -1
                 : ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          error(fd < 0 ? (folder.isEmpty() ? ENOENT : errno) : 0)
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

// The content of a regular file through its open descriptor, at most TrustStore::s_maxFileSize bytes. The
// descriptor stays non-blocking and pseudo file systems are refused: a file there (/proc/kmsg) may claim to
// be an empty regular file and still block or never end. why is a sentence without the file's name.
bool readDescriptor(int fd, QByteArray& data, QString& why)
{
    data.clear();
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        why = systemError(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = TrustStore::tr("Not a regular file.");
        return false;
    }
    if (const char* pseudo = OSFile::PseudoFileSystem(fd)) {
        why = TrustStore::tr("It lies on %1, a pseudo file system.").arg(QLatin1String(pseudo));
        return false;
    }
    const auto tooLarge = [&] {
        why = TrustStore::tr("The file is larger than %1 MB.").arg(TrustStore::s_maxFileSize / (1024 * 1024));
        return false;
    };
    if (st.st_size > TrustStore::s_maxFileSize)
        return tooLarge();
    // Room for what fstat said and a little more; a file that grows gets more, up to one byte past the limit.
    QByteArray content(int(st.st_size) + 4096, Qt::Uninitialized);
    qint64 filled = 0;
    for (;;) {
        if (filled == content.size())
            content.resize(int(std::min<qint64>(2 * filled, TrustStore::s_maxFileSize + 1)));
        const ssize_t n = ::read(fd, content.data() + filled, size_t(content.size() - filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = systemError(errno);
            return false;
        }
        if (n == 0)
            break;
        filled += n;
        if (filled > TrustStore::s_maxFileSize) // it grew after the check
            return tooLarge();
    }
    content.truncate(int(filled));
    data = content;
    return true;
}

// Opens name in the folder without following a link or blocking, and reads it through readDescriptor.
bool readEntry(int folderFd, const QByteArray& name, QByteArray& data, QString& why)
{
    const int fd =
        ::openat(folderFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ELOOP ? TrustStore::tr("A symbolic link; it is not read.") : systemError(errno);
        return false;
    }
    const bool ok = readDescriptor(fd, data, why);
    ::close(fd);
    return ok;
}

// Writes data as file name in folder through a named temporary, synced, then renamed into place, only when
// name is free unless replace. exists is set when it was not.
bool placeNew(const QString& folder, int folderFd, const QByteArray& name, const QByteArray& data,
              bool& exists, QString& why, bool replace = false)
{
    exists = false;
    QString temp, error;
    const int fd = FileSafety::createTemporary(folder, QFile::decodeName(name), temp, &error);
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
    if (::renameat2(AT_FDCWD, tempName.constData(), folderFd, name.constData(),
                    replace ? 0 : RENAME_NOREPLACE) != 0) {
        const int renameError = errno;
        ::unlink(tempName.constData());
        exists = renameError == EEXIST;
        why = TrustStore::tr("Cannot write '%1' into '%2': %3.")
                  .arg(QFile::decodeName(name), folder, systemError(renameError));
        return false;
    }
    syncFolder(folderFd);
    return true;
}

// A new file: written unnamed (O_TMPFILE) and linked in once complete, which never replaces and leaves
// nothing behind when killed; where the file system has no unnamed files, through placeNew.
bool writeNew(const QString& folder, int folderFd, const QByteArray& name, const QByteArray& data,
              bool& exists, QString& why)
{
    exists = false;
    const int fd = ::openat(folderFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            return placeNew(folder, folderFd, name, data, exists, why);
        why = TrustStore::tr("Cannot write into '%1': %2.").arg(folder, systemError(errno));
        return false;
    }
    takeFolderOwnership(fd, folderFd);
    int failure = 0;
    if (!writeAll(fd, data) || ::fsync(fd) != 0) {
        failure = errno;
    } else {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (::linkat(AT_FDCWD, self, folderFd, name.constData(), AT_SYMLINK_FOLLOW) != 0)
            failure = errno;
    }
    ::close(fd);
    if (failure == ENOENT && ::access("/proc/self/fd", X_OK) != 0) // no /proc to link through
        return placeNew(folder, folderFd, name, data, exists, why);
    if (failure != 0) {
        exists = failure == EEXIST;
        why = TrustStore::tr("Cannot write '%1' into '%2': %3.")
                  .arg(QFile::decodeName(name), folder, systemError(failure));
        return false;
    }
    syncFolder(folderFd);
    return true;
}

// A name from a listing, or from a caller: one visible entry of the folder, nothing that leads out of it.
bool plainName(const QByteArray& name)
{
    return !name.isEmpty() && !name.startsWith('.') && !name.contains('/') && !name.contains('\0');
}

// Cut to at most bytes bytes of UTF-8 without splitting a character (the name's bytes may be no UTF-8).
QByteArray cutName(QByteArray name, int bytes)
{
    if (name.size() <= bytes)
        return name;
    int end = bytes;
    while (end > 0 && (static_cast<unsigned char>(name.at(end)) & 0xC0) == 0x80)
        --end;
    return name.left(end);
}

// What a move or removal works on: ".<name>.<pid>.<random>.aside" beside the original, which no writer of
// the folder reuses, and whose dead owner's next run puts it back (TrustStore::sweep).
const char s_asideSuffix[] = ".aside";

bool takeAside(int folderFd, const QByteArray& name, QByteArray& aside, int& failure)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[8];
        if (RAND_bytes(random, sizeof random) != 1) {
            failure = EAGAIN;
            return false;
        }
        aside = '.' + cutName(name, TrustStore::s_maxNameBytes) + '.' + QByteArray::number(::getpid()) + '.' +
                QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex() + s_asideSuffix;
        if (::renameat2(folderFd, name.constData(), folderFd, aside.constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST) {
            failure = errno;
            return false;
        }
    }
    failure = EEXIST;
    return false;
}

// Puts aside back as name, never replacing: when the name was taken meanwhile, as "<name> [aside <random>]"
// so it stays listed. The name it got, or empty.
QByteArray putBack(int folderFd, const QByteArray& aside, const QByteArray& name)
{
    if (::renameat2(folderFd, aside.constData(), folderFd, name.constData(), RENAME_NOREPLACE) == 0)
        return name;
    if (errno != EEXIST)
        return QByteArray();
    const QByteArray random = aside.left(aside.size() - int(sizeof s_asideSuffix - 1)).split('.').last();
    const QByteArray other = cutName(name, TrustStore::s_maxNameBytes) + " [aside " + random + ']';
    if (::renameat2(folderFd, aside.constData(), folderFd, other.constData(), RENAME_NOREPLACE) == 0)
        return other;
    return QByteArray();
}

// What lies under the aside name now: for a regular file read through a descriptor, parsed and re-encoded.
struct Checked
{
    bool link = false;
    QByteArray linkTarget;
    Parsed parsed;
};

Checked checkAside(int folderFd, const QByteArray& aside)
{
    Checked checked;
    struct stat st;
    if (::fstatat(folderFd, aside.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        checked.parsed.entry.reason = systemError(errno);
        return checked;
    }
    if (S_ISLNK(st.st_mode)) {
        checked.link = true;
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(folderFd, aside.constData(), target, sizeof target);
        checked.linkTarget = n > 0 ? QByteArray(target, int(n)) : QByteArray();
        return checked;
    }
    if (!S_ISREG(st.st_mode)) { // a FIFO or a device is never opened
        checked.parsed.entry.reason = TrustStore::tr("Not a regular file.");
        return checked;
    }
    QByteArray bytes;
    QString why;
    if (!readEntry(folderFd, aside, bytes, why)) {
        checked.parsed.entry.reason = why;
        return checked;
    }
    checked.parsed = parse(bytes);
    return checked;
}

// The certificate set aside in one folder lies under its name in the other: a move got that far.
bool movedAlready(int folderFd, const QByteArray& aside, const QString& otherFolder, const QByteArray& name)
{
    FolderFd other(otherFolder);
    QByteArray bytes;
    QString why;
    if (other.fd < 0 || !readEntry(other.fd, name, bytes, why))
        return false;
    const QString there = parse(bytes).entry.thumbprint;
    return !there.isEmpty() && checkAside(folderFd, aside).parsed.entry.thumbprint == there;
}

// A CRL from the issuer of the one named in the folder, issued later: the update of that list.
bool updatesCrl(int folderFd, const QByteArray& name, const QByteArray& bytes)
{
    QByteArray existing;
    QString why;
    CrlInfo older, newer;
    return readEntry(folderFd, name, existing, why) && CrlInfo::parse(existing, older, nullptr) &&
           CrlInfo::parse(bytes, newer, nullptr) && older.issuerText == newer.issuerText &&
           newer.lastUpdate > older.lastUpdate;
}

bool sameBytes(int folderFd, const QByteArray& name, const QByteArray& data)
{
    QByteArray existing;
    QString why;
    return readEntry(folderFd, name, existing, why) && existing == data;
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
    return cutName(encoded.left(encoded.size() - extension.size()),
                   TrustStore::s_maxNameBytes - tail.size()) +
           tail;
}

} // namespace

QByteArray TrustStore::Entry::nameBytes() const
{
    return fileNameBytes.isEmpty() ? QFile::encodeName(fileName) : fileNameBytes;
}

QByteArray TrustStore::Entry::pathBytes() const
{
    return QFile::encodeName(path.left(path.size() - fileName.size())) + nameBytes();
}

bool TrustStore::Entry::present() const
{
    struct stat st;
    return ::lstat(pathBytes().constData(), &st) == 0 || errno != ENOENT;
}

bool TrustStore::Entry::nameLossy() const
{
    return QFile::encodeName(fileName) != nameBytes();
}

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
                   snapshot.rejected.path, QFileInfo(snapshot.configPath).absolutePath()};
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
    return parse(bytes).entry;
}

int TrustStore::sweep() const
{
    int restored = 0;
    for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Rejected, Folder::Revocation}) {
        const QString& path = m_folders.path(folder);
        if (path.isEmpty())
            continue;
        FileSafety::removeStaleTemporaries(path);
        FolderFd dir(path);
        DIR* listing = dir.fd < 0 ? nullptr : ::fdopendir(::dup(dir.fd));
        if (!listing)
            continue;
        QList<QByteArray> names;
        while (const dirent* item = ::readdir(listing))
            names << QByteArray(item->d_name);
        ::closedir(listing);
        for (const QByteArray& aside : names) {
            const pid_t owner = FileSafety::temporaryOwner(aside, s_asideSuffix);
            if (owner == 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH)
                continue;
            // ".<name>.<pid>.<random>.aside": the name is all before the pid.
            const QByteArray body = aside.left(aside.size() - int(sizeof s_asideSuffix - 1));
            const int pidDot = body.lastIndexOf('.', body.lastIndexOf('.') - 1);
            const QByteArray name = body.mid(1, pidDot - 1);
            if (!plainName(name))
                continue;
            // A move killed once its new file was in place: it is finished, not undone, so the certificate
            // does not end up in both folders.
            const Folder other = folder == Folder::Trusted    ? Folder::Rejected
                                 : folder == Folder::Rejected ? Folder::Trusted
                                                              : folder;
            if (other != folder && movedAlready(dir.fd, aside, m_folders.path(other), name))
                ::unlinkat(dir.fd, aside.constData(), 0);
            else if (!putBack(dir.fd, aside, name).isEmpty())
                ++restored;
        }
        syncFolder(dir.fd);
    }
    return restored;
}

QList<TrustStore::Entry> TrustStore::list(Problems* problems) const
{
    sweep();
    QList<Entry> entries;
    for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Rejected, Folder::Revocation}) {
        const QString& path = m_folders.path(folder);
        if (path.isEmpty())
            continue;
        FolderFd dir(path);
        DIR* listing = dir.fd < 0 ? nullptr : ::fdopendir(::dup(dir.fd));
        if (!listing) {
            const int failure = dir.fd < 0 ? dir.error : errno;
            if (failure != ENOENT && problems)
                problems->append(Problem{tr("Cannot read the %1 folder.").arg(folderName(folder)),
                                         QStringLiteral("%1: %2").arg(path, systemError(failure))});
            continue;
        }
        // Names first; then each file is read through a descriptor of its own name, never through a link.
        QList<Entry> found;
        QList<unsigned char> types;
        while (const dirent* item = ::readdir(listing)) {
            if (item->d_name[0] == '.')
                continue;
            unsigned char type = item->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(dir.fd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_FIFO;
            }
            if (type == DT_DIR)
                continue;
            Entry entry;
            entry.folder = folder;
            entry.fileNameBytes = QByteArray(item->d_name);
            entry.fileName = QFile::decodeName(entry.fileNameBytes);
            entry.path = path + QLatin1Char('/') + entry.fileName;
            entry.link = type == DT_LNK;
            found.append(entry);
            types.append(type);
        }
        ::closedir(listing);

        // Parsing dominates (libcrypto decodes each key through its providers, under a lock: more threads
        // were measured not to help).
        for (int i = 0; i < found.size(); ++i) {
            Entry& entry = found[i];
            if (entry.link) {
                char target[PATH_MAX];
                const ssize_t n =
                    ::readlinkat(dir.fd, entry.fileNameBytes.constData(), target, sizeof target);
                entry.linkTarget = n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
                entry.reason = tr("A symbolic link to '%1'; links are never read.").arg(entry.linkTarget);
                continue;
            }
            if (types[i] != DT_REG) {
                entry.reason = tr("Not a regular file.");
                continue;
            }
            QByteArray bytes;
            if (!readEntry(dir.fd, entry.fileNameBytes, bytes, entry.reason))
                continue;
            Entry parsed = parse(bytes).entry;
            parsed.folder = entry.folder;
            parsed.fileName = entry.fileName;
            parsed.fileNameBytes = entry.fileNameBytes;
            parsed.path = entry.path;
            entry = std::move(parsed);
        }
        std::sort(found.begin(), found.end(),
                  [](const Entry& a, const Entry& b) { return a.fileName < b.fileName; });
        entries += found;
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
    sweep();
    auto fail = [&](const QString& name, const QString& why) {
        result.ok = false;
        result.problems.append(Problem{tr("Cannot move '%1' from the %2 folder to the %3 folder.")
                                           .arg(name, folderName(from), folderName(to)),
                                       why});
    };
    for (const Entry& entry : entries) {
        const QString& name = entry.fileName;
        const QByteArray encoded = entry.nameBytes();
        if (entry.folder != from) {
            fail(name, tr("It is in the %1 folder.").arg(folderName(entry.folder)));
            continue;
        }
        if (!plainName(encoded)) {
            fail(name, tr("Not a file name inside the folder."));
            continue;
        }
        if (fromPath.isEmpty() || toPath.isEmpty()) {
            fail(name,
                 tr("The configuration names no %1 folder.").arg(folderName(fromPath.isEmpty() ? from : to)));
            continue;
        }
        if (entry.link) {
            fail(name, tr("'%1' is a symbolic link; links are never read or moved.").arg(entry.path));
            continue;
        }
        FolderFd source(fromPath), target(toPath);
        if (source.fd < 0 || target.fd < 0) {
            fail(name, source.fd < 0 ? folderError(from, fromPath, source.error)
                                     : folderError(to, toPath, target.error));
            continue;
        }
        // From here on no writer of the folder can change what is moved: the name it had is free, and what
        // is written is what was read and checked.
        QByteArray aside;
        int failure = 0;
        if (!takeAside(source.fd, encoded, aside, failure)) {
            fail(name, QStringLiteral("%1: %2").arg(entry.path, systemError(failure)));
            continue;
        }
        const Checked checked = checkAside(source.fd, aside);
        const Entry& now = checked.parsed.entry;
        QString refusal;
        if (checked.link)
            refusal = tr("'%1' is a symbolic link; links are never read or moved.").arg(entry.path);
        else if (now.thumbprint.isEmpty())
            refusal = tr("'%1' is no certificate: %2").arg(entry.path, now.reason);
        else if (now.thumbprint != entry.thumbprint)
            refusal = tr("'%1' has changed since it was listed: its thumbprint is %2, not %3.")
                          .arg(entry.path, now.thumbprint, entry.thumbprint);
        bool exists = false;
        if (refusal.isEmpty() &&
            !writeNew(toPath, target.fd, encoded, checked.parsed.encoded, exists, refusal) && exists)
            refusal =
                tr("The %1 folder already holds a file of that name; nothing was moved.").arg(folderName(to));
        if (!refusal.isEmpty()) {
            if (putBack(source.fd, aside, encoded).isEmpty())
                refusal += QLatin1Char(' ') + tr("It stays as '%1'.").arg(QFile::decodeName(aside));
            syncFolder(source.fd);
            fail(name, refusal);
            continue;
        }
        result.changed = true;
        if (::unlinkat(source.fd, aside.constData(), 0) != 0) {
            fail(name, tr("It was copied, but the original '%1' could not be removed: %2.")
                           .arg(QFile::decodeName(aside), systemError(errno)));
            continue;
        }
        syncFolder(source.fd);
    }
    return result;
}

ActionResult TrustStore::remove(const QList<Entry>& entries, bool backup) const
{
    ActionResult result;
    sweep();
    backup = backup && !m_folders.backups.isEmpty();
    QList<Backup::Item> moved;
    for (const Entry& entry : entries) {
        const QString& folder = m_folders.path(entry.folder);
        const QByteArray encoded = entry.nameBytes();
        auto fail = [&](const QString& why) {
            result.ok = false;
            result.problems.append(Problem{
                tr("Cannot remove '%1' from the %2 folder.").arg(entry.fileName, folderName(entry.folder)),
                why});
        };
        if (!plainName(encoded)) {
            fail(tr("Not a file name inside the folder."));
            continue;
        }
        FolderFd dir(folder);
        if (dir.fd < 0) {
            fail(folderError(entry.folder, folder, dir.error));
            continue;
        }
        QByteArray aside;
        int failure = 0;
        if (!takeAside(dir.fd, encoded, aside, failure)) {
            fail(QStringLiteral("%1: %2").arg(entry.path, systemError(failure)));
            continue;
        }
        // What goes is what was listed: the same link, or a file of the same thumbprint (none when it was
        // unreadable).
        const Checked checked = checkAside(dir.fd, aside);
        const bool same = entry.link
                              ? checked.link && QFile::decodeName(checked.linkTarget) == entry.linkTarget
                              : !checked.link && checked.parsed.entry.thumbprint == entry.thumbprint;
        if (!same) {
            const QByteArray back = putBack(dir.fd, aside, encoded);
            syncFolder(dir.fd);
            fail(tr("'%1' has changed since it was listed; nothing was removed.").arg(entry.path) +
                 (back.isEmpty() ? QLatin1Char(' ') + tr("It stays as '%1'.").arg(QFile::decodeName(aside))
                                 : QString()));
            continue;
        }
        if (backup) {
            // Into the backup under its own name; on failure it is put back.
            QString error;
            const int before = moved.size();
            Backup::moveAway({entry.path}, QDateTime::currentDateTime(), result.backups, &error, &moved,
                             m_folders.backups, {aside}, {encoded});
            if (moved.size() == before) {
                putBack(dir.fd, aside, encoded);
                fail(error.isEmpty() ? tr("It could not be moved into a backup.") : error);
                continue;
            }
            // unlinkat removes a link itself; without AT_REMOVEDIR it never takes a folder.
        } else if (::unlinkat(dir.fd, aside.constData(), 0) != 0) {
            failure = errno;
            putBack(dir.fd, aside, encoded);
            fail(QStringLiteral("%1: %2").arg(entry.path, systemError(failure)));
            continue;
        }
        syncFolder(dir.fd);
        result.changed = true;
    }
    if (!moved.isEmpty()) {
        QString error;
        if (!Backup::record(m_folders.backups, QFileInfo(result.backups.first()).fileName(),
                            QStringLiteral("trust files"), moved, &error))
            result.warnings << Problem{tr("The backup has no manifest; it can only be restored by hand."),
                                       error};
        for (const QString& used : result.backups)
            result.problems << Backup::prune(QFileInfo(QFileInfo(used).absolutePath()).absolutePath(), {});
        Backup::dropStale(m_folders.backups);
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
    // Names stay well under the usual 255-byte limit, whatever the CN's length; a character outside the
    // basic plane goes whole, never half of its surrogate pair.
    while (name.toUtf8().size() > 150)
        name.chop(name.size() >= 2 && name.at(name.size() - 1).isLowSurrogate() ? 2 : 1);
    return QStringLiteral("%1 [%2].%3")
        .arg(name, thumbprint, der ? QStringLiteral("der") : QStringLiteral("pem"));
}

ActionResult TrustStore::importFiles(const QStringList& files, Target target, QStringList* written,
                                     bool dryRun) const
{
    ActionResult result;
    if (!dryRun)
        sweep();
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
        const Parsed parsed = parse(bytes);
        const Entry& entry = parsed.entry;
        if (entry.kind == Kind::Unreadable && !holdsPrivateKey(bytes, QByteArray())) {
            fail(entry.reason);
            continue;
        }
        if (holdsPrivateKey(bytes, parsed.encoded)) {
            fail(tr("The file holds a private key; only certificates and CRLs are imported."));
            continue;
        }
        if (parsed.encoded.isEmpty()) {
            fail(tr("It could not be encoded again."));
            continue;
        }
        Folder folder = Folder::Revocation;
        QByteArray name;
        if (entry.kind == Kind::Crl) {
            name = crlFileName(QFileInfo(file).fileName(), entry.thumbprint);
        } else {
            folder = target == Target::Issuers           ? Folder::Issuers
                     : target == Target::Trusted         ? Folder::Trusted
                     : entry.kind == Kind::CaCertificate ? Folder::Issuers
                                                         : Folder::Trusted;
            name = QFile::encodeName(fileNameFor(entry.name, entry.thumbprint, !isPem(bytes)));
        }
        const QString& folderPath = m_folders.path(folder);
        if (folderPath.isEmpty()) {
            fail(tr("The configuration names no %1 folder.").arg(folderName(folder)));
            continue;
        }
        FolderFd dir(folderPath);
        if (dir.fd < 0) {
            fail(folderError(folder, folderPath, dir.error));
            continue;
        }
        const QString newPath = folderPath + QLatin1Char('/') + QFile::decodeName(name);
        // A dry run's earlier files count as written.
        const bool planned = dryRun && written && written->contains(newPath);
        bool exists = planned;
        struct stat st;
        const bool placed =
            !planned &&
            (dryRun ? !(exists = ::fstatat(dir.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                    : writeNew(folderPath, dir.fd, name, parsed.encoded, exists, why));
        if (!placed) {
            // A newer list of the same issuer replaces the old one: that is how revocation lists are kept.
            if (exists && !planned && entry.kind == Kind::Crl && updatesCrl(dir.fd, name, parsed.encoded) &&
                (dryRun || placeNew(folderPath, dir.fd, name, parsed.encoded, exists, why, true))) {
                result.changed = true;
                result.warnings.append(Problem{
                    tr("'%1' replaced the older list of the same issuer.").arg(QFile::decodeName(name)),
                    file});
                if (written)
                    written->append(newPath);
                continue;
            }
            if (planned || (exists && sameBytes(dir.fd, name, parsed.encoded))) {
                result.warnings.append(Problem{
                    tr("'%1' is already in the %2 folder.").arg(QFile::decodeName(name), folderName(folder)),
                    file});
                continue;
            }
            fail(exists ? tr("The %1 folder already holds another file named '%2'; nothing was written.")
                              .arg(folderName(folder), QFile::decodeName(name))
                        : why);
            continue;
        }
        result.changed = true;
        if (written)
            written->append(newPath);
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
    // Hex digits only name a thumbprint: a file named like one must never stand in for the certificate.
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]+$"));
    const bool isPath = key.contains(QLatin1Char('/'));
    if (isPath || !hex.match(key).hasMatch()) {
        // A path, or a file name in one of the folders.
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
        return fail(tr("No certificate or CRL '%1' in the client-certificate folders.").arg(key));
    }
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
