#include "commands.h"

#include "commandLine.h"
#include "output.h"
#include "terminal.h"

#include "core/certificateGenerator.h"
#include "core/certificateInfo.h"
#include "core/certificateRequest.h"
#include "core/folderGuard.h"
#include "core/rootedEnumerator.h"
#include "core/securityActions.h"
#include "core/trustStore.h"

#include "IniAuth.h"

#include <QDir>
#include <QJsonArray>
#include <QSysInfo>

#include <algorithm>

using namespace Mox::Ini;

namespace {

QString roleWord(AuthRole role)
{
    return UsersService::roleName(role).toLower();
}

QJsonObject pathJson(const PathState& state)
{
    return QJsonObject{{QStringLiteral("path"), state.path},
                       {QStringLiteral("configured"), state.configured},
                       {QStringLiteral("exists"), state.exists}};
}

PathState fileState(const QString& path, bool exists)
{
    PathState state;
    state.path = path;
    state.configured = !path.isEmpty();
    state.exists = exists;
    return state;
}

} // namespace

Commands::Commands(const CommandLine& commandLine, Output& output) : m_line(commandLine), m_out(output) {}

Commands::~Commands() = default;

int Commands::run()
{
    m_root =
        m_line.isSet(QStringLiteral("root")) ? m_line.value(QStringLiteral("root")) : QStringLiteral("/");
    const int exitCode = runCommand();
    reportWarnings();
    return exitCode;
}

int Commands::runCommand()
{
    const QString name = m_line.command()->name;
    if (name == QLatin1String("status"))
        return status();
    if (name == QLatin1String("users list"))
        return usersList();
    if (name == QLatin1String("users add"))
        return usersAdd();
    if (name == QLatin1String("users passwd"))
        return usersPasswd();
    if (name == QLatin1String("users rename"))
        return usersRename();
    if (name == QLatin1String("users role"))
        return usersRole();
    if (name == QLatin1String("users remove"))
        return usersRemove();
    if (name == QLatin1String("users check"))
        return usersCheck();
    if (name == QLatin1String("users ensure"))
        return usersEnsure();
    if (name == QLatin1String("cert generate"))
        return certGenerate(false);
    if (name == QLatin1String("cert ensure"))
        return certGenerate(true);
    if (name == QLatin1String("cert delete"))
        return certDelete();
    if (name == QLatin1String("cert show"))
        return certShow();
    if (name.startsWith(QLatin1String("config ")))
        return configSet(name.endsWith(QLatin1String("passphrase")));
    if (name == QLatin1String("trust list"))
        return trustList();
    if (name == QLatin1String("trust import"))
        return trustImport();
    if (name.startsWith(QLatin1String("trust ")))
        return trustChange(name.section(QLatin1Char(' '), 1));
    if (name.startsWith(QLatin1String("folders ")))
        return folders(name.endsWith(QLatin1String("create")));
    if (name == QLatin1String("backup list"))
        return backupList();
    if (name == QLatin1String("backup restore"))
        return backupRestore();
    if (name == QLatin1String("backup delete"))
        return backupDelete();
    return auth(name.endsWith(QLatin1String("create")));
}

int Commands::fail(const QString& message, const QString& detail, int exitCode)
{
    m_out.error(Problem{message, detail});
    return exitCode;
}

bool Commands::load(bool checkKey)
{
    const QString root = QDir::cleanPath(QDir(m_root).absolutePath());
    m_out.data().insert(QStringLiteral("root"), root);
    // A root that is not there, or holds no installation, is all there is to say.
    if (!QFileInfo(root).isDir()) {
        m_noInstallation = true;
        m_out.error(Problem{QStringLiteral("The folder given with --root does not exist."), root});
        return false;
    }
    m_enumerator = std::make_unique<RootedInstEnumerator>(m_root);
    m_enumerator->Refresh();
    m_snapshot = ConfigSnapshot::load(m_enumerator->GetActiveInstance(), nullptr, checkKey, m_root);
    m_out.data().insert(QStringLiteral("instance"), m_snapshot.instanceVersion);
    if (m_snapshot.stop == ConfigSnapshot::Stop::None && m_snapshot.configExists)
        return true;
    if (m_snapshot.stop == ConfigSnapshot::Stop::None && !QFileInfo::exists(m_snapshot.opensslDir) &&
        !QFileInfo::exists(m_snapshot.coreConfigPath)) {
        m_noInstallation = true;
        m_out.error(Problem{QStringLiteral("There is no installation under %1.").arg(root),
                            QStringLiteral("%1 does not exist.").arg(m_snapshot.configPath)});
        return false;
    }
    // Without the instance or its configuration there is nothing any command could work on.
    for (const Problem& problem : m_snapshot.errors)
        m_out.error(problem);
    if (m_snapshot.stop == ConfigSnapshot::Stop::None)
        m_out.error(Problem{QStringLiteral("The OPC UA config file does not exist."), m_snapshot.configPath});
    return false;
}

QStringList Commands::concernedPaths(const ConfigSnapshot& s) const
{
    const QString name = m_line.command()->name;
    const QString pair = m_line.arguments().value(0);
    if (name.startsWith(QLatin1String("users ")) || name.startsWith(QLatin1String("auth ")))
        return {s.usersFile.path};
    if (name.startsWith(QLatin1String("config ")) ||
        (name.startsWith(QLatin1String("cert ")) && pair == QLatin1String("opcua")))
        return {s.configPath, s.opcUaCertificate.path, s.opcUaKey.path};
    if (name.startsWith(QLatin1String("cert ")) && pair == QLatin1String("core"))
        return {s.coreCertificate.path, s.coreKey.path};
    return {};
}

void Commands::reportWarnings()
{
    // status lists every warning itself; the others name only those about what they worked on.
    if (!m_enumerator || m_line.command()->name == QLatin1String("status") ||
        concernedPaths(m_snapshot).isEmpty())
        return;
    if (m_out.changed() && !m_out.dryRun()) {
        // As the files stand now: a warning the command cleared is gone, one it caused is there.
        const QStringList concerned = concernedPaths(m_snapshot);
        const bool keyConcerned = concerned.contains(m_snapshot.opcUaKey.path);
        m_snapshot = ConfigSnapshot::load(m_enumerator->GetActiveInstance(), nullptr, keyConcerned);
    }
    const QStringList concerned = concernedPaths(m_snapshot);
    for (const Problem& warning : m_snapshot.warnings) {
        // The detail names the file, or "key / certificate" for the pair.
        const QStringList files = warning.detail.split(QStringLiteral(" / "));
        if (std::any_of(files.begin(), files.end(),
                        [&](const QString& file) { return !file.isEmpty() && concerned.contains(file); }))
            m_out.warning(warning);
    }
}

bool Commands::allowed(ActionRules::Action action)
{
    const ActionRules rules(m_snapshot);
    const bool force = m_line.isSet(QStringLiteral("force"));
    if (rules.allows(action, force))
        return true;
    const ActionRules::Verdict& verdict = rules.verdict(action);
    m_out.error(verdict.why);
    m_out.error(
        Problem{verdict.forcible
                    ? QStringLiteral("Nothing was changed: give --force to go ahead all the same.")
                    : QStringLiteral("Nothing was changed: the configuration has errors (moxsec status)."),
                {}});
    return false;
}

int Commands::status()
{
    if (!load(true) && (m_snapshot.stop != ConfigSnapshot::Stop::None || m_noInstallation))
        return Output::Failure;
    const ConfigSnapshot& s = m_snapshot;
    const struct
    {
        const char* key;
        const char* label;
        PathState state;
    } paths[] = {
        {"opcUaConfig", "OPC UA config", fileState(s.configPath, s.configExists)},
        {"coreConfig", "Core config", fileState(s.coreConfigPath, QFileInfo::exists(s.coreConfigPath))},
        {"opensslDir", "OpenSSL folder", fileState(s.opensslDir, QFileInfo(s.opensslDir).isDir())},
        {"opcUaCertificate", "OPC UA certificate", s.opcUaCertificate},
        {"opcUaKey", "OPC UA key", s.opcUaKey},
        {"usersFile", "Users file", s.usersFile},
        {"coreCertificate", "Core certificate", s.coreCertificate},
        {"coreKey", "Core key", s.coreKey},
        {"trustList", "Trust list folder", s.trustList},
        {"issuers", "Issuers folder", s.issuers},
        {"revocation", "Revocation folder", s.revocation},
        {"rejected", "Rejected folder", s.rejected},
    };
    QJsonObject pathsJson;
    m_out.line(QStringLiteral("Instance %1 under %2").arg(s.instanceVersion, QDir(m_root).absolutePath()));
    for (const auto& path : paths) {
        pathsJson.insert(QLatin1String(path.key), pathJson(path.state));
        const QString state = !path.state.configured ? QStringLiteral("not configured")
                              : path.state.exists    ? QStringLiteral("present")
                                                     : QStringLiteral("missing");
        m_out.line(QStringLiteral("%1 %2 %3")
                       .arg(QLatin1String(path.label) + QLatin1Char(':'), -20)
                       .arg(state, -8)
                       .arg(path.state.path)
                       .trimmed());
    }
    m_out.data().insert(QStringLiteral("paths"), pathsJson);
    m_out.data().insert(QStringLiteral("usersFileLoaded"), s.usersFileLoaded);
    m_out.data().insert(QStringLiteral("passphraseConfigured"), s.passphraseConfigured);
    m_out.record(s.errors, s.warnings);
    const struct
    {
        const char* title;
        const Problems& problems;
    } groups[] = {{"Errors:", s.errors}, {"Warnings:", s.warnings}};
    for (const auto& group : groups) {
        if (group.problems.isEmpty())
            continue;
        m_out.line(QLatin1String(group.title));
        for (const Problem& problem : group.problems) {
            m_out.line(QStringLiteral("  ") + problem.message);
            if (!problem.detail.isEmpty())
                m_out.line(QStringLiteral("    ") + problem.detail);
        }
    }
    const bool strict = m_line.isSet(QStringLiteral("strict"));
    return s.errors.isEmpty() && (!strict || s.warnings.isEmpty()) ? Output::Success : Output::Failure;
}

bool Commands::openUsers(bool change)
{
    if (!load(false))
        return false;
    if (change && !allowed(ActionRules::Action::ManageUsers))
        return false;
    const PathState& file = m_snapshot.usersFile;
    m_out.data().insert(QStringLiteral("usersFile"), file.path);
    if (!file.configured) {
        fail(QStringLiteral("The OPC UA config names no users file (CREDENTIALS_INI_PATH)."),
             m_snapshot.configPath);
        return false;
    }
    if (!file.exists) {
        fail(QStringLiteral("The users file does not exist (moxsec auth create makes it)."), file.path);
        return false;
    }
    m_store = m_snapshot.takeUsersStore();
    if (!m_store) {
        for (const Problem& problem : m_snapshot.errors)
            m_out.error(problem);
        return false;
    }
    m_users = std::make_unique<UsersService>(m_store.get());
    return true;
}

AuthRole Commands::roleOf(const QString& name)
{
    std::vector<User> users;
    m_users->list(users);
    const std::string key = name.toUtf8().toStdString();
    const auto found =
        std::find_if(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; });
    return found == users.end() ? eAuthRole_None : found->m_role;
}

namespace {
// UTF-8 takes at most four bytes a character.
const int s_passwordBytes = 4 * UsersService::s_maxPassword;
const int s_passphraseBytes = 1024;
} // namespace

bool Commands::readPassword(const QString& prompt, bool confirm, QString& password, int& exitCode)
{
    QString error;
    const Terminal::Read read = Terminal::readSecret(
        m_line.isSet(QStringLiteral("password-stdin")), QStringLiteral("--password-stdin"), prompt, confirm,
        password, &error, s_passwordBytes,
        QStringLiteral("Password refused: the line is longer than a password may be (at most %1 characters).")
            .arg(UsersService::s_maxPassword));
    if (read == Terminal::Read::Ok)
        return true;
    exitCode = fail(error, QString(), read == Terminal::Read::Failed ? Output::Failure : Output::Usage);
    return false;
}

bool Commands::readPassphrase(QString& passphrase, int& exitCode)
{
    QString error;
    const Terminal::Read read = Terminal::readSecret(
        true, QString(), QString(), false, passphrase, &error, s_passphraseBytes,
        QStringLiteral("Pass phrase refused: the line is longer than %1 bytes.").arg(s_passphraseBytes));
    if (read == Terminal::Read::Ok)
        return true;
    exitCode = fail(error, QString(), read == Terminal::Read::TooLong ? Output::Usage : Output::Failure);
    return false;
}

int Commands::wouldChange(const QStringList& changes)
{
    for (const QString& change : changes)
        m_out.wouldChange(change);
    if (changes.isEmpty())
        m_out.line(QStringLiteral("Nothing would change."));
    return Output::Success;
}

bool Commands::newPassword(QString& password, int& exitCode)
{
    if (!readPassword(QStringLiteral("New password"), true, password, exitCode))
        return false;
    const QString reason = UsersService::passwordError(password);
    if (!reason.isEmpty()) {
        exitCode = fail(QStringLiteral("Password refused: %1").arg(reason), QString(), Output::Usage);
        return false;
    }
    return true;
}

bool Commands::confirmed(const QString& question, int& exitCode)
{
    if (m_line.isSet(QStringLiteral("yes")))
        return true;
    if (!Terminal::interactive()) {
        exitCode = usage(QStringLiteral("%1 Not on a terminal: give --yes to go ahead.").arg(question));
        return false;
    }
    if (Terminal::confirm(question))
        return true;
    exitCode = fail(QStringLiteral("Nothing was changed."), QString(), Output::Failure);
    return false;
}

int Commands::authFailure(AuthRoleCode code, const QString& name)
{
    return fail(UsersService::codeMessage(code), name);
}

void Commands::reportUser(const QString& name, AuthRole role)
{
    m_out.data().insert(QStringLiteral("user"), name);
    if (role != eAuthRole_None)
        m_out.data().insert(QStringLiteral("role"), roleWord(role));
}

int Commands::usersList()
{
    if (!openUsers())
        return Output::Failure;
    std::vector<User> users;
    const AuthRoleCode code = m_users->list(users);
    if (IniAuth::isBad(code))
        return authFailure(code, m_snapshot.usersFile.path);
    // Ten thousand users must list about as fast as the file reads: nothing is built that is not printed,
    // and the JSON is written directly (QJsonObject costs more than the reading).
    const QString roles[] = {roleWord(eAuthRole_Admin), roleWord(eAuthRole_Operator),
                             roleWord(eAuthRole_Guest)};
    auto role = [&](AuthRole r) { return r >= eAuthRole_Admin && r < eAuthRole_Last ? roles[r] : QString(); };
    QByteArray roleJson[eAuthRole_Last + 1];
    for (int r = eAuthRole_Admin; r <= eAuthRole_Last; ++r)
        roleJson[r] = ",\"role\":" + Output::jsonString(role(AuthRole(r))) + '}';
    QByteArray array = "[";
    for (const User& user : users) {
        if (m_out.json()) {
            array += array.size() > 1 ? ",{\"name\":" : "{\"name\":";
            Output::appendJsonString(array, user.m_name.data(), int(user.m_name.size()));
            array +=
                roleJson[user.m_role >= eAuthRole_Admin && user.m_role < eAuthRole_Last ? user.m_role
                                                                                        : eAuthRole_Last];
        } else {
            m_out.line(QString::fromStdString(user.m_name).leftJustified(20) + QLatin1Char(' ') +
                       role(user.m_role));
        }
    }
    m_out.setRawData(QStringLiteral("users"), array + ']');
    // Users after a section that is no role are not listed: the listing is incomplete.
    bool complete = true;
    for (const Problem& problem : m_snapshot.errors) {
        if (problem.concern == Problem::Concern::UsersSection) {
            m_out.error(problem);
            complete = false;
        }
    }
    return complete ? Output::Success : Output::Failure;
}

namespace {
bool parseRole(const QString& text, AuthRole& role, QString& error)
{
    role = UsersService::roleFromName(text);
    if (role != eAuthRole_None)
        return true;
    error = text.isEmpty() ? QStringLiteral("A role is required: --role admin, operator or guest.")
                           : QStringLiteral("Unknown role '%1': admin, operator or guest.").arg(text);
    return false;
}
} // namespace

int Commands::usersAdd()
{
    const QString name = m_line.arguments().at(0);
    if (const QString reason = UsersService::nameError(name); !reason.isEmpty())
        return usage(QStringLiteral("Name '%1' refused: %2").arg(name, reason));
    AuthRole role;
    QString error;
    if (!parseRole(m_line.value(QStringLiteral("role")), role, error))
        return usage(error);
    if (!openUsers(true))
        return Output::Failure;
    if (roleOf(name) != eAuthRole_None)
        return authFailure(eAuthRoleCode_BadAlreadyExist, name);
    if (const UsersService::Result twin = m_users->caseTwinRefused(name); !twin.ok())
        return fail(twin.reason, name);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("add the user %1 with the role %2").arg(name, roleWord(role))});
    const UsersService::Result result = m_users->add(name, password, role);
    if (!result.ok())
        return fail(result.reason, name);
    m_out.setChanged(true);
    reportUser(name, role);
    m_out.line(QStringLiteral("Added %1 (%2).").arg(name, roleWord(role)));
    return Output::Success;
}

int Commands::usersPasswd()
{
    const QString name = m_line.arguments().at(0);
    if (!openUsers(true))
        return Output::Failure;
    const AuthRole role = roleOf(name);
    if (role == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("change the password of %1").arg(name)});
    const UsersService::Result result =
        m_users->edit(User(name.toUtf8().toStdString(), role), name, role, password);
    if (!result.ok())
        return fail(result.reason, name);
    m_out.setChanged(true);
    reportUser(name, role);
    m_out.line(QStringLiteral("Changed the password of %1.").arg(name));
    return Output::Success;
}

int Commands::usersRename()
{
    const QString oldName = m_line.arguments().at(0), newName = m_line.arguments().at(1);
    if (const QString reason = UsersService::nameError(newName); !reason.isEmpty())
        return usage(QStringLiteral("Name '%1' refused: %2").arg(newName, reason));
    if (!openUsers(true))
        return Output::Failure;
    const AuthRole role = roleOf(oldName);
    if (role == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, oldName);
    if (newName != oldName && roleOf(newName) != eAuthRole_None)
        return authFailure(eAuthRoleCode_BadAlreadyExist, newName);
    const std::string oldKey = oldName.toUtf8().toStdString();
    if (const UsersService::Result twin = m_users->caseTwinRefused(newName, &oldKey);
        newName != oldName && !twin.ok())
        return fail(twin.reason, newName);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("rename the user %1 to %2").arg(oldName, newName)});
    const UsersService::Result result =
        m_users->edit(User(oldName.toUtf8().toStdString(), role), newName, role, password);
    if (!result.ok())
        return fail(result.reason, oldName);
    m_out.setChanged(true);
    reportUser(newName, role);
    m_out.data().insert(QStringLiteral("previous"), oldName);
    m_out.line(QStringLiteral("Renamed %1 to %2.").arg(oldName, newName));
    return Output::Success;
}

int Commands::usersRole()
{
    const QString name = m_line.arguments().at(0);
    AuthRole role;
    QString error;
    if (!parseRole(m_line.arguments().at(1), role, error))
        return usage(error);
    if (!openUsers(true))
        return Output::Failure;
    const AuthRole previous = roleOf(name);
    if (previous == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    reportUser(name, role);
    if (previous == role) {
        m_out.line(QStringLiteral("%1 already has the role %2.").arg(name, roleWord(role)));
        return Output::Success;
    }
    if (!lastAdminAllowed(name, role))
        return Output::Failure;
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("give %1 the role %2").arg(name, roleWord(role))});
    const UsersService::Result result =
        m_users->edit(User(name.toUtf8().toStdString(), previous), name, role, QString());
    if (!result.ok())
        return fail(result.reason, name);
    m_out.setChanged(true);
    m_out.line(QStringLiteral("%1 now has the role %2.").arg(name, roleWord(role)));
    return Output::Success;
}

int Commands::usersRemove()
{
    const QString name = m_line.arguments().at(0);
    if (!openUsers(true))
        return Output::Failure;
    if (roleOf(name) == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    if (!lastAdminAllowed(name, eAuthRole_None))
        return Output::Failure;
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("remove the user %1").arg(name)});
    int exitCode;
    if (!confirmed(QStringLiteral("Remove the user %1?").arg(name), exitCode))
        return exitCode;
    const UsersService::Result result = m_users->remove(name);
    if (!result.ok())
        return fail(result.reason, name);
    m_out.setChanged(true);
    reportUser(name, eAuthRole_None);
    m_out.line(QStringLiteral("Removed %1.").arg(name));
    return Output::Success;
}

bool Commands::lastAdminAllowed(const QString& name, AuthRole newRole)
{
    const QString guard = m_users->lastAdminGuard(name, newRole);
    if (guard.isEmpty() || m_line.isSet(QStringLiteral("force")))
        return true;
    fail(guard, QStringLiteral("Give --force to go ahead all the same."));
    return false;
}

bool Commands::backup() const
{
    return !m_line.isSet(QStringLiteral("no-backup"));
}

QString Commands::backupQuestion(const QStringList& paths) const
{
    const QStringList places = SecurityActions(m_snapshot).backupPlaces(paths);
    return backup() && !places.isEmpty()
               ? QStringLiteral(" The backup goes to %1.").arg(places.join(QStringLiteral(", ")))
               : QString();
}

void Commands::reportBackups(const ActionResult& result)
{
    QJsonArray backups;
    for (const QString& folder : result.backups) {
        backups.append(folder);
        m_out.line(QStringLiteral("Backup: %1").arg(folder));
    }
    m_out.data().insert(QStringLiteral("backups"), backups);
}

int Commands::usersCheck()
{
    const QString name = m_line.arguments().at(0);
    if (!openUsers())
        return Output::Failure;
    QString password;
    int exitCode;
    if (!readPassword(QStringLiteral("Password"), false, password, exitCode))
        return exitCode;
    const AuthRole role = m_users->check(name, password);
    reportUser(name, role);
    m_out.data().insert(QStringLiteral("valid"), role != eAuthRole_None);
    if (role == eAuthRole_None)
        return fail(QStringLiteral("The password does not log %1 in.").arg(name), QString());
    m_out.line(QStringLiteral("The password logs %1 in (%2).").arg(name, roleWord(role)));
    return Output::Success;
}

int Commands::usersEnsure()
{
    const QString name = m_line.arguments().at(0);
    if (const QString reason = UsersService::nameError(name); !reason.isEmpty())
        return usage(QStringLiteral("Name '%1' refused: %2").arg(name, reason));
    const bool absent = m_line.isSet(QStringLiteral("absent"));
    if (absent && (m_line.isSet(QStringLiteral("role")) || m_line.isSet(QStringLiteral("password-stdin"))))
        return usage(QStringLiteral("--absent takes neither --role nor --password-stdin."));
    AuthRole role = eAuthRole_None;
    QString error;
    if (!absent && !parseRole(m_line.value(QStringLiteral("role")), role, error))
        return usage(error);
    if (!openUsers(true))
        return Output::Failure;
    reportUser(name, role);
    int exitCode;
    if (!lastAdminAllowed(name, absent ? eAuthRole_None : role))
        return Output::Failure;
    if (absent) {
        if (m_out.dryRun())
            return wouldChange(roleOf(name) == eAuthRole_None
                                   ? QStringList()
                                   : QStringList{QStringLiteral("remove the user %1").arg(name)});
        if (!confirmed(QStringLiteral("Remove the user %1 if present?").arg(name), exitCode))
            return exitCode;
        const UsersService::EnsureResult result = m_users->ensureAbsent(name);
        if (!result.ok())
            return fail(result.reason, name);
        m_out.setChanged(result.changed);
        m_out.line(result.changed ? QStringLiteral("Removed %1.").arg(name)
                                  : QStringLiteral("%1 is absent; nothing changed.").arg(name));
        return Output::Success;
    }
    QString password;
    const bool withPassword = m_line.isSet(QStringLiteral("password-stdin"));
    if (withPassword && !newPassword(password, exitCode))
        return exitCode;
    if (!withPassword && roleOf(name) == eAuthRole_None)
        return fail(QStringLiteral("The user %1 does not exist, and a new user needs a password "
                                   "(--password-stdin).")
                        .arg(name));
    if (m_out.dryRun()) {
        // What ensure changes: only what differs, the password only when it does not log in.
        const AuthRole current = roleOf(name);
        QStringList changes;
        if (current == eAuthRole_None)
            changes << QStringLiteral("add the user %1 with the role %2").arg(name, roleWord(role));
        if (current != eAuthRole_None && current != role)
            changes << QStringLiteral("give %1 the role %2").arg(name, roleWord(role));
        if (current != eAuthRole_None && withPassword && m_users->check(name, password) == eAuthRole_None)
            changes << QStringLiteral("change the password of %1").arg(name);
        return wouldChange(changes);
    }
    const UsersService::EnsureResult result = m_users->ensure(name, role, withPassword ? &password : nullptr);
    if (!result.ok())
        return fail(result.reason, name);
    m_out.setChanged(result.changed);
    m_out.line(result.changed
                   ? QStringLiteral("%1 is now %2.").arg(name, roleWord(role))
                   : QStringLiteral("%1 is already %2; nothing changed.").arg(name, roleWord(role)));
    return Output::Success;
}

namespace {
bool parseMode(const QString& text, CertificateRequest::Mode& mode)
{
    mode = text == QLatin1String("core") ? CertificateRequest::Mode::Core : CertificateRequest::Mode::OpcUa;
    return text == QLatin1String("core") || text == QLatin1String("opcua");
}

QJsonObject pairJson(const QString& pair, const QString& certificate, const QString& key)
{
    return QJsonObject{{QStringLiteral("pair"), pair},
                       {QStringLiteral("certificate"), certificate},
                       {QStringLiteral("key"), key}};
}
} // namespace

int Commands::certGenerate(bool ensure)
{
    const QString pair = m_line.arguments().at(0);
    CertificateRequest::Mode mode;
    if (!parseMode(pair, mode))
        return usage(QStringLiteral("Unknown key pair '%1': opcua or core.").arg(pair));
    const bool opcUa = mode == CertificateRequest::Mode::OpcUa;

    // Everything the command line says is checked before the installation is read.
    for (const char* option : {"country", "state", "locality", "organization"}) {
        if (m_line.value(QLatin1String(option)).isEmpty())
            return usage(QStringLiteral("--%1 is required.").arg(QLatin1String(option)));
    }
    if (!opcUa) {
        for (const char* option : {"uri-end", "machine-name", "dns", "ip", "passphrase-stdin"}) {
            if (m_line.isSet(QLatin1String(option)))
                return usage(
                    QStringLiteral("--%1 applies to the OPC UA pair only.").arg(QLatin1String(option)));
        }
    }
    const QString host = QSysInfo::machineHostName();
    const bool uriOptions =
        m_line.isSet(QStringLiteral("uri-end")) || m_line.isSet(QStringLiteral("machine-name"));
    const QString uri = CertificateRequest::defaultUri(
        mode, host, m_line.isSet(QStringLiteral("machine-name")), m_line.value(QStringLiteral("uri-end")));
    if (const QString reason = uriOptions ? CertificateRequest::uriError(uri) : QString(); !reason.isEmpty())
        return usage(reason);
    for (const QString& name : m_line.values(QStringLiteral("dns"))) {
        if (const QString reason = CertificateRequest::dnsNameError(name); !reason.isEmpty())
            return usage(reason);
    }
    for (const QString& address : m_line.values(QStringLiteral("ip"))) {
        if (const QString reason = CertificateRequest::ipAddressError(address); !reason.isEmpty())
            return usage(reason);
    }
    auto number = [&](const char* option, int& value) {
        if (!m_line.isSet(QLatin1String(option)))
            return true;
        bool ok = false;
        value = m_line.value(QLatin1String(option)).toInt(&ok);
        return ok;
    };
    int bits = 0, days = 0;
    if (!number("bits", bits) || !number("days", days))
        return usage(QStringLiteral("--bits and --days take a whole number."));

    if (!load(false) ||
        !allowed(opcUa ? ActionRules::Action::GenerateOpcUa : ActionRules::Action::GenerateCore))
        return Output::Failure;
    CertificateRequest request = CertificateRequest::defaults(mode, m_snapshot, host);
    if (request.keyPath.isEmpty() || request.certPath.isEmpty())
        return fail(
            QStringLiteral("The configuration names no key or certificate for the %1 pair.").arg(pair),
            opcUa ? m_snapshot.configPath : m_snapshot.coreConfigPath);
    m_out.data() = pairJson(pair, request.certPath, request.keyPath);
    if (m_line.isSet(QStringLiteral("der")) && request.pem)
        return usage(
            QStringLiteral("--der is refused: the certificate path ends in .pem and the server reads "
                           "the encoding from the suffix."));

    request.country = m_line.value(QStringLiteral("country"));
    request.state = m_line.value(QStringLiteral("state"));
    request.locality = m_line.value(QStringLiteral("locality"));
    request.organization = m_line.value(QStringLiteral("organization"));
    request.unit = m_line.value(QStringLiteral("unit"));
    if (m_line.isSet(QStringLiteral("common-name")))
        request.commonName = m_line.value(QStringLiteral("common-name"));
    if (m_line.isSet(QStringLiteral("bits")))
        request.keyBits = bits;
    if (m_line.isSet(QStringLiteral("days")))
        request.days = days;
    if (m_line.isSet(QStringLiteral("digest")))
        request.digest = m_line.value(QStringLiteral("digest"));
    if (opcUa) {
        // Without URI options the defaults stand: the configured URI where the dialog's fields compose it.
        if (uriOptions)
            request.uri = uri;
        if (m_line.isSet(QStringLiteral("dns")))
            request.dnsNames = m_line.values(QStringLiteral("dns"));
        request.ipAddresses = m_line.values(QStringLiteral("ip"));
        if (m_line.isSet(QStringLiteral("passphrase-stdin"))) {
            QString passphrase;
            int exitCode;
            if (!readPassphrase(passphrase, exitCode))
                return exitCode;
            request.passphrase = passphrase;
            request.protectKey = !passphrase.isEmpty();
        }
    }
    const QList<CertificateRequest::FieldProblem> problems = request.validate();
    if (!problems.isEmpty()) {
        // Values from the command line were checked above, so what is left concerns the configuration.
        for (const CertificateRequest::FieldProblem& problem : problems)
            m_out.error(Problem{problem.text(), {}});
        return Output::Failure;
    }
    const bool update = m_line.isSet(QStringLiteral("update-config"));
    if (update && !opcUa)
        return usage(QStringLiteral("--update-config applies to the OPC UA pair only."));
    if (!update) {
        for (const QString& mismatch : request.configMismatches(m_snapshot))
            m_out.warning(Problem{mismatch, {}});
    }
    m_out.data().insert(QStringLiteral("encoding"),
                        request.pem ? QStringLiteral("PEM") : QStringLiteral("DER"));
    m_out.data().insert(QStringLiteral("protected"), request.protectKey);
    m_out.data().insert(QStringLiteral("uri"), opcUa ? request.uri : QString());

    const SecurityActions actions(m_snapshot);
    // As ensureKeyPair counts them: a link, dangling or not, is present.
    auto present = [](const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); };
    const bool keyPresent = present(request.keyPath), certificatePresent = present(request.certPath);
    // A pair whose key the configured pass phrase does not open but the given one does (left so by older
    // versions of the Ansible role) is mended by writing the given one.
    const bool mend = ensure && update && keyPresent && certificatePresent && request.protectKey &&
                      !ConfigSnapshot::keyOpensWith(request.keyPath, m_snapshot.passphrase()) &&
                      ConfigSnapshot::keyOpensWith(request.keyPath, request.passphrase);
    const QString passphraseKey = QStringLiteral("APPLICATION_PRIVATE_KEY_PASSWORD");
    // A pass phrase bound for a file others may read stops everything before the pair changes.
    const bool tighten = m_line.isSet(QStringLiteral("tighten"));
    const bool fresh = !ensure || (!keyPresent && !certificatePresent);
    const Problem exposure = !update ? Problem()
                             : mend  ? actions.secretExposure(passphraseKey, request.passphrase)
                             : fresh ? actions.secretExposure(request)
                                     : Problem();
    if (!exposure.message.isEmpty() && !tighten)
        return fail(
            QStringLiteral("Nothing was done: the pass phrase would go into an OPC UA config others may "
                           "read; --tighten removes their access (the group keeps its access)."),
            exposure.detail);
    if (m_out.dryRun()) {
        if (ensure && keyPresent != certificatePresent)
            return fail(keyPresent ? QStringLiteral("The key exists but its certificate is missing.")
                                   : QStringLiteral("The certificate exists but its key is missing."),
                        keyPresent ? request.certPath : request.keyPath);
        QStringList changes;
        if (!ensure || !keyPresent) {
            const QString verb =
                keyPresent || certificatePresent ? QStringLiteral("replace") : QStringLiteral("generate");
            changes << QStringLiteral("%1 the key %2").arg(verb, request.keyPath)
                    << QStringLiteral("%1 the certificate %2").arg(verb, request.certPath);
            if (update) {
                for (const QString& key : actions.configDifferences(request))
                    changes << QStringLiteral("write %1 into %2").arg(key, m_snapshot.configPath);
            }
        } else if (mend) {
            changes << QStringLiteral("write %1 into %2").arg(passphraseKey, m_snapshot.configPath);
        }
        return wouldChange(changes);
    }
    const CertificateGenerator generator;
    ActionResult result;
    if (ensure) {
        result = actions.ensureKeyPair(request, generator);
    } else {
        int exitCode;
        if ((keyPresent || certificatePresent) &&
            !confirmed(QStringLiteral("Replace the existing %1 key and certificate?").arg(pair), exitCode))
            return exitCode;
        result = actions.generateKeyPair(request, generator);
    }
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    if (!result.ok)
        return Output::Failure;
    if (result.changed) {
        m_out.line(QStringLiteral("Generated %1").arg(request.keyPath));
        m_out.line(QStringLiteral("      and %1").arg(request.certPath));
    } else {
        m_out.line(QStringLiteral("The key and certificate exist; nothing changed."));
    }
    if (mend) {
        const ActionResult written = actions.setApplicationValue(passphraseKey, request.passphrase, tighten);
        for (const Problem& problem : written.problems)
            m_out.error(problem);
        for (const Problem& warning : written.warnings)
            m_out.warning(warning);
        m_out.setChanged(written.changed);
        m_out.data().insert(
            QStringLiteral("configUpdated"),
            QJsonArray::fromStringList(written.ok ? QStringList{passphraseKey} : QStringList()));
        if (!written.ok)
            return Output::Failure;
        m_out.line(QStringLiteral("Wrote %1 into %2: it opens the key, the configured one did not.")
                       .arg(passphraseKey, m_snapshot.configPath));
    }
    if (update && result.changed) {
        const QStringList keys = actions.configDifferences(request);
        const ActionResult written = actions.adoptIntoConfiguration(request, tighten);
        for (const Problem& problem : written.problems)
            m_out.error(problem);
        for (const Problem& warning : written.warnings)
            m_out.warning(warning);
        m_out.setChanged(written.changed);
        m_out.data().insert(QStringLiteral("configUpdated"),
                            QJsonArray::fromStringList(written.ok ? keys : QStringList()));
        if (!written.ok)
            return Output::Failure;
        if (!keys.isEmpty())
            m_out.line(QStringLiteral("Wrote %1 into %2")
                           .arg(keys.join(QStringLiteral(", ")), m_snapshot.configPath));
    }
    if ((mend || (update && result.changed)) && !exposure.message.isEmpty())
        m_out.line(QStringLiteral("Others no longer have access to %1.").arg(m_snapshot.configPath));
    return Output::Success;
}

int Commands::certShow()
{
    const QString what = m_line.arguments().at(0);
    QString path = what;
    if (what == QLatin1String("opcua") || what == QLatin1String("core")) {
        if (!load(false))
            return Output::Failure;
        const PathState& state =
            what == QLatin1String("core") ? m_snapshot.coreCertificate : m_snapshot.opcUaCertificate;
        if (!state.exists)
            return fail(QStringLiteral("The %1 certificate does not exist.").arg(what), state.path);
        path = state.path;
    }
    CertificateInfo info;
    QString error;
    if (!CertificateInfo::readFile(path, info, &error))
        return fail(QStringLiteral("Cannot read the certificate."), error);
    m_out.data().insert(QStringLiteral("file"), path);
    m_out.data().insert(QStringLiteral("certificate"), info.toJson());
    m_out.line(QStringLiteral("File: ") + path);
    for (const auto& row : info.rows()) {
        QStringList lines = row.second.split(QLatin1Char('\n'));
        m_out.line(QStringLiteral("%1 %2").arg(row.first + QLatin1Char(':'), -22).arg(lines.takeFirst()));
        for (const QString& more : lines)
            m_out.line(QString(23, QLatin1Char(' ')) + more);
    }
    return Output::Success;
}

int Commands::configSet(bool passphrase)
{
    QString value;
    if (passphrase) {
        if (!m_line.isSet(QStringLiteral("passphrase-stdin")))
            return usage(QStringLiteral(
                "--passphrase-stdin is required: a pass phrase is never taken from the command line."));
        int exitCode;
        if (!readPassphrase(value, exitCode))
            return exitCode;
    } else {
        // The certificate dialog's rule: a URI it would not put into a certificate is not configured either.
        value = m_line.arguments().at(0);
        if (const QString reason = CertificateRequest::uriError(value); !reason.isEmpty())
            return usage(reason);
    }
    // Mending the pass phrase is what the key error asks for, so that error alone does not stop it.
    if (!load(false) || !allowed(ActionRules::Action::SetConfig))
        return Output::Failure;
    const QString key =
        passphrase ? QStringLiteral("APPLICATION_PRIVATE_KEY_PASSWORD") : QStringLiteral("APPLICATION_URI");
    m_out.data().insert(QStringLiteral("config"), m_snapshot.configPath);
    m_out.data().insert(QStringLiteral("key"), key);
    // A value the configuration already holds is not written again, so scripts see that nothing changed.
    if (value == (passphrase ? m_snapshot.passphrase() : m_snapshot.uri)) {
        m_out.line(QStringLiteral("%1 already holds that value; nothing changed.").arg(key));
        return m_out.dryRun() ? wouldChange({}) : int(Output::Success);
    }
    const SecurityActions actions(m_snapshot);
    const bool tighten = m_line.isSet(QStringLiteral("tighten"));
    const Problem exposure = actions.secretExposure(key, value);
    if (!exposure.message.isEmpty() && !tighten) {
        m_out.error(exposure);
        return Output::Failure;
    }
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("write %1 into %2").arg(key, m_snapshot.configPath)});
    const ActionResult result = actions.setApplicationValue(key, value, tighten);
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    for (const Problem& warning : result.warnings)
        m_out.warning(warning);
    m_out.setChanged(result.changed);
    if (!result.ok)
        return Output::Failure;
    m_out.line(QStringLiteral("Wrote %1 into %2").arg(key, m_snapshot.configPath));
    if (!exposure.message.isEmpty())
        m_out.line(QStringLiteral("Others no longer have access to %1.").arg(m_snapshot.configPath));
    return Output::Success;
}

int Commands::certDelete()
{
    const QString pair = m_line.arguments().at(0);
    CertificateRequest::Mode mode;
    if (!parseMode(pair, mode))
        return usage(QStringLiteral("Unknown key pair '%1': opcua or core.").arg(pair));
    if (!load(false) || !allowed(mode == CertificateRequest::Mode::OpcUa ? ActionRules::Action::DeleteOpcUa
                                                                         : ActionRules::Action::DeleteCore))
        return Output::Failure;
    const bool opcUa = mode == CertificateRequest::Mode::OpcUa;
    const PathState& certificate = opcUa ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    const PathState& key = opcUa ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    m_out.data() = pairJson(pair, certificate.path, key.path);
    if (!certificate.exists && !key.exists) {
        m_out.line(QStringLiteral("Neither the key nor the certificate exists; nothing changed."));
        return Output::Success;
    }
    if (m_out.dryRun()) {
        QStringList changes;
        const QString verb =
            backup() ? QStringLiteral("move the %1 %2 into a backup") : QStringLiteral("delete the %1 %2");
        if (key.exists)
            changes << verb.arg(QStringLiteral("key"), key.path);
        if (certificate.exists)
            changes << verb.arg(QStringLiteral("certificate"), certificate.path);
        return wouldChange(changes);
    }
    int exitCode;
    if (!confirmed(QStringLiteral("Delete the %1 key and certificate?").arg(pair) +
                       backupQuestion({key.path, certificate.path}),
                   exitCode))
        return exitCode;
    const ActionResult result =
        SecurityActions(m_snapshot)
            .deleteKeyPair(opcUa ? SecurityActions::Pair::OpcUa : SecurityActions::Pair::Core, backup());
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    reportBackups(result);
    if (!result.ok)
        return Output::Failure;
    m_out.line(QStringLiteral("Deleted the %1 key and certificate.").arg(pair));
    return Output::Success;
}

int Commands::folders(bool create)
{
    if (!load(false) ||
        !allowed(create ? ActionRules::Action::CreateFolders : ActionRules::Action::DeleteFolders))
        return Output::Failure;
    const SecurityActions actions(m_snapshot);
    if (m_out.dryRun()) {
        // The guard's own checks, so a folder it would keep is reported as the real run reports it.
        const FolderGuard guard(m_snapshot.protectedPaths());
        QStringList changes;
        bool kept = false;
        for (const PathState* folder : m_snapshot.clientFolders()) {
            if (folder->path.isEmpty() || QFileInfo(folder->path).isDir() != !create)
                continue;
            const QString reason = create ? QString() : guard.keepReason(folder->path);
            if (!reason.isEmpty()) {
                kept = true;
                m_out.error(Problem{reason, folder->path});
                continue;
            }
            changes << (create     ? QStringLiteral("create the folder %1")
                        : backup() ? QStringLiteral("move the folder %1 into a backup")
                                   : QStringLiteral("delete the folder %1"))
                           .arg(folder->path);
        }
        wouldChange(changes);
        return kept ? Output::Failure : Output::Success;
    }
    ActionResult result;
    if (create) {
        result = actions.createClientFolders();
    } else {
        int exitCode;
        QStringList paths;
        for (const PathState* folder : m_snapshot.clientFolders())
            if (QFileInfo(folder->path).isDir())
                paths << QFileInfo(folder->path).canonicalFilePath();
        if (!confirmed(QStringLiteral("Delete the client-certificate folders and the certificates in them?") +
                           backupQuestion(paths),
                       exitCode))
            return exitCode;
        result = actions.deleteClientFolders(backup());
        reportBackups(result);
    }
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    QJsonArray array;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->path.isEmpty())
            continue;
        const bool exists = QFileInfo(folder->path).isDir();
        array.append(QJsonObject{{QStringLiteral("path"), folder->path}, {QStringLiteral("exists"), exists}});
        m_out.line(QStringLiteral("%1 %2")
                       .arg(exists ? QStringLiteral("present") : QStringLiteral("missing"), -8)
                       .arg(folder->path));
    }
    m_out.data().insert(QStringLiteral("folders"), array);
    return result.ok ? Output::Success : Output::Failure;
}

int Commands::auth(bool create)
{
    if (!load(false) ||
        !allowed(create ? ActionRules::Action::CreateUsersFile : ActionRules::Action::DeleteUsersFile))
        return Output::Failure;
    const PathState& file = m_snapshot.usersFile;
    m_out.data().insert(QStringLiteral("usersFile"), file.path);
    if (!file.configured)
        return fail(QStringLiteral("The OPC UA config names no users file (CREDENTIALS_INI_PATH)."),
                    m_snapshot.configPath);
    const SecurityActions actions(m_snapshot);
    if (m_out.dryRun()) {
        const bool present = file.exists || QFileInfo(file.path).isSymLink();
        if (present == create)
            return wouldChange({});
        return wouldChange({create     ? QStringLiteral("create the users file %1").arg(file.path)
                            : backup() ? QStringLiteral("move the users file %1 into a backup").arg(file.path)
                                       : QStringLiteral("delete the users file %1").arg(file.path)});
    }
    ActionResult result;
    if (create) {
        result = actions.createUsersFile();
    } else {
        if (!file.exists) {
            m_out.line(QStringLiteral("The users file does not exist; nothing changed."));
            return Output::Success;
        }
        int exitCode;
        if (!confirmed(QStringLiteral("Delete the users file %1 with every user in it?").arg(file.path) +
                           backupQuestion({file.path}),
                       exitCode))
            return exitCode;
        result = actions.deleteUsersFile(backup());
        reportBackups(result);
    }
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    if (!result.ok)
        return Output::Failure;
    m_out.line(!result.changed ? QStringLiteral("Nothing changed: %1").arg(file.path)
               : create        ? QStringLiteral("Created %1").arg(file.path)
                               : QStringLiteral("Deleted %1").arg(file.path));
    return Output::Success;
}

namespace {

QString dateText(const QDateTime& time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}

QJsonObject entryJson(const TrustStore::Entry& entry)
{
    QJsonObject object{{QStringLiteral("folder"), TrustStore::folderName(entry.folder)},
                       {QStringLiteral("kind"), TrustStore::kindName(entry.kind)},
                       {QStringLiteral("name"), entry.name},
                       {QStringLiteral("uri"), entry.uri},
                       {QStringLiteral("validUntil"), dateText(entry.validUntil)},
                       {QStringLiteral("thumbprint"), entry.thumbprint},
                       {QStringLiteral("file"), entry.path},
                       {QStringLiteral("link"), entry.link}};
    if (entry.kind == TrustStore::Kind::Unreadable)
        object.insert(QStringLiteral("reason"), entry.reason);
    if (entry.link)
        object.insert(QStringLiteral("target"), entry.linkTarget);
    // "file" has invalid bytes replaced; a script that acts on the file needs the real ones.
    if (entry.nameLossy())
        object.insert(QStringLiteral("file_hex"), QString::fromLatin1(entry.pathBytes().toHex()));
    return object;
}

QJsonObject foldersJson(const TrustStore::Folders& folders)
{
    QJsonObject object;
    for (TrustStore::Folder folder : {TrustStore::Folder::Trusted, TrustStore::Folder::Issuers,
                                      TrustStore::Folder::Rejected, TrustStore::Folder::Revocation})
        object.insert(TrustStore::folderName(folder), folders.path(folder));
    return object;
}

} // namespace

int Commands::trustList()
{
    if (!load(false))
        return Output::Failure;
    const TrustStore::Folders folders = TrustStore::foldersOf(m_snapshot);
    Problems problems;
    const QList<TrustStore::Entry> entries = TrustStore(folders).list(&problems);
    for (const Problem& problem : problems)
        m_out.error(problem);
    QJsonArray array;
    for (const TrustStore::Entry& entry : entries) {
        array.append(entryJson(entry));
        const QString what =
            entry.link ? QStringLiteral("link to ") + entry.linkTarget
            : entry.kind == TrustStore::Kind::Unreadable
                ? QStringLiteral("unreadable: ") + entry.reason
                : QStringLiteral("%1 %2 %3 %4")
                      .arg(TrustStore::kindName(entry.kind), -14)
                      .arg(entry.validUntil.isValid()
                               ? entry.validUntil.toString(QStringLiteral("yyyy-MM-dd"))
                               : QStringLiteral("-"),
                           -10)
                      .arg(entry.thumbprint, entry.uri.isEmpty() ? entry.name
                                                                 : entry.name + QStringLiteral(" <") +
                                                                       entry.uri + QLatin1Char('>'));
        m_out.line(QStringLiteral("%1 %2").arg(TrustStore::folderName(entry.folder), -10).arg(what));
        m_out.line(QStringLiteral("           ") + entry.path);
    }
    if (entries.isEmpty())
        m_out.line(QStringLiteral("The client-certificate folders hold no files."));
    m_out.data().insert(QStringLiteral("folders"), foldersJson(folders));
    m_out.data().insert(QStringLiteral("entries"), array);
    return problems.isEmpty() ? Output::Success : Output::Failure;
}

int Commands::trustChange(const QString& action)
{
    if (!load(false) || !allowed(ActionRules::Action::ChangeTrust))
        return Output::Failure;
    using Folder = TrustStore::Folder;
    const bool remove = action == QLatin1String("remove");
    const Folder from = action == QLatin1String("accept") ? Folder::Rejected : Folder::Trusted;
    const TrustStore store(TrustStore::foldersOf(m_snapshot));
    Problems problems;
    const QList<TrustStore::Entry> all = store.list(&problems);
    for (const Problem& problem : problems)
        m_out.warning(problem);
    QList<TrustStore::Entry> candidates;
    for (const TrustStore::Entry& entry : all) {
        if (remove || entry.folder == from)
            candidates << entry;
    }
    // Every name is resolved before anything moves, so one bad name changes nothing.
    QList<TrustStore::Entry> chosen;
    for (const QString& key : m_line.arguments()) {
        QString error;
        bool badInput = false;
        const TrustStore::Entry* entry = TrustStore::find(candidates, key, &error, &badInput);
        if (!entry && !badInput && !remove) {
            if (const TrustStore::Entry* elsewhere = TrustStore::find(all, key, nullptr))
                error = QStringLiteral("'%1' is in the %2 folder, not in the %3 folder.")
                            .arg(elsewhere->path, TrustStore::folderName(elsewhere->folder),
                                 TrustStore::folderName(from));
        }
        if (!entry)
            return fail(QStringLiteral("Nothing was changed: %1").arg(error), key,
                        badInput ? Output::Usage : Output::Failure);
        const bool twice = std::any_of(chosen.begin(), chosen.end(), [&](const TrustStore::Entry& e) {
            return e.folder == entry->folder && e.fileName == entry->fileName;
        });
        if (!twice)
            chosen << *entry;
    }
    const QString to =
        TrustStore::foldersOf(m_snapshot).path(from == Folder::Rejected ? Folder::Trusted : Folder::Rejected);
    if (m_out.dryRun()) {
        QStringList changes;
        for (const TrustStore::Entry& entry : chosen)
            changes << (remove ? QStringLiteral("remove %1").arg(entry.path)
                               : QStringLiteral("move %1 into %2").arg(entry.path, to));
        return wouldChange(changes);
    }
    if (remove) {
        QStringList paths;
        for (const TrustStore::Entry& entry : chosen)
            paths << entry.path;
        int exitCode;
        if (!confirmed(QStringLiteral("Delete %1?").arg(paths.join(QStringLiteral(", "))) +
                           backupQuestion(paths),
                       exitCode))
            return exitCode;
    }
    const ActionResult result = remove                              ? store.remove(chosen, backup())
                                : action == QLatin1String("accept") ? store.trust(chosen)
                                                                    : store.reject(chosen);
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    for (const Problem& problem : result.warnings)
        m_out.warning(problem);
    m_out.setChanged(result.changed);
    if (remove)
        reportBackups(result);
    QJsonArray array;
    for (const TrustStore::Entry& entry : chosen) {
        const QString target = remove ? QString() : to + QLatin1Char('/') + entry.fileName;
        // What a failure left in place is reported where it is.
        const bool done = !entry.present();
        QJsonObject object{{QStringLiteral("thumbprint"), entry.thumbprint},
                           {QStringLiteral("name"), entry.name},
                           {QStringLiteral("from"), entry.path},
                           {QStringLiteral("done"), done}};
        if (!remove)
            object.insert(QStringLiteral("to"), target);
        array.append(object);
        if (done)
            m_out.line(remove ? QStringLiteral("Removed %1").arg(entry.path)
                              : QStringLiteral("Moved %1").arg(entry.path));
        if (done && !remove)
            m_out.line(QStringLiteral("   to %1").arg(target));
    }
    m_out.data().insert(QStringLiteral("files"), array);
    return result.ok ? Output::Success : Output::Failure;
}

int Commands::trustImport()
{
    const bool issuer = m_line.isSet(QStringLiteral("issuer"));
    const bool trusted = m_line.isSet(QStringLiteral("trusted"));
    if (issuer && trusted)
        return usage(QStringLiteral("--issuer and --trusted exclude each other."));
    if (!load(false) || !allowed(ActionRules::Action::ChangeTrust))
        return Output::Failure;
    const TrustStore store(TrustStore::foldersOf(m_snapshot));
    QStringList written;
    const ActionResult result = store.importFiles(m_line.arguments(),
                                                  issuer    ? TrustStore::Target::Issuers
                                                  : trusted ? TrustStore::Target::Trusted
                                                            : TrustStore::Target::ByContent,
                                                  &written, m_out.dryRun());
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    for (const Problem& problem : result.warnings)
        m_out.warning(problem);
    if (m_out.dryRun()) {
        QStringList changes;
        for (const QString& path : written)
            changes << QStringLiteral("write %1").arg(path);
        const int exitCode = wouldChange(changes);
        return result.ok ? exitCode : int(Output::Failure);
    }
    m_out.setChanged(result.changed);
    for (const QString& path : written)
        m_out.line(QStringLiteral("Imported %1").arg(path));
    m_out.data().insert(QStringLiteral("written"), QJsonArray::fromStringList(written));
    return result.ok ? Output::Success : Output::Failure;
}

namespace {

QJsonObject backupJson(const Backup::Record& record)
{
    QJsonArray items;
    for (const Backup::Item& item : record.items)
        items.append(
            QJsonObject{{QStringLiteral("place"), item.place},
                        {QStringLiteral("type"), item.type},
                        {QStringLiteral("mode"), QStringLiteral("%1").arg(item.mode, 4, 8, QLatin1Char('0'))},
                        {QStringLiteral("uid"), double(item.uid)},
                        {QStringLiteral("gid"), double(item.gid)},
                        {QStringLiteral("inBackup"), !record.missing.contains(item.place)}});
    return QJsonObject{{QStringLiteral("id"), record.id},
                       {QStringLiteral("when"), record.when.toString(Qt::ISODate)},
                       {QStringLiteral("kind"), record.kind},
                       {QStringLiteral("items"), items}};
}

} // namespace

int Commands::backupList()
{
    if (!load(false))
        return Output::Failure;
    Problems problems;
    const QList<Backup::Record> records = SecurityActions(m_snapshot).listBackups(&problems);
    for (const Problem& problem : problems)
        m_out.warning(problem);
    QJsonArray array;
    for (const Backup::Record& record : records) {
        array.append(backupJson(record));
        m_out.line(
            QStringLiteral("%1  %2  %3")
                .arg(record.id, record.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), record.kind));
        for (const Backup::Item& item : record.items)
            m_out.line(QStringLiteral("  %1 %2 %3:%4 %5%6")
                           .arg(item.type, -6)
                           .arg(item.mode, 4, 8, QLatin1Char('0'))
                           .arg(item.uid)
                           .arg(item.gid)
                           .arg(item.place, record.missing.contains(item.place)
                                                ? QStringLiteral(" (no longer in the backup)")
                                                : QString()));
    }
    if (records.isEmpty())
        m_out.line(QStringLiteral("No backups."));
    m_out.data().insert(QStringLiteral("backups"), array);
    return Output::Success;
}

namespace {

const Backup::Record* recordOf(const QList<Backup::Record>& records, const QString& id)
{
    for (const Backup::Record& record : records)
        if (record.id == id)
            return &record;
    return nullptr;
}

} // namespace

int Commands::backupRestore()
{
    const QString id = m_line.arguments().at(0);
    if (!load(false))
        return Output::Failure;
    const SecurityActions actions(m_snapshot);
    const QList<Backup::Record> records = actions.listBackups();
    const Backup::Record* record = recordOf(records, id);
    if (!record)
        return fail(QStringLiteral("There is no backup '%1'; see moxsec backup list.").arg(id));
    m_out.data().insert(QStringLiteral("backup"), backupJson(*record));
    const bool replace = m_line.isSet(QStringLiteral("yes"));
    if (m_out.dryRun()) {
        QStringList changes, taken;
        for (const Backup::Item& item : record->items) {
            if (QFileInfo::exists(item.place) || QFileInfo(item.place).isSymLink()) {
                taken << item.place;
                changes << QStringLiteral("move %1 into a backup").arg(item.place);
            }
            changes << QStringLiteral("restore %1").arg(item.place);
        }
        if (!taken.isEmpty() && !replace)
            return fail(
                QStringLiteral("Nothing would be restored: a name the backup would take is in use. Give "
                               "--yes to move what is there into a backup first."),
                taken.join(QStringLiteral(", ")));
        return wouldChange(changes);
    }
    const ActionResult result = actions.restoreBackup(id, replace);
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    reportBackups(result);
    if (!result.ok) {
        const bool taken = std::any_of(record->items.begin(), record->items.end(), [](const Backup::Item& i) {
            return QFileInfo::exists(i.place) || QFileInfo(i.place).isSymLink();
        });
        if (taken && !replace)
            m_out.error(Problem{QStringLiteral("Give --yes to move what is there into a backup first."), {}});
        return Output::Failure;
    }
    for (const Backup::Item& item : record->items)
        m_out.line(QStringLiteral("Restored %1").arg(item.place));
    return Output::Success;
}

int Commands::backupDelete()
{
    const QString id = m_line.arguments().at(0);
    if (!load(false))
        return Output::Failure;
    const SecurityActions actions(m_snapshot);
    const QList<Backup::Record> records = actions.listBackups();
    const Backup::Record* record = recordOf(records, id);
    if (!record)
        return fail(QStringLiteral("There is no backup '%1'; see moxsec backup list.").arg(id));
    m_out.data().insert(QStringLiteral("backup"), backupJson(*record));
    if (m_out.dryRun())
        return wouldChange({QStringLiteral("delete the backup %1 for good").arg(id)});
    int exitCode;
    if (!confirmed(QStringLiteral("Delete the backup %1 (%2) for good?").arg(id, record->kind), exitCode))
        return exitCode;
    const ActionResult result = actions.deleteBackup(id);
    for (const Problem& problem : result.problems)
        m_out.error(problem);
    m_out.setChanged(result.changed);
    if (!result.ok)
        return Output::Failure;
    m_out.line(QStringLiteral("Deleted the backup %1").arg(id));
    return Output::Success;
}
