// moxsec folders and auth: create or delete the client-certificate folders and the users file.
#pragma once

#include "usersCommands.h"

// Reports where the client-certificate folders stand after a change.
class FoldersCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    int executeWithInstallation() override;
    // The changes --dry-run names; kept is set when the folder guard would keep one.
    virtual QStringList plannedChanges(bool& kept) = 0;
    // Changes the folders; false with the exit status in exitCode when nothing was tried.
    virtual bool change(ActionResult& result, int& exitCode) = 0;
};

class FoldersCreateCommand : public FoldersCommand
{
public:
    FoldersCreateCommand();

protected:
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::CreateFolders; }
    QStringList plannedChanges(bool& kept) override;
    bool change(ActionResult& result, int& exitCode) override;
};

class FoldersDeleteCommand : public FoldersCommand
{
public:
    FoldersDeleteCommand();

protected:
    std::optional<ActionRules::Action> action() const override { return ActionRules::Action::DeleteFolders; }
    QStringList plannedChanges(bool& kept) override;
    bool change(ActionResult& result, int& exitCode) override;
};

// Creates or deletes the users file as a whole.
class AuthCommand : public UsersFileCommand
{
public:
    using UsersFileCommand::UsersFileCommand;

protected:
    int executeWithUsersFile(const PathState& file) override;
    // The change --dry-run names; empty when there is none.
    virtual QString plannedChange(const PathState& file) const = 0;
    // Changes the file; false with the exit status in exitCode when nothing was tried.
    virtual bool change(const PathState& file, ActionResult& result, int& exitCode) = 0;
    virtual QString doneText() const = 0;
};

class AuthCreateCommand : public AuthCommand
{
public:
    AuthCreateCommand();

protected:
    std::optional<ActionRules::Action> action() const override
    {
        return ActionRules::Action::CreateUsersFile;
    }
    QString plannedChange(const PathState& file) const override;
    bool change(const PathState& file, ActionResult& result, int& exitCode) override;
    QString doneText() const override { return QStringLiteral("Created %1"); }
};

class AuthDeleteCommand : public AuthCommand
{
public:
    AuthDeleteCommand();

protected:
    std::optional<ActionRules::Action> action() const override
    {
        return ActionRules::Action::DeleteUsersFile;
    }
    QString plannedChange(const PathState& file) const override;
    bool change(const PathState& file, ActionResult& result, int& exitCode) override;
    QString doneText() const override { return QStringLiteral("Deleted %1"); }
};
