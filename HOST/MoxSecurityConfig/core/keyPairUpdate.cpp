#include "core/keyPairUpdate.h"

#include "core/fileSafety.h"
#include "core/posixIo.h"

#include <QDir>
#include <QFile>

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using PosixIo::errorText;

const char s_journalSuffix[] = ".pair";
const char s_oldSuffix[] = ".old";
const char s_header[] = "moxsec key pair 1";
const qint64 s_maxJournal = 64 * 1024;

QByteArray folderOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray beside(const QByteArray& path, const QByteArray& name)
{
    return name.isEmpty() ? QByteArray() : folderOf(path) + '/' + name;
}

// Both the writer and a later run name the pair alike; ".." stays for the kernel to resolve, as elsewhere.
QByteArray absolute(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    return bytes.startsWith('/') ? bytes : QFile::encodeName(QDir::currentPath()) + '/' + bytes;
}

bool present(const QByteArray& path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(path.constData(), &st) == 0;
}

bool isFile(const QByteArray& path, dev_t dev, ino_t ino)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_dev == dev && st.st_ino == ino;
}

void removeEntry(const QByteArray& path)
{
    if (!path.isEmpty())
        ::unlink(path.constData());
}

void syncFolder(const QByteArray& folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// ".<stem>.<pid>.<random>.old": the form the sweep of dead temporaries knows, with a suffix of its own.
QByteArray hiddenName(const QByteArray& stem, const char* suffix)
{
    QString cut = QFile::decodeName(stem);
    while (QFile::encodeName(cut).size() > FileSafety::s_maxStemBytes)
        cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1)
        return QByteArray();
    return '.' + QFile::encodeName(cut) + '.' + QByteArray::number(::getpid()) + '.' +
           QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex() + suffix;
}

// Serialises the changes of the pairs whose key lies in one folder, on the folder as the users file's writers
// do. The wait is bounded: whoever can read the folder can lock it.
class FolderLock
{
public:
    FolderLock(const QByteArray& folder, int waitMs)
        : m_fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        for (int waited = 0; m_fd >= 0; waited += 10) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                m_held = true;
                return;
            }
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMs)
                return;
            ::usleep(10000);
        }
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_held; }

private:
    int m_fd;
    bool m_held = false;
};

struct Journal
{
    QByteArray key, cert;       // absolute paths of the pair
    QByteArray newKey, newCert; // names of the new files, beside key and cert
    QByteArray oldKey, oldCert; // names of the links that keep the old files; empty: there was none
    quint64 keyDev = 0, keyIno = 0, certDev = 0, certIno = 0; // the new files, wherever they lie

    QByteArray newKeyPath() const { return beside(key, newKey); }
    QByteArray newCertPath() const { return beside(cert, newCert); }
    QByteArray oldKeyPath() const { return beside(key, oldKey); }
    QByteArray oldCertPath() const { return beside(cert, oldCert); }

    QByteArray text() const
    {
        const auto line = [](const char* field, const QByteArray& value, quint64 dev = 0, quint64 ino = 0) {
            QByteArray out = QByteArray(field) + ' ' + (value.isEmpty() ? QByteArray("-") : value.toHex());
            if (ino != 0)
                out += ' ' + QByteArray::number(dev) + ' ' + QByteArray::number(ino);
            return out + '\n';
        };
        return QByteArray(s_header) + '\n' + line("key", key) + line("cert", cert) +
               line("new-key", newKey, keyDev, keyIno) + line("new-cert", newCert, certDev, certIno) +
               line("old-key", oldKey) + line("old-cert", oldCert);
    }

    // Only names the writer itself makes are accepted: a planted record cannot point anywhere else.
    bool parse(const QByteArray& data, pid_t writer)
    {
        const QList<QByteArray> lines = data.split('\n');
        if (lines.size() != 8 || lines.at(0) != s_header || !lines.at(7).isEmpty())
            return false;
        const char* fields[] = {"key", "cert", "new-key", "new-cert", "old-key", "old-cert"};
        QByteArray* values[] = {&key, &cert, &newKey, &newCert, &oldKey, &oldCert};
        for (int i = 0; i < 6; ++i) {
            const QList<QByteArray> parts = lines.at(i + 1).split(' ');
            if (parts.size() != (i == 2 || i == 3 ? 4 : 2) || parts.at(0) != fields[i])
                return false;
            *values[i] = parts.at(1) == "-" ? QByteArray() : QByteArray::fromHex(parts.at(1));
            if (i == 2 || i == 3) {
                bool okDev = false, okIno = false;
                (i == 2 ? keyDev : certDev) = parts.at(2).toULongLong(&okDev);
                (i == 2 ? keyIno : certIno) = parts.at(3).toULongLong(&okIno);
                if (!okDev || !okIno)
                    return false;
            }
        }
        const auto ours = [writer](const QByteArray& name, const char* suffix, bool optional) {
            return (optional && name.isEmpty()) ||
                   (!name.contains('/') && FileSafety::temporaryOwner(name, suffix) == writer);
        };
        return key.startsWith('/') && cert.startsWith('/') && ours(newKey, ".tmp", false) &&
               ours(newCert, ".tmp", false) && ours(oldKey, s_oldSuffix, true) &&
               ours(oldCert, s_oldSuffix, true);
    }
};

bool readJournal(const QByteArray& path, pid_t writer, Journal& journal)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    QByteArray data;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= s_maxJournal) {
        data.resize(int(st.st_size));
        qint64 done = 0;
        while (done < data.size()) {
            const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        data.truncate(int(done));
    }
    ::close(fd);
    return journal.parse(data, writer);
}

// Puts one new file in place unless it is there already; without sync, finish syncs its folder.
bool put(const QByteArray& target, const QByteArray& fresh, quint64 dev, quint64 ino, int* failure,
         bool sync = true)
{
    if (isFile(target, dev_t(dev), ino_t(ino)))
        return true;
    if (::rename(fresh.constData(), target.constData()) != 0) {
        *failure = errno;
        return false;
    }
    if (sync)
        syncFolder(folderOf(target));
    return true;
}

// Takes one new file away and puts the old one back (or none, if there was none). The new file becomes
// unreachable first, so a run killed part-way and recovered later still goes back, never forward.
bool undo(const QByteArray& target, const QByteArray& fresh, const QByteArray& old, quint64 dev, quint64 ino)
{
    removeEntry(fresh);
    bool ok = true;
    if (isFile(target, dev_t(dev), ino_t(ino)))
        ok = present(old) ? ::rename(old.constData(), target.constData()) == 0
                          : ::unlink(target.constData()) == 0;
    if (ok)
        removeEntry(old);
    syncFolder(folderOf(target));
    return ok;
}

// The old pair is back in place; a record stays while that failed, for the next run to retry.
bool rollBack(const Journal& journal, const QByteArray& record)
{
    const bool ok =
        undo(journal.key, journal.newKeyPath(), journal.oldKeyPath(), journal.keyDev, journal.keyIno) &&
        undo(journal.cert, journal.newCertPath(), journal.oldCertPath(), journal.certDev, journal.certIno);
    if (ok) {
        removeEntry(record);
        syncFolder(folderOf(record));
    }
    return ok;
}

// The new pair is in place: the old files and then the record go. Both folders are synced before the record
// goes, which also makes renames put left unsynced durable: until then the record finishes the change.
void finish(const Journal& journal, const QByteArray& record)
{
    removeEntry(journal.oldKeyPath());
    removeEntry(journal.oldCertPath());
    syncFolder(folderOf(journal.cert));
    syncFolder(folderOf(journal.key));
    removeEntry(record);
    syncFolder(folderOf(record));
}

// The new files' identities and the hidden names the old files will be kept under; why not, or empty.
QString describe(Journal& journal, const QByteArray& newKeyPath, const QByteArray& newCertPath,
                 const QString& keyPath)
{
    struct stat keyStat, certStat;
    if (::lstat(newKeyPath.constData(), &keyStat) != 0 || ::lstat(newCertPath.constData(), &certStat) != 0) {
        const int failure = errno;
        return KeyPairUpdate::tr("Cannot write '%1': %2.").arg(keyPath, errorText(failure));
    }
    journal.keyDev = keyStat.st_dev;
    journal.keyIno = keyStat.st_ino;
    journal.certDev = certStat.st_dev;
    journal.certIno = certStat.st_ino;
    // A folder in the way is no old file to keep: the rename onto it fails and says so.
    const auto keeps = [](const QByteArray& path) {
        struct stat st;
        return ::lstat(path.constData(), &st) == 0 && !S_ISDIR(st.st_mode);
    };
    if (keeps(journal.key))
        journal.oldKey = hiddenName(nameOf(journal.key), s_oldSuffix);
    if (keeps(journal.cert))
        journal.oldCert = hiddenName(nameOf(journal.cert), s_oldSuffix);
    if ((keeps(journal.key) && journal.oldKey.isEmpty()) ||
        (keeps(journal.cert) && journal.oldCert.isEmpty()))
        return KeyPairUpdate::tr("Cannot keep the old key and certificate: no random numbers.");
    return QString();
}

// The record is written whole under a temporary name and then renamed: a reader never sees half of it.
// record gets its path; why it failed, or empty.
QString writeRecord(const Journal& journal, QByteArray& record)
{
    QString recordTemp, cause;
    const int fd = FileSafety::createTemporary(QFile::decodeName(folderOf(journal.key)),
                                               QFile::decodeName(nameOf(journal.key)), recordTemp, &cause);
    if (fd < 0)
        return cause;
    const QByteArray text = journal.text();
    const QByteArray temp = QFile::encodeName(recordTemp);
    record = temp.left(temp.size() - 4) + s_journalSuffix;
    const bool written =
        ::write(fd, text.constData(), size_t(text.size())) == text.size() && ::fsync(fd) == 0;
    int failure = errno;
    ::close(fd);
    if (!written ||
        ::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, record.constData(), RENAME_NOREPLACE) != 0) {
        failure = written ? errno : failure;
        removeEntry(temp);
        return KeyPairUpdate::tr("Cannot write '%1': %2.").arg(QFile::decodeName(record), errorText(failure));
    }
    syncFolder(folderOf(record));
    return QString();
}

// Hard links keep the old files (a link at the key's name is kept as the link, never followed). On failure
// the change is rolled back and failed says which half; why it failed, or empty.
QString keepOld(const Journal& journal, const QByteArray& record, KeyPairUpdate::Failed& failed)
{
    const struct
    {
        QByteArray target, old;
        KeyPairUpdate::Failed failed;
    } keep[] = {{journal.key, journal.oldKeyPath(), KeyPairUpdate::Failed::Key},
                {journal.cert, journal.oldCertPath(), KeyPairUpdate::Failed::Certificate}};
    for (const auto& one : keep) {
        if (one.old.isEmpty())
            continue;
        if (::linkat(AT_FDCWD, one.target.constData(), AT_FDCWD, one.old.constData(), 0) != 0) {
            const int failure = errno;
            rollBack(journal, record);
            failed = one.failed;
            return KeyPairUpdate::tr("Cannot keep the old file '%1': %2.")
                .arg(QFile::decodeName(one.target), errorText(failure));
        }
    }
    syncFolder(folderOf(journal.key));
    syncFolder(folderOf(journal.cert));
    return QString();
}

} // namespace

KeyPairUpdate::Failed KeyPairUpdate::install(const QString& newKey, const QString& newCert,
                                             const QString& keyPath, const QString& certPath, QString* error)
{
    Journal journal;
    journal.key = absolute(keyPath);
    journal.cert = absolute(certPath);
    const QByteArray newKeyPath = QFile::encodeName(newKey), newCertPath = QFile::encodeName(newCert);
    journal.newKey = nameOf(newKeyPath);
    journal.newCert = nameOf(newCertPath);
    const auto fail = [&](Failed failed, const QString& text) {
        if (error)
            *error = text;
        return failed;
    };

    const FolderLock lock(folderOf(journal.key), 5000);
    QString why = lock.held()
                      ? describe(journal, newKeyPath, newCertPath, keyPath)
                      : tr("Cannot write '%1': another program is changing this key pair.").arg(keyPath);
    QByteArray record;
    if (why.isEmpty())
        why = writeRecord(journal, record);
    if (!why.isEmpty()) {
        removeEntry(newKeyPath);
        removeEntry(newCertPath);
        return fail(Failed::Key, why);
    }
    Failed failed = Failed::None;
    why = keepOld(journal, record, failed);
    if (!why.isEmpty())
        return fail(failed, why);

    // Both new files are at hand under names on disk since keepOld: a crash from here on goes forward.
    int failure = 0;
    if (!put(journal.key, newKeyPath, journal.keyDev, journal.keyIno, &failure, false)) {
        rollBack(journal, record);
        return fail(Failed::Key, tr("Cannot write '%1': %2.").arg(keyPath, errorText(failure)));
    }
    if (!put(journal.cert, newCertPath, journal.certDev, journal.certIno, &failure, false)) {
        if (!rollBack(journal, record))
            return fail(Failed::Certificate,
                        tr("Cannot write '%1': %2. The next run completes or undoes the change.")
                            .arg(certPath, errorText(failure)));
        return fail(Failed::Certificate, tr("Cannot write '%1': %2.").arg(certPath, errorText(failure)));
    }
    finish(journal, record);
    return Failed::None;
}

KeyPairUpdate::Failed KeyPairUpdate::replaceCertificate(const QString& newCert, const QString& keyPath,
                                                        const QString& certPath, const QByteArray& keyBytes,
                                                        QString* error)
{
    const QByteArray fresh = QFile::encodeName(newCert), cert = absolute(certPath);
    const auto fail = [&](Failed failed, const QString& text) {
        removeEntry(fresh);
        if (error)
            *error = text;
        return failed;
    };
    // The lock keeps out a change of the whole pair, after which the certificate would be for a key gone.
    const FolderLock lock(folderOf(absolute(keyPath)), 5000);
    if (!lock.held())
        return fail(Failed::Key,
                    tr("Cannot write '%1': another program is changing this key pair.").arg(keyPath));
    QByteArray inPlace;
    QString readError;
    if (!FileSafety::readRegular(keyPath, inPlace, &readError) || inPlace != keyBytes)
        return fail(Failed::Key, tr("Cannot write '%1': its key '%2' changed meanwhile. %3")
                                     .arg(certPath, keyPath, readError)
                                     .trimmed());
    if (::rename(fresh.constData(), cert.constData()) != 0) {
        const int failure = errno;
        return fail(Failed::Certificate, tr("Cannot write '%1': %2.").arg(certPath, errorText(failure)));
    }
    syncFolder(folderOf(cert)); // the rename itself is on disk before the install is reported
    return Failed::None;
}

bool KeyPairUpdate::recover(const QString& keyPath, const QString& certPath)
{
    if (keyPath.isEmpty() || certPath.isEmpty())
        return false;
    const QByteArray key = absolute(keyPath), cert = absolute(certPath);
    const QByteArray folder = folderOf(key);
    bool changed = false;
    // A writer at work holds the lock; its record is not for us.
    const FolderLock lock(folder, 0);
    DIR* dir = lock.held() ? ::opendir(folder.constData()) : nullptr;
    if (dir) {
        QList<QPair<QByteArray, pid_t>> records;
        while (const dirent* entry = ::readdir(dir)) {
            const pid_t writer = FileSafety::temporaryOwner(QByteArray(entry->d_name), s_journalSuffix);
            // A live writer (this process's other thread, or another instance) is still at work.
            if (writer != 0 && writer != ::getpid() && ::kill(writer, 0) != 0 && errno == ESRCH)
                records.append({folder + '/' + entry->d_name, writer});
        }
        ::closedir(dir);
        for (const auto& record : records) {
            Journal journal;
            if (!readJournal(record.first, record.second, journal) || journal.key != key ||
                journal.cert != cert)
                continue;
            const bool keyAtHand = isFile(key, journal.keyDev, journal.keyIno) ||
                                   isFile(journal.newKeyPath(), journal.keyDev, journal.keyIno);
            const bool certAtHand = isFile(cert, journal.certDev, journal.certIno) ||
                                    isFile(journal.newCertPath(), journal.certDev, journal.certIno);
            int failure = 0;
            if (keyAtHand && certAtHand &&
                put(key, journal.newKeyPath(), journal.keyDev, journal.keyIno, &failure) &&
                put(cert, journal.newCertPath(), journal.certDev, journal.certIno, &failure))
                finish(journal, record.first);
            else
                rollBack(journal, record.first);
            changed = true;
        }
    }
    // Only now: a record's new files are temporaries too.
    FileSafety::removeStaleTemporaries(QFile::decodeName(folder));
    if (folderOf(cert) != folder)
        FileSafety::removeStaleTemporaries(QFile::decodeName(folderOf(cert)));
    return changed;
}
