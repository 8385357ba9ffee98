#include "core/configSnapshot.h"

#include "core/certificateInfo.h"
#include "core/fileSafety.h"
#include "core/keyCheck.h"
#include "core/keyPairUpdate.h"
#include "core/rootedEnumerator.h"

#include "IniAuth.h"
#include "IniManager.h"
#include "IniReader.h"
#include "MoxInstEnumerator.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>

#include <sys/stat.h>
#include <unistd.h>

const char ConfigSnapshot::s_defaultSalt[] = "k7ud30";

namespace {

QString fromBytes(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

bool isFolder(const QString& path)
{
    return QFileInfo(path).isDir();
}

// Files a local user other than the runtime's may not read: the key and the password hashes.
void warnIfExposed(Problems& warnings, const QString& path, bool secret)
{
    struct stat st;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return;
    const mode_t others = secret ? (S_IROTH | S_IWOTH) : S_IWOTH;
    if ((st.st_mode & others) == 0)
        return;
    const QString mode = QStringLiteral("%1").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    warnings << Problem{
        secret ? ConfigSnapshot::tr("Every local user can read or write this file (mode %1).").arg(mode)
               : ConfigSnapshot::tr("Every local user can write here (mode %1).").arg(mode),
        path};
}

// Reads the settings of one configuration and resolves the paths it names, relative to the configuration's
// folder when USE_RELATIVE_PATH says so, and inside root when the instance is rooted.
class SettingsReader
{
public:
    SettingsReader(const Mox::Ini::IniManager& config, const QString& configPath, const QString& root,
                   Problems& errors)
        : m_config(config), m_base(QFileInfo(configPath).absolutePath()), m_root(root),
          m_rooted(RootedInstEnumerator::resolve(root, QStringLiteral("/")) != QLatin1String("/")),
          m_errors(errors)
    {}

    // A value that is present and not empty.
    bool value(const char* section, const char* key, QString& out) const
    {
        std::string bytes;
        if (!m_config.getValue(section, key, bytes) || bytes.empty())
            return false;
        out = fromBytes(bytes);
        return true;
    }
    // A value that counts even when empty: an empty pass phrase or salt is a setting of its own.
    bool present(const char* section, const char* key, QString& out) const
    {
        std::string bytes;
        if (!m_config.getValue(section, key, bytes))
            return false;
        out = fromBytes(bytes);
        return true;
    }
    void missing(const char* key) const
    {
        m_errors << Problem{ConfigSnapshot::tr("The OPC UA config does not contain: ") + QLatin1String(key),
                            {},
                            Problem::Concern::Setting};
    }
    void setRelative(bool relative) { m_relative = relative; }

    QString resolved(const QString& path) const;
    void file(PathState& state, const QString& path) const
    {
        state.path = resolved(path);
        state.configured = true;
        state.exists = QFileInfo::exists(state.path);
    }
    // A client-certificate folder; false when it is configured and is no folder.
    bool folder(const char* key, PathState& state) const;
    // The setting's file, or the error that names it missing.
    void requiredFile(const char* section, const char* key, PathState& state) const;

private:
    const Mox::Ini::IniManager& m_config;
    const QDir m_base;
    const QString m_root;
    const bool m_rooted;
    bool m_relative = false;
    Problems& m_errors;
};

QString SettingsReader::resolved(const QString& path) const
{
    if (!m_rooted)
        return m_relative ? m_base.filePath(path) : path;
    // Under a root an absolute path lies inside it too, and no link or ".." leads out.
    const QString inside = m_relative && QDir::isRelativePath(path)
                               ? RootedInstEnumerator::inside(m_root, m_base.path()) + QLatin1Char('/') + path
                               : path;
    QString why;
    const QString real = RootedInstEnumerator::resolve(m_root, inside, &why);
    if (real.isEmpty())
        m_errors << Problem{ConfigSnapshot::tr("A configured path cannot be resolved under %1.").arg(m_root),
                            why};
    return real;
}

bool SettingsReader::folder(const char* key, PathState& state) const
{
    QString text;
    if (!value("SECURITY", key, text))
        return true;
    state.path = resolved(text);
    state.configured = true;
    state.exists = isFolder(state.path);
    return state.exists;
}

void SettingsReader::requiredFile(const char* section, const char* key, PathState& state) const
{
    QString text;
    if (value(section, key, text))
        file(state, text);
    else
        missing(key);
}

} // namespace

ConfigSnapshot::ConfigSnapshot() = default;
ConfigSnapshot::~ConfigSnapshot() = default;
ConfigSnapshot::ConfigSnapshot(ConfigSnapshot&&) noexcept = default;
ConfigSnapshot& ConfigSnapshot::operator=(ConfigSnapshot&&) noexcept = default;

QString ConfigSnapshot::effectiveSalt() const
{
    return m_salt.isEmpty() ? QString::fromLatin1(s_defaultSalt) : m_salt;
}

std::unique_ptr<Mox::Ini::IniAuth> ConfigSnapshot::takeUsersStore()
{
    return std::move(m_usersStore);
}

QStringList ConfigSnapshot::protectedPaths() const
{
    QStringList paths{configPath, coreConfigPath, usersFile.path, opcUaCertificate.path, opcUaKey.path};
    if (!opensslDir.isEmpty()) {
        paths << QDir(opensslDir).filePath(QStringLiteral("qvd_openssl.cnf"))
              << QDir(opensslDir).filePath(QStringLiteral("qvd_openssl_v3.ext"));
    }
    paths.removeAll(QString());
    return paths;
}

QList<const PathState*> ConfigSnapshot::clientFolders() const
{
    return {&trustList, &issuers, &revocation, &rejected};
}

bool ConfigSnapshot::keyOpensWith(const QString& keyPath, const QString& passphrase, QString* cause)
{
    if (keyPath.isEmpty() || !QFileInfo::exists(keyPath))
        return true;
    const KeyCheck::Result result = KeyCheck::check(keyPath, passphrase);
    if (cause)
        *cause = result.cause;
    return result.opened;
}

ConfigSnapshot ConfigSnapshot::load(const MoxInstInstance* instance, const ConfigSnapshot* previous,
                                    bool checkKey, const QString& root, int warnDays)
{
    ConfigSnapshot snapshot;
    if (!instance) {
        snapshot.stop = Stop::NoInstance;
        snapshot.errors << Problem{tr("No active instance."), {}};
        return snapshot;
    }
    snapshot.readInstance(*instance, previous);
    snapshot.findCorePair(*instance);
    if (snapshot.m_config)
        snapshot.readSettings(root);
    snapshot.loadUsersStore();
    CertificateInfo certificate;
    bool certificateRead = false;
    snapshot.checkCertificate(certificate, certificateRead, warnDays);
    snapshot.checkPairs();
    if (checkKey)
        snapshot.checkKeyOpens(certificateRead ? &certificate : nullptr);
    snapshot.checkExposure();
    return snapshot;
}

bool ConfigSnapshot::hasOpenSsl() const
{
    return !opensslDir.isEmpty() && QFileInfo::exists(opensslDir);
}

// The version, the OpenSSL folder and the configuration: a file that cannot be parsed leaves the previous
// one in use.
void ConfigSnapshot::readInstance(const MoxInstInstance& instance, const ConfigSnapshot* previous)
{
    instanceVersion = fromBytes(instance.VerStr());
    opensslDir = fromBytes(instance.OpensslDir);
    // Reported with whatever else is wrong, not alone: it only stops generation.
    if (!hasOpenSsl())
        errors << Problem{tr("No OpenSSL directory was specified."), opensslDir, Problem::Concern::OpenSsl};

    configPath = fromBytes(instance.OpcUaDefaultConfigPath);
    configExists = !configPath.isEmpty() && QFileInfo::exists(configPath);
    if (configExists) {
        const QString notRegular = FileSafety::checkRegular(configPath);
        bool ok = false;
        std::shared_ptr<Mox::Ini::IniManager> config;
        if (notRegular.isEmpty())
            config =
                std::make_shared<Mox::Ini::IniManager>(QFile::encodeName(configPath).toStdString(), ok, true);
        if (ok) {
            m_config = config;
        } else {
            // The file and the line that stopped the read, where the user can act on it.
            errors << Problem{tr("The OPC UA config file was not parsed correctly."),
                              notRegular.isEmpty() ? configPath + QStringLiteral(", ") +
                                                         QString::fromStdString(config->getReadError())
                                                   : notRegular};
            if (previous)
                m_config = previous->m_config;
        }
    } else if (!configPath.isEmpty()) {
        errors << Problem{tr("The OPC UA config file does not exist."), configPath};
    }
    configHeld = m_config != nullptr;
}

// The runtime core's pair lies beside its configuration under fixed names.
void ConfigSnapshot::findCorePair(const MoxInstInstance& instance)
{
    coreConfigPath = fromBytes(instance.CoreDefaultConfigPath);
    if (coreConfigPath.isEmpty())
        return;
    const QDir coreDir = QFileInfo(coreConfigPath).absoluteDir();
    // A key pair change that a killed run left half done is finished or undone before anyone looks.
    KeyPairUpdate::recover(coreDir.filePath(QStringLiteral("moxcore.key")),
                           coreDir.filePath(QStringLiteral("moxcore.cer")));
    for (auto* file : {&coreCertificate, &coreKey}) {
        file->path = coreDir.filePath(file == &coreCertificate ? QStringLiteral("moxcore.cer")
                                                               : QStringLiteral("moxcore.key"));
        file->configured = true;
        file->exists = QFileInfo::exists(file->path);
    }
    // Half a pair is replaced or removed whole, so both stay offered.
    canGenerateCore = hasOpenSsl() && (!coreCertificate.exists || !coreKey.exists);
    canDeleteCore = coreCertificate.exists || coreKey.exists;
}

// What the configuration names: the URI, the OPC UA pair, the users file, the secrets and the folders.
void ConfigSnapshot::readSettings(const QString& root)
{
    SettingsReader settings(*m_config, configPath, root, errors);
    QString text;
    QString invalidRelative;
    if (settings.value("APPLICATION", "USE_RELATIVE_PATH", text)) {
        bool relative = false;
        relativePathValid = Mox::Ini::IniReader::parseBool(text.toStdString(), relative);
        settings.setRelative(relative);
        if (!relativePathValid)
            invalidRelative = text;
    }

    if (settings.value("APPLICATION", "APPLICATION_URI", text))
        uri = text;
    else
        settings.missing("APPLICATION_URI");
    settings.requiredFile("APPLICATION", "APPLICATION_CERTIFICATE_PATH", opcUaCertificate);
    settings.requiredFile("APPLICATION", "APPLICATION_PRIVATE_KEY_PATH", opcUaKey);
    if (KeyPairUpdate::recover(opcUaKey.path, opcUaCertificate.path)) {
        opcUaKey.exists = QFileInfo::exists(opcUaKey.path);
        opcUaCertificate.exists = QFileInfo::exists(opcUaCertificate.path);
    }
    canDeleteOpcUa = opcUaCertificate.exists || opcUaKey.exists;
    canGenerateOpcUa = hasOpenSsl() && opcUaKey.configured && relativePathValid &&
                       (!opcUaKey.exists || !opcUaCertificate.exists);

    usersFileRequired = settings.value("AUTH", "CREDENTIALS_USER_TOKEN_POLICY_ID", text);
    if (settings.value("AUTH", "CREDENTIALS_INI_PATH", text)) {
        settings.file(usersFile, text);
        canDeleteUsersFile = usersFile.exists;
        canGenerateUsersFile = !usersFile.exists;
    } else if (usersFileRequired) {
        settings.missing("CREDENTIALS_INI_PATH");
    }
    passphraseConfigured = settings.present("APPLICATION", "APPLICATION_PRIVATE_KEY_PASSWORD", m_passphrase);
    saltConfigured = settings.present("AUTH", "OPTIONAL_ENCODING_SALT", m_salt);

    const struct
    {
        const char* key;
        PathState* state;
    } folders[] = {{"CERTIFICATE_TRUST_LIST_PATH", &trustList},
                   {"CERTIFICATE_REJECTED_LIST_PATH", &rejected},
                   {"CERTIFICATE_REVOCATION_LIST_PATH", &revocation},
                   {"CERTIFICATE_ISSUER_LIST_PATH", &issuers}};
    bool foldersPresent = true;
    for (const auto& folder : folders)
        foldersPresent = settings.folder(folder.key, *folder.state) && foldersPresent;
    canDeleteFolders = foldersPresent;
    canGenerateFolders = !foldersPresent;

    if (!relativePathValid)
        errors << Problem{tr("The OPC UA config file is invalid."),
                          QStringLiteral("USE_RELATIVE_PATH=") + invalidRelative};
}

// The users store, when its file exists.
void ConfigSnapshot::loadUsersStore()
{
    if (!usersFile.exists)
        return;
    const QString notRegular = FileSafety::checkRegular(usersFile.path);
    bool ok = false;
    std::unique_ptr<Mox::Ini::IniAuth> store;
    if (notRegular.isEmpty())
        store = std::make_unique<Mox::Ini::IniAuth>(QFile::encodeName(usersFile.path).toStdString(), ok,
                                                    effectiveSalt().toStdString());
    if (!ok) {
        errors << Problem{tr("The OPC UA Auth file was not parsed correctly."),
                          notRegular.isEmpty() ? usersFile.path + QStringLiteral(", ") +
                                                     QString::fromStdString(store->getReadError())
                                               : notRegular,
                          Problem::Concern::UsersFile};
        return;
    }
    // The users of a section that is no role log in as no one: name it.
    for (const std::string& section : store->getUnknownSections())
        errors << Problem{tr("The OPC UA Auth file holds a section that is no role: [%1]")
                              .arg(QString::fromStdString(section)),
                          tr("%1 (the roles are ADMIN, OPERATOR and GUEST)").arg(usersFile.path),
                          Problem::Concern::UsersSection};
    m_usersStore = std::move(store);
    usersFileLoaded = true;
}

// The server's own certificate, read once for its checks and for the key match.
void ConfigSnapshot::checkCertificate(CertificateInfo& certificate, bool& read, int warnDays)
{
    if (!opcUaCertificate.exists)
        return;
    QString why;
    read = CertificateInfo::readFile(opcUaCertificate.path, certificate, &why);
    if (!read) {
        warnings << Problem{tr("The OPC UA certificate cannot be read."), why};
        return;
    }
    for (Problem warning : certificate.serverWarnings(uri, QSysInfo::machineHostName(),
                                                      QDateTime::currentDateTimeUtc(), warnDays)) {
        warning.detail = opcUaCertificate.path;
        warnings << warning;
    }
}

// The server cannot start on half a pair; name the missing half where the user can act on it.
void ConfigSnapshot::checkPairs()
{
    const struct
    {
        const PathState &certificate, &key;
        QString which;
        Problem::Concern concern;
    } pairs[] = {{opcUaCertificate, opcUaKey, tr("OPC UA"), Problem::Concern::OpcUaPair},
                 {coreCertificate, coreKey, tr("runtime core"), Problem::Concern::CorePair}};
    for (const auto& pair : pairs) {
        if (pair.certificate.exists && pair.key.configured && !pair.key.exists)
            errors << Problem{tr("The %1 certificate has no key: the key file is missing.").arg(pair.which),
                              pair.key.path, pair.concern};
        else if (pair.key.exists && pair.certificate.configured && !pair.certificate.exists)
            errors << Problem{
                tr("The %1 key has no certificate: the certificate file is missing.").arg(pair.which),
                pair.certificate.path, pair.concern};
    }
}

// The pass phrase must open the key; only asked when a certificate is configured.
void ConfigSnapshot::checkKeyOpens(const CertificateInfo* certificate)
{
    if (opcUaCertificate.path.isEmpty() || !opcUaKey.exists)
        return;
    const KeyCheck::Result key =
        KeyCheck::check(opcUaKey.path, m_passphrase, certificate ? certificate->publicKeyDer : QByteArray());
    if (key.opened) {
        if (key.matchesCertificate == 0)
            warnings << Problem{tr("The key does not belong to the certificate."),
                                opcUaKey.path + QStringLiteral(" / ") + opcUaCertificate.path};
        return;
    }
    keyRefused = true;
    using Failure = KeyCheck::Failure;
    const QString message =
        key.failure == Failure::NoKey ? tr("The OPC UA key file holds no private key.")
        : key.failure == Failure::Encrypted
            ? tr("The OPC UA key is encrypted, and the OPC UA config gives no pass phrase for it.")
        : key.failure == Failure::WrongPhrase
            ? tr("The passphrase in OPC UA config does not work for the key.")
        : key.failure == Failure::Unreadable ? tr("The OPC UA key file cannot be read.")
                                             : tr("The OPC UA key is damaged.");
    errors << Problem{message, key.cause, Problem::Concern::OpcUaKey};
}

// Secrets are only as secret as the files that hold them.
void ConfigSnapshot::checkExposure()
{
    struct stat configStat;
    if (configHeld && !m_passphrase.isEmpty() &&
        ::stat(QFile::encodeName(configPath).constData(), &configStat) == 0 && (configStat.st_mode & S_IROTH))
        warnings << Problem{tr("Every local user can read the pass phrase in this file (mode %1).")
                                .arg(configStat.st_mode & 07777, 4, 8, QLatin1Char('0')),
                            configPath};
    warnIfExposed(warnings, opcUaKey.path, true);
    warnIfExposed(warnings, coreKey.path, true);
    warnIfExposed(warnings, usersFile.path, true);
}
