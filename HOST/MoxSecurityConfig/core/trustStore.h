// The four client-certificate folders as an administrator works with them: what each file is, and moving a
// client's certificate between the rejected folder and the trust list, removing it, importing certificates
// and CRLs. The folders come from a configuration and others write into them, so only names inside them are
// acted on, a link is never read or followed, a move never replaces a file, and what is moved or removed is
// first taken aside and checked to be what was listed: a writer cannot swap it in between.
#pragma once

#include "core/auditTrail.h"
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
        QString backups{}; // the folder whose .backup records removals (see Backup); empty: no backups
        const QString& path(Folder folder) const;
    };

    struct Entry
    {
        Folder folder = Folder::Trusted;
        Kind kind = Kind::Unreadable;
        QString name;             // the subject's CN (of a CRL: the issuer's)
        QString uri;              // the first URI among the alternative names
        QDateTime validUntil;     // notAfter; of a CRL its next update (invalid when it names none)
        QString thumbprint;       // SHA-1, 40 upper-case hex digits; of a CRL, of its DER encoding
        QString fileName;         // inside its folder, invalid bytes replaced
        QByteArray fileNameBytes; // the name as it is on disk; empty: fileName encoded
        QString path;             // folder + "/" + fileName
        QString reason;           // why it is unreadable
        bool link = false;        // a symbolic link: listed with its target, never read, only removed
        QString linkTarget;       // what the link says

        QByteArray nameBytes() const;
        QByteArray pathBytes() const;
        // Something (a file, a link) still lies under the name.
        bool present() const;
        // Set when the name on disk is not valid UTF-8, so fileName does not name it exactly.
        bool nameLossy() const;
    };

    explicit TrustStore(const Folders& folders);
    static Folders foldersOf(const ConfigSnapshot& snapshot);

    // Every file of the configured folders that exist, folder by folder, sorted by name. Hidden files (the
    // tool's own temporary files and backups) and sub-folders are left out. A folder that cannot be read
    // is a problem; a missing one is not. What killed runs left is cleaned up first (see sweep).
    QList<Entry> list(Problems* problems = nullptr) const;
    // list() in two steps, for a caller that shows rows as they come: first every name, sorted, with links
    // and what is no regular file already described; then the files of entries [from, to) read and parsed
    // (on every core when there are many). An entry already read is left as it is.
    QList<Entry> listNames(Problems* problems = nullptr) const;
    void readEntries(QList<Entry>& entries, int from, int to) const;
    // Threads readEntries may use; 0, the default, is one a core.
    void setThreads(int threads) { m_threads = threads; }
    // What bytes are: a certificate, a CA certificate, a CRL, or unreadable with the reason.
    static Entry inspect(const QByteArray& bytes);

    // Rejected -> trust list, and back. Each entry is renamed aside, read from that name, and written under
    // its name into the other folder, re-encoded from the bytes that were checked, only when their thumbprint
    // is still the listed one; else it is put back and refused. A link is never moved.
    ActionResult trust(const QList<Entry>& entries) const;
    ActionResult reject(const QList<Entry>& entries) const;
    // Deletes the files, checked as a move is (a link itself, never what it points to). With backup (and a
    // backups folder) each is moved into .backup/<date-time>/ of its folder instead, all under one name and
    // one manifest.
    ActionResult remove(const QList<Entry>& entries, bool backup = true) const;
    // Certificates (PEM or DER) and CRLs, re-encoded in the encoding they came in: nothing else of the file
    // is written, and a file that also holds a private key is refused. A certificate is written as
    // "<CN> [<thumbprint>].der|pem"; a CRL keeps its file name, without a leading dot and cut to
    // s_maxNameBytes with its thumbprint added when longer. An existing file is never replaced, except by a
    // later CRL of the same issuer; the same bytes already there are no failure. written gets the new paths.
    // With dryRun every check is made and result and written say what would happen; nothing is written.
    ActionResult importFiles(const QStringList& files, Target target, QStringList* written = nullptr,
                             bool dryRun = false) const;

    // The one entry key names: a key of hex digits only names a thumbprint (whole, or a prefix of at least
    // s_minPrefix digits), never a file, so a file named like a thumbprint cannot stand in for it; a key with
    // a "/" is a path; any other key a file name in one of the folders. Null with error set when it names
    // none or several; badInput is set when key is a hex string too short to be a prefix.
    static const Entry* find(const QList<Entry>& entries, const QString& key, QString* error,
                             bool* badInput = nullptr);

    // "<CN> [<thumbprint>].der" or ".pem": the CN made safe as a file name, still readable.
    static QString fileNameFor(const QString& commonName, const QString& thumbprint, bool der);
    static QString folderName(Folder folder); // "trusted", "issuers", "revocation", "rejected"
    static QString kindName(Kind kind);       // "certificate", "CA certificate", "CRL", "unreadable"

    // Names the tool writes stay this short, so its temporary and aside names fit beside them.
    static constexpr int s_maxNameBytes = 200;
    // In every configured folder: removes the temporaries of writers that are gone, and puts back under its
    // own name what a killed move or removal had taken aside (under "<name> [aside <n>]" when the name was
    // taken meanwhile), so no certificate stays hidden; a move that had already written it into the other
    // folder is finished instead. Returns how many were put back.
    int sweep() const;

private:
    ActionResult move(const QList<Entry>& entries, Folder from, Folder to) const;
    // The changes themselves; the public ones record them in the audit trail.
    ActionResult removeNow(const QList<Entry>& entries, bool backup) const;
    ActionResult importNow(const QStringList& files, Target target, QStringList* written, bool dryRun) const;
    static AuditTrail::Event eventOf(const char* action, const QList<Entry>& entries);

    Folders m_folders;
    int m_threads = 0;
};
