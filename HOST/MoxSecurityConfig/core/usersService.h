// The OPC UA server's users for every front end: the rules for names and passwords, and edits that land
// whole or not at all.
#pragma once

#include "IniAuth.h"

#include <QCoreApplication>
#include <QString>

#include <vector>

class UsersService
{
    Q_DECLARE_TR_FUNCTIONS(UsersService)

public:
    static const int s_minName = 2, s_maxName = 20;
    static const int s_minPassword = 5, s_maxPassword = 30;

    // Reasons, empty when the value is fine (the user dialog's texts).
    static QString requiredError(const QString& value);
    static QString lengthError(const QString& value, int minimum, int maximum);
    // Characters the file cannot hold in a name.
    static QString characterError(const QString& name);
    // Required, 2 to 20 characters, and storable in the file.
    static QString nameError(const QString& name);
    // Required and 5 to 30 characters.
    static QString passwordError(const QString& password);

    // "admin", "operator", "guest" (any case) or the display names; eAuthRole_None for anything else.
    static Mox::Ini::AuthRole roleFromName(const QString& name);
    // "Admin", "Operator", "Guest"; empty for any other role.
    static QString roleName(Mox::Ini::AuthRole role);
    static QString codeMessage(Mox::Ini::AuthRoleCode code);

    explicit UsersService(Mox::Ini::IniAuth* store);

    Mox::Ini::AuthRoleCode list(std::vector<Mox::Ini::User>& users) const;
    Mox::Ini::AuthRoleCode add(const QString& name, const QString& password, Mox::Ini::AuthRole role) const;
    // Role, name and password in one save; an empty password keeps the stored one. On failure the file is
    // byte for byte as before.
    Mox::Ini::AuthRoleCode edit(const Mox::Ini::User& oldUser, const QString& newName,
                                Mox::Ini::AuthRole role, const QString& password) const;
    Mox::Ini::AuthRoleCode remove(const QString& name) const;
    struct EnsureResult
    {
        Mox::Ini::AuthRoleCode code = Mox::Ini::eAuthRoleCode_Good;
        bool changed = false;
    };
    // Brings the user to the role and, when password is not null, to a password that logs in: creates the
    // user (a new user needs a password), changes only what differs, and saves nothing when nothing does.
    EnsureResult ensure(const QString& name, Mox::Ini::AuthRole role, const QString* password) const;
    // Removes the user when present; an absent user changes nothing.
    EnsureResult ensureAbsent(const QString& name) const;

    // True when name is the only Admin and would no longer be one (newRole is not Admin, or eAuthRole_None
    // for a removal): no one could administer the server afterwards.
    bool leavesNoAdmin(const QString& name, Mox::Ini::AuthRole newRole) const;
    static bool leavesNoAdmin(const std::vector<Mox::Ini::User>& users, const std::string& name,
                              Mox::Ini::AuthRole newRole);
    static QString lastAdminWarning(const QString& name);

    // The user's role when the password logs in, else eAuthRole_None.
    Mox::Ini::AuthRole check(const QString& name, const QString& password) const;

private:
    Mox::Ini::IniAuth* m_store;
};
