#include "core/usersService.h"

#include "core/auditScope.h"

#include <QFile>

#include <algorithm>

using namespace Mox::Ini;

namespace {
std::string bytesOf(const QString& text)
{
    return text.toUtf8().toStdString();
}

bool changedBy(const UsersService::Result& result)
{
    return result.ok();
}

bool changedBy(const UsersService::EnsureResult& result)
{
    return result.changed;
}

// Runs a change of the users file as one recorded change; a log that cannot be written is a warning.
template <typename R, typename Body> R audited(const AuditTrail::Event& event, Body body)
{
    AuditScope scope(event);
    R result = body();
    if (const Problem warning = scope.finish(result.ok(), changedBy(result), result.reason);
        !warning.message.isEmpty())
        result.warnings << warning;
    return result;
}

bool isAscii(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// True when name is the only Admin and would no longer be one.
bool leavesNoAdmin(const std::vector<User>& users, const std::string& name, AuthRole newRole)
{
    if (newRole == eAuthRole_Admin)
        return false;
    bool isAdmin = false;
    int admins = 0;
    for (const User& user : users) {
        if (user.m_role != eAuthRole_Admin)
            continue;
        ++admins;
        isAdmin = isAdmin || user.m_name == name;
    }
    return isAdmin && admins == 1;
}
// Another user whose name differs from name only in case: two such accounts are more likely a typing
// slip than meant, and a client that folds case would log in as either. except is the user being renamed.
const User* caseTwin(const std::vector<User>& users, const QString& name, const std::string* except)
{
    for (const User& user : users) {
        if (except && user.m_name == *except)
            continue;
        const QString other = QString::fromStdString(user.m_name);
        if (other != name && other.compare(name, Qt::CaseInsensitive) == 0)
            return &user;
    }
    return nullptr;
}
} // namespace

QString UsersService::requiredError(const QString& value)
{
    return value.isEmpty() ? tr("This field is required.") : QString();
}

QString UsersService::lengthError(const QString& value, int minimum, int maximum)
{
    // The users file refuses by bytes; counting characters here let through what a later edit refused.
    const int size = value.toUtf8().size();
    if (size >= minimum && size <= maximum)
        return QString();
    if (isAscii(value))
        return tr("This field has to have between %1 and %2 characters.").arg(minimum).arg(maximum);
    return tr("This field has to have between %1 and %2 bytes; each non-ASCII character takes 2 to 4 bytes.")
        .arg(minimum)
        .arg(maximum);
}

QString UsersService::nameError(const QString& name)
{
    QString reason = requiredError(name);
    if (reason.isEmpty())
        reason = lengthError(name, s_minName, s_maxName);
    if (reason.isEmpty())
        reason = characterError(name);
    if (reason.isEmpty())
        reason = blankError(name);
    return reason;
}

QString UsersService::blankError(const QString& name)
{
    if (!name.isEmpty() && (name.front().isSpace() || name.back().isSpace()))
        return tr("A name cannot start or end with a blank.");
    return QString();
}

QString UsersService::characterError(const QString& name)
{
    // A name is a key of the users file: "=" would end it early, a line break or NUL would break the line,
    // and a leading ";" would turn the line into a comment.
    if (name.contains(QLatin1Char('=')) || name.contains(QLatin1Char('\r')) ||
        name.contains(QLatin1Char('\n')) || name.contains(QChar(0)) || name.startsWith(QLatin1Char(';')))
        return tr("The name cannot contain \"=\", a line break or a NUL, or begin with \";\".");
    return QString();
}

QString UsersService::passwordError(const QString& password)
{
    QString reason = requiredError(password);
    if (reason.isEmpty())
        reason = lengthError(password, s_minPassword, s_maxPassword);
    return reason;
}

bool UsersService::isNewName(const User* oldUser, const QString& newName)
{
    return !oldUser || bytesOf(newName) != oldUser->m_name;
}

QString UsersService::renameNeedsPasswordError()
{
    return tr("A new name needs a new password: the stored one is bound to the name.");
}

AuthRole UsersService::roleFromName(const QString& name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("admin"))
        return eAuthRole_Admin;
    if (lower == QLatin1String("operator"))
        return eAuthRole_Operator;
    if (lower == QLatin1String("guest"))
        return eAuthRole_Guest;
    return eAuthRole_None;
}

QString UsersService::roleName(AuthRole role)
{
    switch (role) {
    case eAuthRole_Admin:
        return QStringLiteral("Admin");
    case eAuthRole_Operator:
        return QStringLiteral("Operator");
    case eAuthRole_Guest:
        return QStringLiteral("Guest");
    default:
        return QString();
    }
}

QString UsersService::codeMessage(AuthRoleCode code)
{
    return QString::fromStdString(IniAuth::getCodeMessage(code));
}

UsersService::Result UsersService::refused(AuthRoleCode code, const QString& reason)
{
    Result result;
    result.code = code;
    result.reason = reason;
    return result;
}

UsersService::Result UsersService::stored(AuthRoleCode code)
{
    return refused(code, IniAuth::isGood(code) ? QString() : codeMessage(code));
}

UsersService::Result UsersService::nameRefused(const QString& name)
{
    const QString reason = nameError(name);
    if (reason.isEmpty())
        return Result();
    const bool storable = characterError(name).isEmpty() && blankError(name).isEmpty();
    return refused(storable ? eAuthRoleCode_BadUsernameWrongLength : eAuthRoleCode_BadInvalidUsername,
                   reason);
}

UsersService::Result UsersService::caseTwinRefused(const QString& name, const std::string* except) const
{
    std::vector<User> users;
    if (const AuthRoleCode code = list(users); IniAuth::isBad(code))
        return stored(code);
    const User* twin = caseTwin(users, name, except);
    if (!twin)
        return Result();
    return refused(eAuthRoleCode_BadAlreadyExist,
                   tr("The user %1 exists, and a name that differs only in case is likely a mistake.")
                       .arg(QString::fromStdString(twin->m_name)));
}

QString UsersService::missingAdminNotice(const std::vector<User>& users)
{
    if (std::any_of(users.begin(), users.end(),
                    [](const User& user) { return user.m_role == eAuthRole_Admin; }))
        return QString();
    return tr("No user has the role Admin, so no one can administer the server: give a user the role Admin.");
}

UsersService::UsersService(IniAuth* store) : m_store(store) {}

AuthRoleCode UsersService::list(std::vector<User>& users) const
{
    users.clear();
    return m_store ? m_store->getListOfUsers(users) : eAuthRoleCode_BadUnknownError;
}

UsersService::Result UsersService::addNow(const QString& name, const QString& password, AuthRole role) const
{
    if (const Result named = nameRefused(name); !named.ok())
        return named;
    if (QString reason = passwordError(password); !reason.isEmpty())
        return refused(eAuthRoleCode_BadPasswordWrongLength, reason);
    if (!m_store)
        return stored(eAuthRoleCode_BadUnknownError);
    if (const Result twin = caseTwinRefused(name, nullptr); !twin.ok())
        return twin;
    return stored(m_store->addUser(bytesOf(name), bytesOf(password), role));
}

UsersService::Result UsersService::editNow(const User& oldUser, const QString& newName, AuthRole role,
                                           const QString& password) const
{
    // An unchanged name is not checked again, so that users the file already holds stay editable.
    if (isNewName(&oldUser, newName)) {
        if (const Result named = nameRefused(newName); !named.ok())
            return named;
        // The hash is salted with the name: kept under a new one, it would log no one in.
        if (password.isEmpty())
            return refused(eAuthRoleCode_BadPasswordWrongLength, renameNeedsPasswordError());
    }
    if (!password.isEmpty()) {
        if (QString reason = passwordError(password); !reason.isEmpty())
            return refused(eAuthRoleCode_BadPasswordWrongLength, reason);
    }
    if (!m_store)
        return stored(eAuthRoleCode_BadUnknownError);
    if (isNewName(&oldUser, newName)) {
        if (const Result twin = caseTwinRefused(newName, &oldUser.m_name); !twin.ok())
            return twin;
    }
    const std::string secret = bytesOf(password);
    return stored(
        m_store->updateUser(oldUser.m_name, bytesOf(newName), role, password.isEmpty() ? nullptr : &secret));
}

UsersService::Result UsersService::remove(const QString& name) const
{
    return remove(User(bytesOf(name), eAuthRole_None));
}

UsersService::Result UsersService::removeNow(const User& user) const
{
    if (!m_store)
        return stored(eAuthRoleCode_BadUnknownError);
    return stored(m_store->removeUser(user.m_name));
}

QString UsersService::lastAdminGuard(const QString& name, AuthRole newRole) const
{
    return lastAdminGuard(User(bytesOf(name), eAuthRole_None), newRole);
}

QString UsersService::lastAdminGuard(const User& user, AuthRole newRole) const
{
    std::vector<User> users;
    if (IniAuth::isBad(list(users)) || !leavesNoAdmin(users, user.m_name, newRole))
        return QString();
    return tr("%1 is the last Admin: without an Admin no one will be able to administer the server.")
        .arg(QString::fromStdString(user.m_name));
}

AuthRole UsersService::check(const QString& name, const QString& password) const
{
    return m_store ? m_store->getRole(bytesOf(name), bytesOf(password)) : eAuthRole_None;
}

UsersService::EnsureResult UsersService::ensureNow(const QString& name, AuthRole role,
                                                   const QString* password) const
{
    EnsureResult result;
    std::vector<User> users;
    if (const AuthRoleCode code = list(users); IniAuth::isBad(code)) {
        static_cast<Result&>(result) = stored(code);
        return result;
    }
    const std::string key = bytesOf(name);
    const auto found =
        std::find_if(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; });
    if (found == users.end()) {
        static_cast<Result&>(result) =
            password ? add(name, *password, role) : stored(eAuthRoleCode_BadUserDoesNotExist);
        result.changed = result.ok();
        return result;
    }
    // Only a password that no longer logs in is written again: a new hash of the same password would
    // change the file for nothing.
    const bool newPassword = password && check(name, *password) == eAuthRole_None;
    if (found->m_role == role && !newPassword)
        return result;
    static_cast<Result&>(result) = edit(*found, name, role, newPassword ? *password : QString());
    result.changed = result.ok();
    return result;
}

UsersService::EnsureResult UsersService::ensureAbsentNow(const QString& name) const
{
    EnsureResult result;
    std::vector<User> users;
    if (const AuthRoleCode code = list(users); IniAuth::isBad(code)) {
        static_cast<Result&>(result) = stored(code);
        return result;
    }
    const std::string key = bytesOf(name);
    if (std::none_of(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; }))
        return result;
    static_cast<Result&>(result) = remove(name);
    result.changed = result.ok();
    return result;
}

// What the front ends call: each is one recorded change. Passwords and hashes never go into the record.

UsersService::Result UsersService::add(const QString& name, const QString& password, AuthRole role) const
{
    return audited<Result>(eventOf("users add", name), [&] { return addNow(name, password, role); });
}

UsersService::Result UsersService::edit(const User& oldUser, const QString& newName, AuthRole role,
                                        const QString& password) const
{
    const QString oldName = QString::fromUtf8(oldUser.m_name.c_str());
    return audited<Result>(
        eventOf("users edit", oldName == newName ? newName : oldName + QStringLiteral(" -> ") + newName),
        [&] { return editNow(oldUser, newName, role, password); });
}

UsersService::Result UsersService::remove(const User& user) const
{
    return audited<Result>(eventOf("users remove", QString::fromUtf8(user.m_name.c_str())),
                           [&] { return removeNow(user); });
}

UsersService::EnsureResult UsersService::ensure(const QString& name, AuthRole role,
                                                const QString* password) const
{
    return audited<EnsureResult>(eventOf("users ensure", name),
                                 [&] { return ensureNow(name, role, password); });
}

UsersService::EnsureResult UsersService::ensureAbsent(const QString& name) const
{
    return audited<EnsureResult>(eventOf("users ensure", name), [&] { return ensureAbsentNow(name); });
}

AuditTrail::Event UsersService::eventOf(const char* action, const QString& name) const
{
    return {QLatin1String(action),
            {m_store ? QFile::decodeName(m_store->getFilename().c_str()) : QString()},
            name};
}
