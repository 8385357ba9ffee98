#include "core/usersService.h"

#include <algorithm>

using namespace Mox::Ini;

namespace {
std::string bytesOf(const QString& text)
{
    return text.toUtf8().toStdString();
}
} // namespace

QString UsersService::requiredError(const QString& value)
{
    return value.isEmpty() ? tr("This field is required.") : QString();
}

QString UsersService::lengthError(const QString& value, int minimum, int maximum)
{
    if (value.size() < minimum || value.size() > maximum)
        return tr("This field has to have between %1 and %2 characters.").arg(minimum).arg(maximum);
    return QString();
}

QString UsersService::nameError(const QString& name)
{
    QString reason = requiredError(name);
    if (reason.isEmpty())
        reason = lengthError(name, s_minName, s_maxName);
    if (reason.isEmpty())
        reason = characterError(name);
    return reason;
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

UsersService::UsersService(IniAuth* store) : m_store(store) {}

AuthRoleCode UsersService::list(std::vector<User>& users) const
{
    users.clear();
    return m_store ? m_store->getListOfUsers(users) : eAuthRoleCode_BadUnknownError;
}

AuthRoleCode UsersService::add(const QString& name, const QString& password, AuthRole role) const
{
    if (!m_store)
        return eAuthRoleCode_BadUnknownError;
    return m_store->addUser(bytesOf(name), bytesOf(password), role);
}

AuthRoleCode UsersService::edit(const User& oldUser, const QString& newName, AuthRole role,
                                const QString& password) const
{
    if (!m_store)
        return eAuthRoleCode_BadUnknownError;
    const std::string secret = bytesOf(password);
    return m_store->updateUser(oldUser.m_name, bytesOf(newName), role,
                               password.isEmpty() ? nullptr : &secret);
}

AuthRoleCode UsersService::remove(const QString& name) const
{
    if (!m_store)
        return eAuthRoleCode_BadUnknownError;
    return m_store->removeUser(bytesOf(name));
}

bool UsersService::leavesNoAdmin(const std::vector<User>& users, const std::string& name, AuthRole newRole)
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

bool UsersService::leavesNoAdmin(const QString& name, AuthRole newRole) const
{
    std::vector<User> users;
    return IniAuth::isGood(list(users)) && leavesNoAdmin(users, bytesOf(name), newRole);
}

QString UsersService::lastAdminWarning(const QString& name)
{
    return tr("%1 is the last Admin: without an Admin no one will be able to administer the server.").arg(name);
}

AuthRole UsersService::check(const QString& name, const QString& password) const
{
    return m_store ? m_store->getRole(bytesOf(name), bytesOf(password)) : eAuthRole_None;
}

UsersService::EnsureResult UsersService::ensure(const QString& name, AuthRole role,
                                                const QString* password) const
{
    EnsureResult result;
    std::vector<User> users;
    result.code = list(users);
    if (IniAuth::isBad(result.code))
        return result;
    const std::string key = bytesOf(name);
    const auto found =
        std::find_if(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; });
    if (found == users.end()) {
        result.code = password ? add(name, *password, role) : eAuthRoleCode_BadUserDoesNotExist;
        result.changed = IniAuth::isGood(result.code);
        return result;
    }
    // Only a password that no longer logs in is written again: a new hash of the same password would
    // change the file for nothing.
    const bool newPassword = password && check(name, *password) == eAuthRole_None;
    if (found->m_role == role && !newPassword)
        return result;
    result.code = edit(*found, name, role, newPassword ? *password : QString());
    result.changed = IniAuth::isGood(result.code);
    return result;
}

UsersService::EnsureResult UsersService::ensureAbsent(const QString& name) const
{
    EnsureResult result;
    std::vector<User> users;
    result.code = list(users);
    if (IniAuth::isBad(result.code))
        return result;
    const std::string key = bytesOf(name);
    if (std::none_of(users.begin(), users.end(), [&](const User& user) { return user.m_name == key; }))
        return result;
    result.code = remove(name);
    result.changed = IniAuth::isGood(result.code);
    return result;
}
