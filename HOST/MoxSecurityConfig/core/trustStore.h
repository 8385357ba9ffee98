// The four client-certificate folders as an administrator works with them: what each file is, and moving a
// client's certificate between the rejected folder and the trust list, removing it, importing certificates
// and CRLs. The folders come from a configuration, so only file names inside them are acted on, a move never
// replaces a file, and a symbolic link is never followed to move or delete its target.
#pragma once

#include "core/securityActions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

class TrustStore
{
    Q_DECLARE_TR_FUNCTIONS(TrustStore)

public:
    // Files larger than this are listed as unreadable, not parsed.
    static constexpr qint64 s_maxFileSize = 1024 * 1024;
    // Thumbprint prefixes shorter than this name nothing, so a typo cannot pick a certificate by chance.
    static constexpr int s_minPrefix = 8;

    enum class Folder
    {
        Trusted,
        Issuers,
        Revocation,
        Rejected
    };
    enum class Kind
    {
        Certificate,
        CaCertificate,
        Crl,
        Unreadable
    };
    // Where an imported certificate goes: by content (a CA to the issuers, others to the trust list), or as
    // asked. CRLs always go to the revocation folder.
    enum class Target
    {
        ByContent,
        Issuers,
        Trusted
    };

    struct Folders
    {
        QString trusted, issuers, revocation, rejected; // empty when not configured
        const QString& path(Folder folder) const;
    };

    struct Entry
    {
        Folder folder = Folder::Trusted;
        Kind kind = Kind::Unreadable;
        QString name;         // the subject's CN (of a CRL: the issuer's)
        QString uri;          // the first URI among the alternative names
        QDateTime validUntil; // notAfter; of a CRL its next update (invalid when it names none)
        QString thumbprint;   // SHA-1, 40 upper-case hex digits; of a CRL, of its DER encoding
        QString fileName;     // inside its folder
        QString path;         // folder + "/" + fileName
        QString reason;       // why it is unreadable
        bool link = false;    // a symbolic link (what it points to is read, never moved or removed)
    };

    explicit TrustStore(const Folders& folders);
    static Folders foldersOf(const ConfigSnapshot& snapshot);

    // Every file of the configured folders that exist, folder by folder, sorted by name. Hidden files (the
    // tool's own temporary files and backups) and sub-folders are left out. A folder that cannot be read
    // is a problem; a missing one is not.
    QList<Entry> list(Problems* problems = nullptr) const;
    // What bytes are: a certificate, a CA certificate, a CRL, or unreadable with the reason.
    static Entry inspect(const QByteArray& bytes);

    // Rejected -> trust list.
    ActionResult trust(const QList<Entry>& entries) const;
    // Trust list -> rejected.
    ActionResult reject(const QList<Entry>& entries) const;
    // Deletes the files (a link itself, never what it points to).
    ActionResult remove(const QList<Entry>& entries) const;
    // Certificates (PEM or DER) and CRLs. A certificate is written as "<CN> [<thumbprint>].der|pem" in its
    // own encoding; a CRL keeps its file name. An existing file is never replaced, except by a later CRL of
    // the same issuer; the same bytes already there are no failure. written gets the new paths.
    ActionResult importFiles(const QStringList& files, Target target, QStringList* written = nullptr) const;

    // The one entry key names: a thumbprint prefix of at least s_minPrefix hex digits, a file name in one of
    // the folders, or a path. Null with error set when it names none or several; badInput is set when key is
    // a hex string too short to be a prefix.
    static const Entry* find(const QList<Entry>& entries, const QString& key, QString* error,
                             bool* badInput = nullptr);

    // "<CN> [<thumbprint>].der" or ".pem": the CN made safe as a file name, still readable.
    static QString fileNameFor(const QString& commonName, const QString& thumbprint, bool der);
    static QString folderName(Folder folder); // "trusted", "issuers", "revocation", "rejected"
    static QString kindName(Kind kind);       // "certificate", "CA certificate", "CRL", "unreadable"

private:
    ActionResult move(const QList<Entry>& entries, Folder from, Folder to) const;

    Folders m_folders;
};
