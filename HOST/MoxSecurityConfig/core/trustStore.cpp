#include "core/trustStore.h"

#include "core/certificateFile.h"
#include "core/fileSafety.h"
#include "core/trustFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
    return CertificateFile::parse(bytes).entry;
}

int TrustStore::sweep() const
{
    int restored = 0;
    for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Rejected, Folder::Revocation}) {
        const QString& path = m_folders.path(folder);
        if (path.isEmpty())
            continue;
        bool changed = FileSafety::removeStaleTemporaries(path) > 0;
        const TrustFolder dir(path);
        DIR* listing = dir.isOpen() ? ::fdopendir(::dup(dir.fd())) : nullptr;
        if (!listing)
            continue;
        QList<QByteArray> names;
        while (const dirent* item = ::readdir(listing)) {
            if (item->d_name[0] ==
                '.') // only hidden names are set aside; a folder may hold thousands of others
                names << QByteArray(item->d_name);
        }
        ::closedir(listing);
        for (const QByteArray& aside : names) {
            const pid_t owner = FileSafety::temporaryOwner(aside, TrustFolder::s_asideSuffix);
            if (owner == 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH)
                continue;
            // ".<name>.<pid>.<random>.aside": the name is all before the pid.
            const QByteArray body = aside.left(aside.size() - int(sizeof TrustFolder::s_asideSuffix - 1));
            const int pidDot = body.lastIndexOf('.', body.lastIndexOf('.') - 1);
            const QByteArray name = body.mid(1, pidDot - 1);
            if (!TrustFolder::plainName(name))
                continue;
            changed = true;
            // A move killed once its new file was in place: it is finished, not undone, so the certificate
            // does not end up in both folders.
            const Folder other = folder == Folder::Trusted    ? Folder::Rejected
                                 : folder == Folder::Rejected ? Folder::Trusted
                                                              : folder;
            if (other != folder && dir.movedAlready(aside, m_folders.path(other), name))
                ::unlinkat(dir.fd(), aside.constData(), 0);
            else if (!dir.putBack(aside, name).isEmpty())
                ++restored;
        }
        // A folder nothing was removed from or put back into has nothing to make durable.
        if (changed)
            dir.sync();
    }
    return restored;
}

QList<TrustStore::Entry> TrustStore::list(Problems* problems) const
{
    QList<Entry> entries = listNames(problems);
    readEntries(entries, 0, entries.size());
    return entries;
}

QList<TrustStore::Entry> TrustStore::listNames(Problems* problems) const
{
    sweep();
    QList<Entry> entries;
    for (Folder folder : {Folder::Trusted, Folder::Issuers, Folder::Rejected, Folder::Revocation}) {
        const QString& path = m_folders.path(folder);
        if (path.isEmpty())
            continue;
        const TrustFolder dir(path);
        DIR* listing = dir.isOpen() ? ::fdopendir(::dup(dir.fd())) : nullptr;
        if (!listing) {
            const int failure = dir.isOpen() ? errno : dir.openError();
            if (failure != ENOENT && problems)
                problems->append(Problem{tr("Cannot read the %1 folder.").arg(folderName(folder)),
                                         QStringLiteral("%1: %2").arg(path, PosixIo::errorText(failure))});
            continue;
        }
        QList<Entry> found;
        while (const dirent* item = ::readdir(listing)) {
            if (item->d_name[0] == '.')
                continue;
            unsigned char type = item->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (::fstatat(dir.fd(), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
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
            if (entry.link) {
                char target[PATH_MAX];
                const ssize_t n = ::readlinkat(dir.fd(), item->d_name, target, sizeof target);
                entry.linkTarget = n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
                entry.reason = tr("A symbolic link to '%1'; links are never read.").arg(entry.linkTarget);
            } else if (type != DT_REG) {
                entry.reason = tr("Not a regular file.");
            }
            found.append(entry);
        }
        ::closedir(listing);
        std::sort(found.begin(), found.end(),
                  [](const Entry& a, const Entry& b) { return a.fileName < b.fileName; });
        entries += found;
    }
    return entries;
}

namespace {

// Not read yet: a regular file that listNames left for reading.
bool unread(const TrustStore::Entry& entry)
{
    return !entry.link && entry.kind == TrustStore::Kind::Unreadable && entry.reason.isEmpty();
}

} // namespace

void TrustStore::readEntries(QList<Entry>& entries, int from, int to) const
{
    // Each file through a descriptor of its own name in its folder, opened once, never through a link.
    std::map<Folder, std::unique_ptr<TrustFolder>> folders;
    std::vector<Entry*> work;
    for (int i = std::max(from, 0); i < std::min(to, int(entries.size())); ++i) {
        Entry& entry = entries[i];
        if (!unread(entry))
            continue;
        auto& dir = folders[entry.folder];
        if (!dir)
            dir = std::make_unique<TrustFolder>(m_folders.path(entry.folder));
        work.push_back(&entry);
    }
    // SHA-1 fetched once: libcrypto looks an algorithm up under a lock shared by all threads.
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    const EVP_MD* sha1 = fetched ? fetched : EVP_sha1();
    auto readOne = [&](Entry& entry) {
        QByteArray bytes;
        if (!folders.at(entry.folder)->read(entry.fileNameBytes, bytes, entry.reason))
            return;
        Entry parsed = CertificateFile::summary(bytes, sha1);
        parsed.folder = entry.folder;
        parsed.fileName = entry.fileName;
        parsed.fileNameBytes = entry.fileNameBytes;
        parsed.path = entry.path;
        entry = std::move(parsed);
    };
    // A small share each: files take unequal times, so every thread stays busy to the end.
    constexpr int share = 16;
    const int cores = m_threads > 0 ? m_threads : int(std::max(1u, std::thread::hardware_concurrency()));
    const int threads = std::min(cores, int(work.size() + share - 1) / share);
    std::atomic<std::size_t> next{0};
    auto run = [&] {
        for (std::size_t first; (first = next.fetch_add(share)) < work.size();) {
            for (std::size_t i = first; i < std::min(first + share, work.size()); ++i)
                readOne(*work[i]);
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(run);
    run(); // this thread is one of them
    for (std::thread& thread : pool)
        thread.join();
    EVP_MD_free(fetched);
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
