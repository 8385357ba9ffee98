#include "commandTable.h"

#include "backupCommands.h"
#include "certCommands.h"
#include "configCommands.h"
#include "csrCommand.h"
#include "folderCommands.h"
#include "installCommand.h"
#include "logCommand.h"
#include "renewCommand.h"
#include "statusCommand.h"
#include "trustCommands.h"
#include "usersCommands.h"

namespace {

template <typename... Commands> std::vector<std::unique_ptr<Command>> table()
{
    std::vector<std::unique_ptr<Command>> commands;
    (commands.push_back(std::make_unique<Commands>()), ...);
    return commands;
}

} // namespace

std::vector<std::unique_ptr<Command>> commandTable()
{
    return table<StatusCommand, UsersListCommand, UsersAddCommand, UsersPasswdCommand, UsersRenameCommand,
                 UsersRoleCommand, UsersRemoveCommand, UsersCheckCommand, UsersEnsureCommand,
                 CertGenerateCommand, CertEnsureCommand, CertDeleteCommand, CertShowCommand, CertRenewCommand,
                 CertCsrCommand, CertInstallCommand, ConfigSetUriCommand, ConfigSetPassphraseCommand,
                 FoldersCreateCommand, FoldersDeleteCommand, TrustListCommand, TrustAcceptCommand,
                 TrustRejectCommand, TrustRemoveCommand, TrustImportCommand, TrustCrlCreateCommand,
                 BackupListCommand, BackupRestoreCommand, BackupDeleteCommand, AuthCreateCommand,
                 AuthDeleteCommand, LogCommand>();
}
