// The OPC UA server's users for every front end: the rules for names and passwords, the last-Admin guard,
// case-only twins of names, and edits that land whole or not at all. The window's model and dialog and moxsec
// all go through here.
#pragma once

#include "IniAuth.h"
#include "core/auditTrail.h"

#include <QCoreApplication>
#include <QString>

#include <vector>

class UsersService
{
    Q_DECLARE_TR_FUNCTIONS(UsersService)

public:
    // Counted in bytes of UTF-8, as the users file counts them.
    static const int s_minName = 2, s_maxName = 20;
    static const int s_minPassword = 5, s_maxPassword = 30;

    // What a change did: done, or the store's code and the reason it was refused or failed.
    struct Result
    {
        Mox::Ini::AuthRoleCode code = Mox::Ini::eAuthRoleCode_Good;
        QString reason;    // empty when done
        Problems warnings; // what went wrong beside the change (the change log could not be written)
        bool ok() const { return Mox::Ini::IniAuth::isGood(code); }
    };
    struct EnsureResult : Result
    {
        bool changed = false;
    };

    // Reasons, empty when the value is fine (the user dialog's texts).
    static QString requiredError(const QString& value);
    // Bytes of UTF-8 between minimum and maximum. The reason speaks of characters for ASCII text, where
    // the two are the same, and of bytes otherwise.
    static QString lengthError(const QString& value, int minimum, int maximum);
    // Leading or trailing blanks: clients that trim could never log such a user in. Checked for new names
    // only, so existing users with such names stay editable.
    static QString blankError(const QString& name);
    // Characters the file cannot hold in a name.
    static QString characterError(const QString& name);
    // Required, 2 to 20 bytes, and storable in the file.
    static QString nameError(const QString& name);
    // Required and 5 to 30 bytes.
    static QString passwordError(const QString& password);
    // A new user (oldUser null) or a renamed one: its name is checked in full, and it needs a password,
    // since the stored hash is bound to the name.
    static bool isNewName(const Mox::Ini::User* oldUser, const QString& newName);
    static QString renameNeedsPasswordError();

    // "admin", "operator", "guest" (any case) or the display names; eAuthRole_None for anything else.
    static Mox::Ini::AuthRole roleFromName(const QString& name);
    // "Admin", "Operator", "Guest"; empty for any other role.
    static QString roleName(Mox::Ini::AuthRole role);
    static QString codeMessage(Mox::Ini::AuthRoleCode code);

    // A new name that another user's (not except's) matches but for case, refused as a likely mistake; add
    // and edit check it too.
    Result caseTwinRefused(const QString& name, const std::string* except = nullptr) const;
    // The users tab's notice when none of users is an Admin, naming the role that fixes it; else empty.
    static QString missingAdminNotice(const std::vector<Mox::Ini::User>& users);

    explicit UsersService(Mox::Ini::IniAuth* store);

    Mox::Ini::AuthRoleCode list(std::vector<Mox::Ini::User>& users) const;
    Result add(const QString& name, const QString& password, Mox::Ini::AuthRole role) const;
    // Role, name and password in one save; an empty password keeps the stored one, which a rename cannot.
    // On failure the file is byte for byte as before.
    Result edit(const Mox::Ini::User& oldUser, const QString& newName, Mox::Ini::AuthRole role,
                const QString& password) const;
    Result remove(const QString& name) const;
    // By the name as stored, which need not be valid UTF-8.
    Result remove(const Mox::Ini::User& user) const;
    // Brings the user to the role and, when password is not null, to a password that logs in: creates the
    // user (a new user needs a password), changes only what differs, and saves nothing when nothing does.
    EnsureResult ensure(const QString& name, Mox::Ini::AuthRole role, const QString* password) const;
    // Removes the user when present; an absent user changes nothing.
    EnsureResult ensureAbsent(const QString& name) const;

    // Why giving name newRole (eAuthRole_None: removing it) would leave no Admin, so that no one could
    // administer the server; empty when an Admin stays. The window asks a second yes for it, moxsec wants
    // --force.
    QString lastAdminGuard(const QString& name, Mox::Ini::AuthRole newRole) const;
    QString lastAdminGuard(const Mox::Ini::User& user, Mox::Ini::AuthRole newRole) const;

    // The user's role when the password logs in, else eAuthRole_None.
    Mox::Ini::AuthRole check(const QString& name, const QString& password) const;

private:
    // The changes themselves; the public ones record them in the audit trail.
    Result addNow(const QString& name, const QString& password, Mox::Ini::AuthRole role) const;
    Result editNow(const Mox::Ini::User& oldUser, const QString& newName, Mox::Ini::AuthRole role,
                   const QString& password) const;
    Result removeNow(const Mox::Ini::User& user) const;
    EnsureResult ensureNow(const QString& name, Mox::Ini::AuthRole role, const QString* password) const;
    EnsureResult ensureAbsentNow(const QString& name) const;
    AuditTrail::Event eventOf(const char* action, const QString& name) const;

    static Result refused(Mox::Ini::AuthRoleCode code, const QString& reason);
    static Result stored(Mox::Ini::AuthRoleCode code);
    // A new name's reason, with the store's code for it.
    static Result nameRefused(const QString& name);

    Mox::Ini::IniAuth* m_store;
};
