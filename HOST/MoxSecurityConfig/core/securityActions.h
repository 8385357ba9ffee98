// The file actions of the tool on a loaded configuration: delete a key pair, create and delete the users
// file and the client-certificate folders. Each says what happened and why.
#pragma once

#include "core/backup.h"
#include "core/certificateGenerator.h"
#include "core/certificateRequest.h"
#include "core/configSnapshot.h"
#include "core/fileSafety.h"

#include <QCoreApplication>

struct ActionResult
{
    bool ok = true;       // nothing failed
    bool changed = false; // something on disk changed
    Problems problems;    // what failed or was kept, and why
    QStringList backups;  // the backup folders what was deleted went to
    Problems warnings;    // what succeeded but deserves a look
};

class SecurityActions
{
    Q_DECLARE_TR_FUNCTIONS(SecurityActions)

public:
    explicit SecurityActions(const ConfigSnapshot& snapshot);

    enum class Pair
    {
        OpcUa,
        Core
    };

    // Removes the key, then the certificate (a missing one is no failure). With backup, they are moved into
    // a backup of their folders instead (see Backup), recorded in a manifest, and old backups are pruned.
    ActionResult deleteKeyPair(Pair pair, bool backup = true) const;
    // Generates the request's key and certificate, replacing any that exist.
    ActionResult generateKeyPair(const CertificateRequest& request,
                                 const CertificateGenerator& generator) const;
    // Generates only when both the key and the certificate are missing. When just one exists, the missing
    // one is named and nothing is written (a lone key or certificate is never paired with a new other half);
    // when both exist, nothing changes.
    ActionResult ensureKeyPair(const CertificateRequest& request,
                               const CertificateGenerator& generator) const;

    // Creates the configured users file, empty, with its folders, unless it exists.
    ActionResult createUsersFile() const;
    ActionResult deleteUsersFile(bool backup = true) const;
    // Creates each configured client-certificate folder that is missing, with its parents.
    ActionResult createClientFolders() const;
    // Deletes the configured client-certificate folders through the folder guard (with backup: a folder the
    // guard would delete is moved into a backup instead).
    ActionResult deleteClientFolders(bool backup = true) const;

    // Settings of a generated request that differ from the OPC UA configuration, by key name:
    // APPLICATION_URI (OPC UA requests with a URI) and APPLICATION_PRIVATE_KEY_PASSWORD (empty when the key
    // is not protected). Empty when the configuration already fits the new key.
    QStringList configDifferences(const CertificateRequest& request) const;
    // Writes those settings into the OPC UA configuration, so the server can use the new pair; nothing at all
    // when the pass phrase would be refused (see setApplicationValue).
    ActionResult adoptIntoConfiguration(const CertificateRequest& request, bool tighten = false) const;
    // Writes one value of the configuration's APPLICATION section; every other byte of the file stays. A
    // non-empty pass phrase goes only into a file others have no access to: with tighten their bits are
    // removed from the file written, else nothing is written. The group keeps its bits, since the server may
    // run in the file's group.
    ActionResult setApplicationValue(const QString& key, const QString& value, bool tighten = false) const;
    // The refusal when writing value under key would leave a pass phrase where others may read it (its
    // cause names the file and its mode); an empty message when it would not.
    Problem secretExposure(const QString& key, const QString& value) const;
    // The same for what adoptIntoConfiguration would write.
    Problem secretExposure(const CertificateRequest& request) const;

    // The backups of the installation (manifests in .backup of the OPC UA configuration's folder).
    QList<Backup::Record> listBackups(Problems* problems = nullptr) const;
    // Puts backup id back; a taken name refuses unless replace, which first backs up what is there.
    ActionResult restoreBackup(const QString& id, bool replace) const;
    // Deletes backup id for good.
    ActionResult deleteBackup(const QString& id) const;
    // Where a deletion of paths puts its backup: .backup/<date-time> beside each, and the manifest's folder.
    QStringList backupPlaces(const QStringList& paths) const;
    // The folder whose .backup holds the manifests.
    QString manifestFolder() const;

    // What new files and folders get: the OPC UA configuration's owner and group, never anything for others.
    FileSafety::Ownership ownership() const;

private:
    // The actions themselves; the public ones record them in the audit trail.
    ActionResult deleteKeyPairNow(Pair pair, bool backup) const;
    ActionResult generateKeyPairNow(const CertificateRequest& request,
                                    const CertificateGenerator& generator) const;
    ActionResult ensureKeyPairNow(const CertificateRequest& request,
                                  const CertificateGenerator& generator) const;
    ActionResult createUsersFileNow() const;
    ActionResult deleteUsersFileNow(bool backup) const;
    ActionResult createClientFoldersNow() const;
    ActionResult deleteClientFoldersNow(bool backup) const;
    ActionResult adoptIntoConfigurationNow(const CertificateRequest& request, bool tighten) const;
    ActionResult setApplicationValueNow(const QString& key, const QString& value, bool tighten) const;
    ActionResult restoreBackupNow(const QString& id, bool replace) const;
    ActionResult deleteBackupNow(const QString& id) const;
    QStringList clientFolderPaths() const;
    // The places backup id puts back.
    QStringList placesOfBackup(const QString& id) const;
    // Moves paths into backups of one name with a manifest of the given kind, or says why not.
    bool backUp(const QStringList& paths, const QString& kind, ActionResult& result) const;

    const ConfigSnapshot& m_snapshot;
};
