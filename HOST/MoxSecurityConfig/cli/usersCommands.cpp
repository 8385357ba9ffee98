#include "usersCommands.h"

#include "commandLine.h"
#include "output.h"
#include "terminal.h"

#include <algorithm>
#include <limits>
#include <string_view>

using namespace Mox::Ini;

namespace {
// UTF-8 takes at most four bytes a character.
const int s_passwordBytes = 4 * UsersService::s_maxPassword;
const std::string_view s_nameKey = "{\"name\":";

// The users as JSON objects, each ending in a comma, after a "[". Ten thousand users must list about as fast
// as the file reads, so nothing is built that is not printed: with every name plain (the common case) the
// array is sized once and filled by copies.
QByteArray usersJson(const std::vector<User>& users, const QByteArray (&roleJson)[eAuthRole_Last + 1])
{
    const auto tailOf = [&](AuthRole r) -> const QByteArray& {
        return roleJson[r >= eAuthRole_Admin && r < eAuthRole_Last ? r : eAuthRole_Last];
    };
    size_t size = 1;
    bool plain = true;
    for (const User& user : users) {
        plain = plain && Output::needsNoEscape(user.m_name.data(), int(user.m_name.size()));
        size += s_nameKey.size() + user.m_name.size() + 2 + size_t(tailOf(user.m_role).size());
    }
    QByteArray array = "[";
    if (plain && size < size_t(std::numeric_limits<int>::max())) {
        array.resize(int(size));
        char* to = array.data() + 1;
        for (const User& user : users) {
            const QByteArray& tail = tailOf(user.m_role);
            to = std::copy(s_nameKey.begin(), s_nameKey.end(), to);
            *to++ = '"';
            to = std::copy(user.m_name.begin(), user.m_name.end(), to);
            *to++ = '"';
            to = std::copy(tail.begin(), tail.end(), to);
        }
        return array;
    }
    for (const User& user : users) {
        array.append(s_nameKey.data(), int(s_nameKey.size()));
        Output::appendJsonString(array, user.m_name.data(), int(user.m_name.size()));
        array += tailOf(user.m_role);
    }
    return array;
}
} // namespace

UsersCommand::~UsersCommand() = default;

QString UsersCommand::passwordNote()
{
    return QStringLiteral(
        "Passwords are read from standard input with --password-stdin (one line, the line end dropped), or "
        "prompted for without echo on a terminal; never from the command line. A line longer than a "
        "password may be is refused while it is read.");
}

QString UsersCommand::roleWord(AuthRole role)
{
    return UsersService::roleName(role).toLower();
}

QStringList UsersFileCommand::concernedPaths(const ConfigSnapshot& snapshot) const
{
    return {snapshot.usersFile.path};
}

int UsersFileCommand::executeWithInstallation()
{
    const PathState& file = m_snapshot.usersFile;
    m_out->data().insert(QStringLiteral("usersFile"), file.path);
    if (!file.configured)
        return fail(QStringLiteral("The OPC UA config names no users file (CREDENTIALS_INI_PATH)."),
                    m_snapshot.configPath);
    return executeWithUsersFile(file);
}

int UsersCommand::executeWithUsersFile(const PathState& file)
{
    if (!file.exists)
        return fail(QStringLiteral("The users file does not exist (moxsec auth create makes it)."), file.path,
                    Output::Failure);
    m_store = m_snapshot.takeUsersStore();
    if (!m_store) {
        for (const Problem& problem : m_snapshot.errors)
            m_out->error(problem);
        return Output::Failure;
    }
    m_users = std::make_unique<UsersService>(m_store.get());
    return executeWithUsers();
}

AuthRole UsersCommand::roleOf(const QString& name) const
{
    std::vector<User> users;
    m_users->list(users);
    const std::string key = name.toUtf8().toStdString();
    const auto found =
        std::find_if(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; });
    return found == users.end() ? eAuthRole_None : found->m_role;
}

bool UsersCommand::readPassword(const QString& prompt, bool confirm, QString& password, int& exitCode)
{
    QString error;
    const Terminal::Read read = Terminal::readSecret(
        m_line->isSet(s_passwordStdin), QStringLiteral("--") + s_passwordStdin.names().constLast(), prompt,
        confirm, password, &error, s_passwordBytes,
        QStringLiteral("Password refused: the line is longer than a password may be (at most %1 characters).")
            .arg(UsersService::s_maxPassword));
    if (read == Terminal::Read::Ok)
        return true;
    exitCode = fail(error, QString(), read == Terminal::Read::Failed ? Output::Failure : Output::Usage);
    return false;
}

bool UsersCommand::newPassword(QString& password, int& exitCode)
{
    if (!readPassword(QStringLiteral("New password"), true, password, exitCode))
        return false;
    const QString reason = UsersService::passwordError(password);
    if (!reason.isEmpty()) {
        exitCode = usage(QStringLiteral("Password refused: %1").arg(reason));
        return false;
    }
    return true;
}

bool UsersCommand::lastAdminAllowed(const QString& name, AuthRole newRole)
{
    const QString guard = m_users->lastAdminGuard(name, newRole);
    if (guard.isEmpty() || m_line->isSet(s_force))
        return true;
    fail(guard, QStringLiteral("Give --force to go ahead all the same."));
    return false;
}

int UsersCommand::authFailure(AuthRoleCode code, const QString& name)
{
    return fail(UsersService::codeMessage(code), name);
}

bool UsersCommand::nameAccepted(const QString& name, int& exitCode)
{
    const QString reason = UsersService::nameError(name);
    if (reason.isEmpty())
        return true;
    exitCode = usage(QStringLiteral("Name '%1' refused: %2").arg(name, reason));
    return false;
}

bool UsersCommand::parseRole(const QString& text, AuthRole& role, int& exitCode)
{
    role = UsersService::roleFromName(text);
    if (role != eAuthRole_None)
        return true;
    exitCode =
        usage(text.isEmpty() ? QStringLiteral("A role is required: --role admin, operator or guest.")
                             : QStringLiteral("Unknown role '%1': admin, operator or guest.").arg(text));
    return false;
}

void UsersCommand::reportUser(const QString& name, AuthRole role)
{
    m_out->data().insert(QStringLiteral("user"), name);
    if (role != eAuthRole_None)
        m_out->data().insert(QStringLiteral("role"), roleWord(role));
}

UsersListCommand::UsersListCommand()
    : UsersCommand("users list", "", 0, 0, {}, "Lists the OPC UA users and their roles.")
{}

int UsersListCommand::executeWithUsers()
{
    std::vector<User> users;
    const AuthRoleCode code = m_users->list(users);
    if (IniAuth::isBad(code))
        return authFailure(code, m_snapshot.usersFile.path);
    // The JSON is written directly: a QJsonObject per user costs more than reading the file.
    const QString roles[] = {roleWord(eAuthRole_Admin), roleWord(eAuthRole_Operator),
                             roleWord(eAuthRole_Guest)};
    auto role = [&](AuthRole r) { return r >= eAuthRole_Admin && r < eAuthRole_Last ? roles[r] : QString(); };
    QByteArray roleJson[eAuthRole_Last + 1];
    for (int r = eAuthRole_Admin; r <= eAuthRole_Last; ++r)
        roleJson[r] = ",\"role\":" + Output::jsonString(role(AuthRole(r))) + "},";
    QByteArray array = "[";
    if (m_out->json())
        array = usersJson(users, roleJson);
    else
        for (const User& user : users)
            m_out->line(QString::fromStdString(user.m_name).leftJustified(20) + QLatin1Char(' ') +
                        role(user.m_role));
    // Each member ends in a comma; the last one's closes the array.
    if (array.endsWith(','))
        array[array.size() - 1] = ']';
    else
        array += ']';
    m_out->setRawData(QStringLiteral("users"), array);
    // Users after a section that is no role are not listed: the listing is incomplete.
    bool complete = true;
    for (const Problem& problem : m_snapshot.errors) {
        if (problem.concern == Problem::Concern::UsersSection) {
            m_out->error(problem);
            complete = false;
        }
    }
    return complete ? Output::Success : Output::Failure;
}

UsersCheckCommand::UsersCheckCommand()
    : UsersCommand("users check", "NAME", 1, 1, {&s_passwordStdin},
                   "Exits 0 when the password logs the user in, 1 otherwise. " + passwordNote())
{}

int UsersCheckCommand::executeWithUsers()
{
    const QString name = argument(0);
    QString password;
    int exitCode;
    if (!readPassword(QStringLiteral("Password"), false, password, exitCode))
        return exitCode;
    const AuthRole role = m_users->check(name, password);
    reportUser(name, role);
    m_out->data().insert(QStringLiteral("valid"), role != eAuthRole_None);
    if (role == eAuthRole_None)
        return fail(QStringLiteral("The password does not log %1 in.").arg(name), QString());
    m_out->line(QStringLiteral("The password logs %1 in (%2).").arg(name, roleWord(role)));
    return Output::Success;
}

UsersAddCommand::UsersAddCommand()
    : UsersCommand("users add", "NAME", 1, 1, {&s_role, &s_passwordStdin},
                   "Adds a user with --role admin, operator or guest. " + passwordNote())
{}

bool UsersAddCommand::checkArguments(int& exitCode)
{
    return nameAccepted(argument(0), exitCode) && parseRole(m_line->value(s_role), m_role, exitCode);
}

int UsersAddCommand::executeWithUsers()
{
    const QString name = argument(0);
    if (roleOf(name) != eAuthRole_None)
        return authFailure(eAuthRoleCode_BadAlreadyExist, name);
    if (const UsersService::Result twin = m_users->caseTwinRefused(name); !twin.ok())
        return fail(twin.reason, name);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("add the user %1 with the role %2").arg(name, roleWord(m_role))});
    const UsersService::Result result = m_users->add(name, password, m_role);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(true);
    reportUser(name, m_role);
    m_out->line(QStringLiteral("Added %1 (%2).").arg(name, roleWord(m_role)));
    return Output::Success;
}

UsersPasswdCommand::UsersPasswdCommand()
    : UsersCommand("users passwd", "NAME", 1, 1, {&s_passwordStdin},
                   "Gives a user a new password. " + passwordNote())
{}

int UsersPasswdCommand::executeWithUsers()
{
    const QString name = argument(0);
    const AuthRole role = roleOf(name);
    if (role == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("change the password of %1").arg(name)});
    const UsersService::Result result =
        m_users->edit(User(name.toUtf8().toStdString(), role), name, role, password);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(true);
    reportUser(name, role);
    m_out->line(QStringLiteral("Changed the password of %1.").arg(name));
    return Output::Success;
}
