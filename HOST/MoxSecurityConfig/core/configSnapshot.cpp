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
                                    bool checkKey, const QString& root)
{
    ConfigSnapshot s;
    if (!instance) {
        s.stop = Stop::NoInstance;
        s.errors << Problem{tr("No active instance."), {}};
        return s;
    }
    s.instanceVersion = fromBytes(instance->VerStr());
    s.opensslDir = fromBytes(instance->OpensslDir);
    // Reported with whatever else is wrong, not alone: it only stops generation.
    const bool noOpenSsl = s.opensslDir.isEmpty() || !QFileInfo::exists(s.opensslDir);
    if (noOpenSsl)
        s.errors << Problem{tr("No OpenSSL directory was specified."), s.opensslDir,
                            Problem::Concern::OpenSsl};

    // The configuration: a file that cannot be parsed leaves the previous one in use.
    s.configPath = fromBytes(instance->OpcUaDefaultConfigPath);
    s.configExists = !s.configPath.isEmpty() && QFileInfo::exists(s.configPath);
    if (s.configExists) {
        const QString notRegular = FileSafety::checkRegular(s.configPath);
        bool ok = false;
        std::shared_ptr<Mox::Ini::IniManager> config;
        if (notRegular.isEmpty())
            config = std::make_shared<Mox::Ini::IniManager>(QFile::encodeName(s.configPath).toStdString(), ok,
                                                            true);
        if (ok) {
            s.m_config = config;
        } else {
            // The file and the line that stopped the read, where the user can act on it.
            s.errors << Problem{tr("The OPC UA config file was not parsed correctly."),
                                notRegular.isEmpty() ? s.configPath + QStringLiteral(", ") +
                                                           QString::fromStdString(config->getReadError())
                                                     : notRegular};
            if (previous)
                s.m_config = previous->m_config;
        }
    } else if (!s.configPath.isEmpty()) {
        s.errors << Problem{tr("The OPC UA config file does not exist."), s.configPath};
    }
    s.configHeld = s.m_config != nullptr;

    // The runtime core's pair lies beside its configuration under fixed names.
    s.coreConfigPath = fromBytes(instance->CoreDefaultConfigPath);
    if (!s.coreConfigPath.isEmpty()) {
        const QDir coreDir = QFileInfo(s.coreConfigPath).absoluteDir();
        // A key pair change that a killed run left half done is finished or undone before anyone looks.
        KeyPairUpdate::recover(coreDir.filePath(QStringLiteral("moxcore.key")),
                               coreDir.filePath(QStringLiteral("moxcore.cer")));
        for (auto* file : {&s.coreCertificate, &s.coreKey}) {
            file->path = coreDir.filePath(file == &s.coreCertificate ? QStringLiteral("moxcore.cer")
                                                                     : QStringLiteral("moxcore.key"));
            file->configured = true;
            file->exists = QFileInfo::exists(file->path);
        }
        // Half a pair is replaced or removed whole, so both stay offered.
        s.canGenerateCore = !noOpenSsl && (!s.coreCertificate.exists || !s.coreKey.exists);
        s.canDeleteCore = s.coreCertificate.exists || s.coreKey.exists;
    }

    if (s.m_config) {
        const Mox::Ini::IniManager& config = *s.m_config;
        auto value = [&](const char* section, const char* key, QString& out) {
            std::string bytes;
            if (!config.getValue(section, key, bytes) || bytes.empty())
                return false;
            out = fromBytes(bytes);
            return true;
        };
        auto missing = [&](const char* key) {
            s.errors << Problem{tr("The OPC UA config does not contain: ") + QLatin1String(key),
                                {},
                                Problem::Concern::Setting};
        };

        const QDir base(QFileInfo(s.configPath).absolutePath());
        bool resolve = false;
        QString text;
        QString invalidRelative;
        if (value("APPLICATION", "USE_RELATIVE_PATH", text)) {
            s.relativePathValid = Mox::Ini::IniReader::parseBool(text.toStdString(), resolve);
            if (!s.relativePathValid)
                invalidRelative = text;
        }
        const bool rooted = RootedInstEnumerator::resolve(root, QStringLiteral("/")) != QLatin1String("/");
        auto resolved = [&](const QString& path) {
            if (!rooted)
                return resolve ? base.filePath(path) : path;
            // Under a root an absolute path lies inside it too, and no link or ".." leads out.
            const QString inside =
                resolve && QDir::isRelativePath(path)
                    ? RootedInstEnumerator::inside(root, base.path()) + QLatin1Char('/') + path
                    : path;
            QString why;
            const QString real = RootedInstEnumerator::resolve(root, inside, &why);
            if (real.isEmpty())
                s.errors << Problem{tr("A configured path cannot be resolved under %1.").arg(root), why};
            return real;
        };
        auto file = [&](PathState& state, const QString& path) {
            state.path = resolved(path);
            state.configured = true;
            state.exists = QFileInfo::exists(state.path);
        };

        if (value("APPLICATION", "APPLICATION_URI", text))
            s.uri = text;
        else
            missing("APPLICATION_URI");

        if (value("APPLICATION", "APPLICATION_CERTIFICATE_PATH", text))
            file(s.opcUaCertificate, text);
        else
            missing("APPLICATION_CERTIFICATE_PATH");
        if (value("APPLICATION", "APPLICATION_PRIVATE_KEY_PATH", text))
            file(s.opcUaKey, text);
        else
            missing("APPLICATION_PRIVATE_KEY_PATH");
        if (KeyPairUpdate::recover(s.opcUaKey.path, s.opcUaCertificate.path)) {
            s.opcUaKey.exists = QFileInfo::exists(s.opcUaKey.path);
            s.opcUaCertificate.exists = QFileInfo::exists(s.opcUaCertificate.path);
        }
        s.canDeleteOpcUa = s.opcUaCertificate.exists || s.opcUaKey.exists;
        s.canGenerateOpcUa = !noOpenSsl && s.opcUaKey.configured && s.relativePathValid &&
                             (!s.opcUaKey.exists || !s.opcUaCertificate.exists);

        s.usersFileRequired = value("AUTH", "CREDENTIALS_USER_TOKEN_POLICY_ID", text);
        if (value("AUTH", "CREDENTIALS_INI_PATH", text)) {
            file(s.usersFile, text);
            s.canDeleteUsersFile = s.usersFile.exists;
            s.canGenerateUsersFile = !s.usersFile.exists;
        } else if (s.usersFileRequired) {
            missing("CREDENTIALS_INI_PATH");
        }

        // These two count even when empty: an empty pass phrase or salt is a setting of its own.
        std::string bytes;
        if (config.getValue("APPLICATION", "APPLICATION_PRIVATE_KEY_PASSWORD", bytes)) {
            s.passphraseConfigured = true;
            s.m_passphrase = fromBytes(bytes);
        }
        if (config.getValue("AUTH", "OPTIONAL_ENCODING_SALT", bytes)) {
            s.saltConfigured = true;
            s.m_salt = fromBytes(bytes);
        }

        const struct
        {
            const char* key;
            PathState* state;
        } folders[] = {{"CERTIFICATE_TRUST_LIST_PATH", &s.trustList},
                       {"CERTIFICATE_REJECTED_LIST_PATH", &s.rejected},
                       {"CERTIFICATE_REVOCATION_LIST_PATH", &s.revocation},
                       {"CERTIFICATE_ISSUER_LIST_PATH", &s.issuers}};
        bool foldersPresent = true;
        for (const auto& folder : folders) {
            if (!value("SECURITY", folder.key, text))
                continue;
            folder.state->path = resolved(text);
            folder.state->configured = true;
            folder.state->exists = isFolder(folder.state->path);
            foldersPresent = foldersPresent && folder.state->exists;
        }
        s.canDeleteFolders = foldersPresent;
        s.canGenerateFolders = !foldersPresent;

        if (!s.relativePathValid)
            s.errors << Problem{tr("The OPC UA config file is invalid."),
                                QStringLiteral("USE_RELATIVE_PATH=") + invalidRelative};
    }

    // The users store, when its file exists.
    if (s.usersFile.exists) {
        const QString notRegular = FileSafety::checkRegular(s.usersFile.path);
        bool ok = false;
        std::unique_ptr<Mox::Ini::IniAuth> store;
        if (notRegular.isEmpty())
            store = std::make_unique<Mox::Ini::IniAuth>(QFile::encodeName(s.usersFile.path).toStdString(), ok,
                                                        s.effectiveSalt().toStdString());
        if (ok) {
            // The users of a section that is no role log in as no one: name it.
            for (const std::string& section : store->getUnknownSections())
                s.errors << Problem{tr("The OPC UA Auth file holds a section that is no role: [%1]")
                                        .arg(QString::fromStdString(section)),
                                    tr("%1 (the roles are ADMIN, OPERATOR and GUEST)").arg(s.usersFile.path),
                                    Problem::Concern::UsersSection};
            s.m_usersStore = std::move(store);
            s.usersFileLoaded = true;
        } else {
            s.errors << Problem{tr("The OPC UA Auth file was not parsed correctly."),
                                notRegular.isEmpty() ? s.usersFile.path + QStringLiteral(", ") +
                                                           QString::fromStdString(store->getReadError())
                                                     : notRegular,
                                Problem::Concern::UsersFile};
        }
    }

    // The server's own certificate, read once for its checks and for the key match.
    CertificateInfo certificate;
    bool certificateRead = false;
    if (s.opcUaCertificate.exists) {
        QString why;
        certificateRead = CertificateInfo::readFile(s.opcUaCertificate.path, certificate, &why);
        if (!certificateRead) {
            s.warnings << Problem{tr("The OPC UA certificate cannot be read."), why};
        } else {
            for (Problem warning : certificate.serverWarnings(s.uri, QSysInfo::machineHostName(),
                                                              QDateTime::currentDateTimeUtc())) {
                warning.detail = s.opcUaCertificate.path;
                s.warnings << warning;
            }
        }
    }

    // The server cannot start on half a pair; name the missing half where the user can act on it.
    const struct
    {
        const PathState &certificate, &key;
        QString which;
        Problem::Concern concern;
    } pairs[] = {{s.opcUaCertificate, s.opcUaKey, tr("OPC UA"), Problem::Concern::OpcUaPair},
                 {s.coreCertificate, s.coreKey, tr("runtime core"), Problem::Concern::CorePair}};
    for (const auto& pair : pairs) {
        if (pair.certificate.exists && pair.key.configured && !pair.key.exists)
            s.errors << Problem{tr("The %1 certificate has no key: the key file is missing.").arg(pair.which),
                                pair.key.path, pair.concern};
        else if (pair.key.exists && pair.certificate.configured && !pair.certificate.exists)
            s.errors << Problem{
                tr("The %1 key has no certificate: the certificate file is missing.").arg(pair.which),
                pair.certificate.path, pair.concern};
    }

    // The pass phrase must open the key; only asked when a certificate is configured.
    if (checkKey && !s.opcUaCertificate.path.isEmpty() && s.opcUaKey.exists) {
        const KeyCheck::Result key = KeyCheck::check(
            s.opcUaKey.path, s.m_passphrase, certificateRead ? certificate.publicKeyDer : QByteArray());
        if (!key.opened) {
            s.keyRefused = true;
            using Failure = KeyCheck::Failure;
            const QString message =
                key.failure == Failure::NoKey ? tr("The OPC UA key file holds no private key.")
                : key.failure == Failure::Encrypted
                    ? tr("The OPC UA key is encrypted, and the OPC UA config gives no pass phrase for it.")
                : key.failure == Failure::WrongPhrase
                    ? tr("The passphrase in OPC UA config does not work for the key.")
                : key.failure == Failure::Unreadable ? tr("The OPC UA key file cannot be read.")
                                                     : tr("The OPC UA key is damaged.");
            s.errors << Problem{message, key.cause, Problem::Concern::OpcUaKey};
        } else if (key.matchesCertificate == 0) {
            s.warnings << Problem{tr("The key does not belong to the certificate."),
                                  s.opcUaKey.path + QStringLiteral(" / ") + s.opcUaCertificate.path};
        }
    }

    // A pass phrase is only as secret as the file that holds it.
    struct stat configStat;
    if (s.configHeld && !s.m_passphrase.isEmpty() &&
        ::stat(QFile::encodeName(s.configPath).constData(), &configStat) == 0 &&
        (configStat.st_mode & S_IROTH))
        s.warnings << Problem{tr("Every local user can read the pass phrase in this file (mode %1).")
                                  .arg(configStat.st_mode & 07777, 4, 8, QLatin1Char('0')),
                              s.configPath};

    warnIfExposed(s.warnings, s.opcUaKey.path, true);
    warnIfExposed(s.warnings, s.coreKey.path, true);
    warnIfExposed(s.warnings, s.usersFile.path, true);
    return s;
}
