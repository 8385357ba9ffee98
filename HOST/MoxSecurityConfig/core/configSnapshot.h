// What the active instance's configuration says and what lies on disk, loaded once: every resolved path and
// whether it exists, the settings, which actions apply, and the errors and warnings in the window's order.
#pragma once

#include "core/certificateInfo.h"
#include "core/problem.h"

#include <QCoreApplication>
#include <QString>

#include <memory>

struct CertificateInfo;
class MoxInstInstance;
namespace Mox {
namespace Ini {
class IniAuth;
class IniManager;
} // namespace Ini
} // namespace Mox

struct PathState
{
    QString path;            // resolved; empty when not configured
    bool configured = false; // the configuration names it
    bool exists = false;     // present: a file for file paths, a folder for folder paths
};

class ConfigSnapshot
{
    Q_DECLARE_TR_FUNCTIONS(ConfigSnapshot)

public:
    // The salt of the users file's hashes when the configuration gives none.
    static const char s_defaultSalt[];

    enum class Stop
    {
        None,      // loaded
        NoInstance // "No active instance."
    };

    ConfigSnapshot();
    ~ConfigSnapshot();
    ConfigSnapshot(ConfigSnapshot&&) noexcept;
    ConfigSnapshot& operator=(ConfigSnapshot&&) noexcept;

    // Loads everything from the instance (null gives NoInstance). When the configuration file cannot be
    // parsed, the configuration of previous (if any) is used for the paths, so a typo being fixed in an
    // editor does not drop every path the window shows.
    // checkKey: check that the pass phrase opens the OPC UA key and that it fits the certificate.
    // root: the folder the instance was rooted in (RootedInstEnumerator); the configured paths, absolute ones
    // too, are resolved inside it, so nothing outside is read or written.
    static ConfigSnapshot load(const MoxInstInstance* instance, const ConfigSnapshot* previous = nullptr,
                               bool checkKey = true, const QString& root = QString(),
                               int warnDays = CertificateInfo::s_warnDays);

    Stop stop = Stop::None;
    QString instanceVersion; // "2.50.9.10679"
    QString opensslDir;
    QString configPath; // the OPC UA configuration file
    bool configExists = false;
    bool configHeld = false; // a parsed configuration is in use (this one or the previous one)
    QString coreConfigPath;

    PathState coreCertificate, coreKey;
    PathState opcUaCertificate, opcUaKey, usersFile;
    PathState trustList, issuers, revocation, rejected;

    QString uri;                    // APPLICATION_URI; empty when missing
    bool relativePathValid = true;  // USE_RELATIVE_PATH absent or one of the six words
    bool usersFileRequired = false; // CREDENTIALS_USER_TOKEN_POLICY_ID is set
    bool passphraseConfigured = false;
    bool saltConfigured = false;  // OPTIONAL_ENCODING_SALT present (maybe empty)
    bool usersFileLoaded = false; // the users file was read without error
    bool keyRefused = false;      // the key does not open (an error of concern OpcUaKey)

    // Which of the window's actions apply, from what lies on disk.
    bool canGenerateCore = false, canDeleteCore = false;
    bool canGenerateOpcUa = false, canDeleteOpcUa = false;
    bool canGenerateUsersFile = false, canDeleteUsersFile = false;
    bool canGenerateFolders = false, canDeleteFolders = false;

    Problems errors;   // each says what it concerns; ActionRules locks by that
    Problems warnings; // never lock anything

    // Secrets, for the code that needs them; nothing meant for display or printing holds them.
    const QString& passphrase() const { return m_passphrase; }
    QString effectiveSalt() const;

    // The users store, opened when the users file exists and reads without error; the caller takes it.
    std::unique_ptr<Mox::Ini::IniAuth> takeUsersStore();
    // The parsed configuration in use, shared with the next snapshot.
    const std::shared_ptr<const Mox::Ini::IniManager>& config() const { return m_config; }

    // True when the key file does not exist or the pass phrase opens it; cause says why not. The key is read
    // in process from a descriptor checked to be a regular file (KeyCheck).
    static bool keyOpensWith(const QString& keyPath, const QString& passphrase, QString* cause = nullptr);

    // The files no deletion may take with it.
    QStringList protectedPaths() const;
    // The four client-certificate folders, in the order trust list, issuers, revocation, rejected.
    QList<const PathState*> clientFolders() const;

private:
    // The steps of load, in the order their errors are listed.
    void readInstance(const MoxInstInstance& instance, const ConfigSnapshot* previous);
    void findCorePair(const MoxInstInstance& instance);
    void readSettings(const QString& root);
    void loadUsersStore();
    void checkCertificate(CertificateInfo& certificate, bool& read, int warnDays);
    void checkPairs();
    void checkKeyOpens(const CertificateInfo* certificate);
    void checkExposure();
    bool hasOpenSsl() const;

    QString m_passphrase;
    QString m_salt;
    std::shared_ptr<const Mox::Ini::IniManager> m_config;
    std::unique_ptr<Mox::Ini::IniAuth> m_usersStore;
};
