// moxsec backup: list, restore and delete the backups that deletions kept.
#pragma once

#include "installationCommand.h"

class BackupListCommand : public InstallationCommand
{
public:
    BackupListCommand();

protected:
    int executeWithInstallation() override;
};

// Acts on the backup the first argument names.
class BackupCommand : public InstallationCommand
{
public:
    using InstallationCommand::InstallationCommand;

protected:
    int executeWithInstallation() final;
    virtual int executeWithBackup(const Backup::Record& record) = 0;
};

class BackupRestoreCommand : public BackupCommand
{
public:
    BackupRestoreCommand();

protected:
    int executeWithBackup(const Backup::Record& record) override;

private:
    int dryRun(const Backup::Record& record);
};

class BackupDeleteCommand : public BackupCommand
{
public:
    BackupDeleteCommand();

protected:
    int executeWithBackup(const Backup::Record& record) override;
};
