#include "core/securityActions.h"

#include "core/auditScope.h"
#include "core/backup.h"
#include "core/folderGuard.h"

#include "IniEditor.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Removes one file (a link is removed, never followed); a missing file is no failure.
bool removeFile(const QString& path, ActionResult& result)
{
    if (path.isEmpty())
        return true;
    if (::unlink(QFile::encodeName(path).constData()) == 0) {
        result.changed = true;
        return true;
    }
    if (errno == ENOENT)
        return true;
    result.ok = false;
    result.problems << Problem{
        SecurityActions::tr("Cannot delete '%1': %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))),
        {}};
    return false;
}

} // namespace

SecurityActions::SecurityActions(const ConfigSnapshot& snapshot) : m_snapshot(snapshot) {}

namespace {
const char s_passphraseKey[] = "APPLICATION_PRIVATE_KEY_PASSWORD";
} // namespace

QStringList SecurityActions::configDifferences(const CertificateRequest& request) const
{
    QStringList keys;
    for (const CertificateRequest::Field field :
         request.configDifferences(m_snapshot.uri, m_snapshot.passphrase()))
        keys << (field == CertificateRequest::Field::Uri ? QStringLiteral("APPLICATION_URI")
                                                         : QLatin1String(s_passphraseKey));
    return keys;
}

Problem SecurityActions::secretExposure(const QString& key, const QString& value) const
{
    struct stat st;
    if (key != QLatin1String(s_passphraseKey) || value.isEmpty() ||
        ::lstat(QFile::encodeName(m_snapshot.configPath).constData(), &st) != 0 || S_ISLNK(st.st_mode) ||
        !(st.st_mode & S_IRWXO))
        return Problem(); // a link is never written through: the editor refuses it with its own reason
    return Problem{
        tr("The pass phrase was not written: others may read the OPC UA config. Remove their "
           "access first (moxsec: --tighten); the group keeps its access."),
        tr("%1 has mode %2.").arg(m_snapshot.configPath).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))};
}

Problem SecurityActions::secretExposure(const CertificateRequest& request) const
{
    return configDifferences(request).contains(QLatin1String(s_passphraseKey))
               ? secretExposure(QLatin1String(s_passphraseKey),
                                request.protectKey ? request.passphrase : QString())
               : Problem();
}

ActionResult SecurityActions::adoptIntoConfigurationNow(const CertificateRequest& request, bool tighten) const
{
    ActionResult result;
    // A refused pass phrase must not leave the URI written alone.
    if (!tighten && !secretExposure(request).message.isEmpty())
        return setApplicationValue(QLatin1String(s_passphraseKey), request.passphrase);
    for (const QString& key : configDifferences(request)) {
        const ActionResult one = setApplicationValue(
            key,
            key == QLatin1String("APPLICATION_URI") ? request.uri
                                                    : (request.protectKey ? request.passphrase : QString()),
            tighten);
        result.ok = result.ok && one.ok;
        result.changed = result.changed || one.changed;
        result.problems << one.problems;
        result.warnings << one.warnings;
    }
    return result;
}

ActionResult SecurityActions::setApplicationValueNow(const QString& key, const QString& value,
                                                     bool tighten) const
{
    ActionResult result;
    std::string error;
    if (m_snapshot.configPath.isEmpty() || !m_snapshot.configExists) {
        result.ok = false;
        result.problems << Problem{
            tr("Cannot write %1 into the OPC UA config.").arg(key),
            tr("There is no OPC UA config file %1; it comes with the runtime's installation.")
                .arg(m_snapshot.configPath)};
        return result;
    }
    const Problem exposure = secretExposure(key, value);
    if (!exposure.message.isEmpty() && !tighten) {
        result.ok = false;
        result.problems << exposure;
        return result;
    }
    if (!Mox::Ini::IniEditor::setValue(QFile::encodeName(m_snapshot.configPath).toStdString(), "APPLICATION",
                                       key.toStdString(), value.toUtf8().toStdString(), &error,
                                       exposure.message.isEmpty() ? 0u : unsigned(S_IRWXO))) {
        result.ok = false;
        result.problems << Problem{tr("Cannot write %1 into the OPC UA config.").arg(key),
                                   QString::fromLocal8Bit(error.c_str())};
        return result;
    }
    result.changed = true;
    return result;
}

FileSafety::Ownership SecurityActions::ownership() const
{
    return FileSafety::ownershipFrom(m_snapshot.configPath);
}

QString SecurityActions::manifestFolder() const
{
    return QFileInfo(m_snapshot.configPath).absolutePath();
}

QStringList SecurityActions::backupPlaces(const QStringList& paths) const
{
    QStringList places;
    for (const QString& path : paths) {
        const QString place =
            QDir(Backup::backupRoot(QFileInfo(path).absolutePath())).filePath(QStringLiteral("<date-time>"));
        if ((QFileInfo::exists(path) || QFileInfo(path).isSymLink()) && !places.contains(place))
            places << place;
    }
    if (!places.isEmpty())
        places << QDir(Backup::backupRoot(manifestFolder())).filePath(QStringLiteral("<date-time>.json"));
    return places;
}

bool SecurityActions::backUp(const QStringList& paths, const QString& kind, ActionResult& result) const
{
    QString error;
    QStringList used;
    QList<Backup::Item> moved;
    const bool ok =
        Backup::moveAway(paths, QDateTime::currentDateTime(), used, &error, &moved, manifestFolder());
    result.backups << used;
    result.changed = result.changed || !used.isEmpty();
    QString recordError;
    // Written also after a failure: what did move must be found again.
    if (!used.isEmpty() &&
        !Backup::record(manifestFolder(), QFileInfo(used.first()).fileName(), kind, moved, &recordError))
        result.warnings << Problem{tr("The backup has no manifest; it can only be restored by hand."),
                                   recordError};
    if (!ok) {
        result.ok = false;
        result.problems << Problem{tr("Nothing more was deleted: the backup failed."), error};
    }
    for (const QString& backup : used)
        result.problems << Backup::prune(QFileInfo(QFileInfo(backup).absolutePath()).absolutePath(),
                                         m_snapshot.protectedPaths());
    Backup::dropStale(manifestFolder());
    return ok;
}

QList<Backup::Record> SecurityActions::listBackups(Problems* problems) const
{
    return Backup::list(manifestFolder(), problems);
}

ActionResult SecurityActions::restoreBackupNow(const QString& id, bool replace) const
{
    ActionResult result;
    QString error, cause;
    result.ok = Backup::restore(manifestFolder(), id, replace, result.backups, &error, &cause);
    result.changed = result.ok || !result.backups.isEmpty();
    if (!result.ok)
        result.problems << Problem{error, cause};
    return result;
}

ActionResult SecurityActions::deleteBackupNow(const QString& id) const
{
    ActionResult result;
    result.problems = Backup::remove(manifestFolder(), id, m_snapshot.protectedPaths());
    result.ok = result.problems.isEmpty();
    result.changed = result.ok;
    return result;
}

ActionResult SecurityActions::deleteKeyPairNow(Pair pair, bool backup) const
{
    ActionResult result;
    const bool opcUa = pair == Pair::OpcUa;
    const QString key = opcUa ? m_snapshot.opcUaKey.path : m_snapshot.coreKey.path;
    const QString certificate = opcUa ? m_snapshot.opcUaCertificate.path : m_snapshot.coreCertificate.path;
    if (backup) {
        // The key's folder may differ from the certificate's: each goes to a backup of its own folder, both
        // of one name, the key first.
        backUp({key, certificate}, QStringLiteral("key pair"), result);
        return result;
    }
    removeFile(key, result);
    removeFile(certificate, result);
    return result;
}

ActionResult SecurityActions::generateKeyPairNow(const CertificateRequest& request,
                                                 const CertificateGenerator& generator) const
{
    ActionResult result;
    const CertificateGenerator::Result generated = generator.generate(request, ownership());
    result.ok = generated.ok;
    result.changed = generated.ok;
    if (!generated.ok)
        result.problems << Problem{generated.message, generated.cause};
    result.warnings << generated.warnings;
    return result;
}

ActionResult SecurityActions::ensureKeyPairNow(const CertificateRequest& request,
                                               const CertificateGenerator& generator) const
{
    // A link counts as present, dangling or not: generation would replace it.
    auto present = [](const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); };
    const bool key = present(request.keyPath), certificate = present(request.certPath);
    if (key && certificate)
        return ActionResult();
    if (key || certificate) {
        ActionResult result;
        result.ok = false;
        result.problems << Problem{key ? tr("The key exists but its certificate is missing.")
                                       : tr("The certificate exists but its key is missing."),
                                   key ? request.certPath : request.keyPath};
        return result;
    }
    return generateKeyPair(request, generator);
}

ActionResult SecurityActions::createUsersFileNow() const
{
    ActionResult result;
    const QString path = m_snapshot.usersFile.path;
    if (path.isEmpty() || QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return result;
    QString error;
    const FileSafety::Ownership own = ownership();
    if (!FileSafety::makeFolders(QFileInfo(path).absolutePath(), own, &error) ||
        !FileSafety::writeAtomically(path, QByteArray(), own, &error)) {
        result.ok = false;
        result.problems << Problem{tr("Cannot create the users file."), error};
        return result;
    }
    result.changed = true;
    return result;
}

ActionResult SecurityActions::deleteUsersFileNow(bool backup) const
{
    ActionResult result;
    if (backup) {
        backUp({m_snapshot.usersFile.path}, QStringLiteral("users file"), result);
        return result;
    }
    removeFile(m_snapshot.usersFile.path, result);
    return result;
}

ActionResult SecurityActions::createClientFoldersNow() const
{
    ActionResult result;
    const FileSafety::Ownership own = ownership();
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->path.isEmpty() || QFileInfo(folder->path).isDir())
            continue;
        QString error;
        if (FileSafety::makeFolders(folder->path, own, &error)) {
            result.changed = true;
        } else {
            result.ok = false;
            result.problems << Problem{tr("Cannot create the folder '%1'.").arg(folder->path), error};
        }
    }
    return result;
}

ActionResult SecurityActions::deleteClientFoldersNow(bool backup) const
{
    ActionResult result;
    const FolderGuard guard(m_snapshot.protectedPaths());
    auto keep = [&result](const QString& reason) {
        result.ok = false;
        const Problem problem{reason, {}};
        if (!result.problems.contains(problem))
            result.problems << problem;
    };
    QStringList moving;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->path.isEmpty())
            continue;
        if (backup) {
            // Whatever the guard would delete is moved aside whole instead, trusted certificates and all,
            // into one backup per holding folder.
            const QString reason = guard.keepReason(folder->path);
            const QString resolved = QFileInfo(folder->path).canonicalFilePath();
            if (!reason.isEmpty())
                keep(reason);
            else if (!resolved.isEmpty() && !moving.contains(resolved))
                moving << resolved;
            continue;
        }
        const FolderGuard::Result removed = guard.remove(folder->path);
        result.changed = result.changed || removed.deleted;
        if (!removed.reason.isEmpty())
            keep(removed.reason);
    }
    if (!moving.isEmpty())
        backUp(moving, QStringLiteral("folders"), result);
    return result;
}

// What the front ends call: each is one recorded change.

ActionResult SecurityActions::deleteKeyPair(Pair pair, bool backup) const
{
    const bool opcUa = pair == Pair::OpcUa;
    const QString certificate = opcUa ? m_snapshot.opcUaCertificate.path : m_snapshot.coreCertificate.path;
    return AuditScope::run({QStringLiteral("cert delete"),
                            {opcUa ? m_snapshot.opcUaKey.path : m_snapshot.coreKey.path, certificate},
                            AuditTrail::thumbprintOf(certificate)},
                           [&] { return deleteKeyPairNow(pair, backup); });
}

ActionResult SecurityActions::generateKeyPair(const CertificateRequest& request,
                                              const CertificateGenerator& generator) const
{
    AuditScope audit({QStringLiteral("cert generate"), {request.keyPath, request.certPath}, {}});
    const ActionResult result = generateKeyPairNow(request, generator);
    audit.event().subject = AuditTrail::thumbprintOf(request.certPath);
    return audit.finish(result);
}

ActionResult SecurityActions::ensureKeyPair(const CertificateRequest& request,
                                            const CertificateGenerator& generator) const
{
    AuditScope audit({QStringLiteral("cert ensure"), {request.keyPath, request.certPath}, {}});
    const ActionResult result = ensureKeyPairNow(request, generator);
    audit.event().subject = AuditTrail::thumbprintOf(request.certPath);
    return audit.finish(result);
}

ActionResult SecurityActions::createUsersFile() const
{
    return AuditScope::run({QStringLiteral("auth create"), {m_snapshot.usersFile.path}, {}},
                           [&] { return createUsersFileNow(); });
}

ActionResult SecurityActions::deleteUsersFile(bool backup) const
{
    return AuditScope::run({QStringLiteral("auth delete"), {m_snapshot.usersFile.path}, {}},
                           [&] { return deleteUsersFileNow(backup); });
}

ActionResult SecurityActions::createClientFolders() const
{
    return AuditScope::run({QStringLiteral("folders create"), clientFolderPaths(), {}},
                           [&] { return createClientFoldersNow(); });
}

ActionResult SecurityActions::deleteClientFolders(bool backup) const
{
    return AuditScope::run({QStringLiteral("folders delete"), clientFolderPaths(), {}},
                           [&] { return deleteClientFoldersNow(backup); });
}

ActionResult SecurityActions::adoptIntoConfiguration(const CertificateRequest& request, bool tighten) const
{
    // Only the names of the values go into the log: a pass phrase never does.
    return AuditScope::run({QStringLiteral("config set"),
                            {m_snapshot.configPath},
                            configDifferences(request).join(QLatin1Char(','))},
                           [&] { return adoptIntoConfigurationNow(request, tighten); });
}

ActionResult SecurityActions::setApplicationValue(const QString& key, const QString& value,
                                                  bool tighten) const
{
    return AuditScope::run({QStringLiteral("config set"), {m_snapshot.configPath}, key},
                           [&] { return setApplicationValueNow(key, value, tighten); });
}

ActionResult SecurityActions::restoreBackup(const QString& id, bool replace) const
{
    return AuditScope::run({QStringLiteral("backup restore"), placesOfBackup(id), id},
                           [&] { return restoreBackupNow(id, replace); });
}

ActionResult SecurityActions::deleteBackup(const QString& id) const
{
    return AuditScope::run({QStringLiteral("backup delete"), placesOfBackup(id), id},
                           [&] { return deleteBackupNow(id); });
}

QStringList SecurityActions::clientFolderPaths() const
{
    QStringList paths;
    for (const PathState* folder : m_snapshot.clientFolders())
        if (!folder->path.isEmpty())
            paths << folder->path;
    return paths;
}

QStringList SecurityActions::placesOfBackup(const QString& id) const
{
    QStringList places;
    for (const Backup::Record& record : listBackups())
        if (record.id == id)
            for (const Backup::Item& item : record.items)
                places << item.place;
    return places;
}
