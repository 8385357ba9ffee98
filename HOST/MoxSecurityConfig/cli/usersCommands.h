// moxsec users: list, add, passwd, rename, role, remove, check and ensure on the OPC UA users file.
#pragma once

#include "installationCommand.h"

#include "core/usersService.h"

#include "IniAuth.h"

#include <memory>

// Works on the users file the OPC UA config names: refuses to go on when it names none.
class UsersFileCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    int executeWithInstallation() final;
    virtual int executeWithUsersFile(const PathState& file) = 0;
    QStringList concernedPaths(const ConfigSnapshot& snapshot) const override;
};

// Opens the users store once the installation is loaded, then runs executeWithUsers.
class UsersCommand : public UsersFileCommand
{
public:
    using UsersFileCommand::UsersFileCommand;
    ~UsersCommand() override;

protected:
    int executeWithUsersFile(const PathState& file) final;
    virtual int executeWithUsers() = 0;
    // Changes are refused as the rule book says; list and check only read.
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::ManageUsers; }

    // The user's role, eAuthRole_None when there is no such user.
    Mox::Ini::AuthRole roleOf(const QString& name) const;
    // A password (--password-stdin or the terminal), refused while it is read once it is longer than any
    // that could be accepted; false with the exit status in exitCode.
    bool readPassword(const QString& prompt, bool confirm, QString& password, int& exitCode);
    // Reads and checks a new password; false with the exit status in exitCode.
    bool newPassword(QString& password, int& exitCode);
    // False, with the reason reported, when the change would leave no Admin and --force is not given.
    bool lastAdminAllowed(const QString& name, Mox::Ini::AuthRole newRole);
    int authFailure(Mox::Ini::AuthRoleCode code, const QString& name);
    // The name as a users command takes it; false with the usage error in exitCode.
    bool nameAccepted(const QString& name, int& exitCode);
    // A role word; false with the usage error in exitCode.
    bool parseRole(const QString& text, Mox::Ini::AuthRole& role, int& exitCode);
    void reportUser(const QString& name, Mox::Ini::AuthRole role);
    static QString roleWord(Mox::Ini::AuthRole role);
    static QString passwordNote();

    std::unique_ptr<Mox::Ini::IniAuth> m_store;
    std::unique_ptr<UsersService> m_users;
};

class UsersListCommand : public UsersCommand
{
public:
    UsersListCommand();

protected:
    std::optional<ActionRules::Action> action() const override { return std::nullopt; }
    int executeWithUsers() override;
};

class UsersAddCommand : public UsersCommand
{
public:
    UsersAddCommand();

protected:
    bool checkArguments(int& exitCode) override;
    int executeWithUsers() override;

private:
    Mox::Ini::AuthRole m_role = Mox::Ini::eAuthRole_None;
};

class UsersPasswdCommand : public UsersCommand
{
public:
    UsersPasswdCommand();

protected:
    int executeWithUsers() override;
};

class UsersRenameCommand : public UsersCommand
{
public:
    UsersRenameCommand();

protected:
    bool checkArguments(int& exitCode) override;
    int executeWithUsers() override;
};

class UsersRoleCommand : public UsersCommand
{
public:
    UsersRoleCommand();

protected:
    bool checkArguments(int& exitCode) override;
    int executeWithUsers() override;

private:
    Mox::Ini::AuthRole m_role = Mox::Ini::eAuthRole_None;
};

class UsersRemoveCommand : public UsersCommand
{
public:
    UsersRemoveCommand();

protected:
    int executeWithUsers() override;
};

class UsersCheckCommand : public UsersCommand
{
public:
    UsersCheckCommand();

protected:
    std::optional<ActionRules::Action> action() const override { return std::nullopt; }
    int executeWithUsers() override;
};

class UsersEnsureCommand : public UsersCommand
{
public:
    UsersEnsureCommand();

protected:
    bool checkArguments(int& exitCode) override;
    int executeWithUsers() override;

private:
    int ensureAbsent(const QString& name);
    // What ensure changes: only what differs, the password only when it does not log in.
    QStringList plannedChanges(const QString& name, const QString* password) const;

    Mox::Ini::AuthRole m_role = Mox::Ini::eAuthRole_None;
};
