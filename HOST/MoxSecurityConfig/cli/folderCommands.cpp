#include "folderCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/folderGuard.h"

#include <QFileInfo>
#include <QJsonArray>

int FoldersCommand::executeWithInstallation()
{
    if (m_out->dryRun()) {
        bool kept = false;
        wouldChange(plannedChanges(kept));
        return kept ? Output::Failure : Output::Success;
    }
    ActionResult result;
    int exitCode;
    if (!change(result, exitCode))
        return exitCode;
    exitCode = report(result);
    QJsonArray array;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->path.isEmpty())
            continue;
        const bool exists = QFileInfo(folder->path).isDir();
        array.append(QJsonObject{{QStringLiteral("path"), folder->path}, {QStringLiteral("exists"), exists}});
        m_out->line(QStringLiteral("%1 %2")
                        .arg(exists ? QStringLiteral("present") : QStringLiteral("missing"), -8)
                        .arg(folder->path));
    }
    m_out->data().insert(QStringLiteral("folders"), array);
    return exitCode;
}

FoldersCreateCommand::FoldersCreateCommand()
    : FoldersCommand("folders create", "", 0, 0, {}, "Creates the missing client-certificate folders.")
{}

QStringList FoldersCreateCommand::plannedChanges(bool&)
{
    QStringList changes;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (!folder->path.isEmpty() && !QFileInfo(folder->path).isDir())
            changes << QStringLiteral("create the folder %1").arg(folder->path);
    }
    return changes;
}

bool FoldersCreateCommand::change(ActionResult& result, int&)
{
    result = SecurityActions(m_snapshot).createClientFolders();
    return true;
}

FoldersDeleteCommand::FoldersDeleteCommand()
    : FoldersCommand("folders delete", "", 0, 0, {&s_yes, &s_noBackup},
                     "Deletes the client-certificate folders. " + backupNote())
{}

QStringList FoldersDeleteCommand::plannedChanges(bool& kept)
{
    // The guard's own checks, so a folder it would keep is reported as the real run reports it.
    const FolderGuard guard(m_snapshot.protectedPaths());
    QStringList changes;
    for (const PathState* folder : m_snapshot.clientFolders()) {
        if (folder->path.isEmpty() || !QFileInfo(folder->path).isDir())
            continue;
        const QString reason = guard.keepReason(folder->path);
        if (!reason.isEmpty()) {
            kept = true;
            m_out->error(Problem{reason, folder->path});
            continue;
        }
        changes << (backup() ? QStringLiteral("move the folder %1 into a backup")
                             : QStringLiteral("delete the folder %1"))
                       .arg(folder->path);
    }
    return changes;
}

bool FoldersDeleteCommand::change(ActionResult& result, int& exitCode)
{
    QStringList paths;
    for (const PathState* folder : m_snapshot.clientFolders())
        if (QFileInfo(folder->path).isDir())
            paths << QFileInfo(folder->path).canonicalFilePath();
    if (!confirmed(QStringLiteral("Delete the client-certificate folders and the certificates in them?") +
                       backupQuestion(paths),
                   exitCode))
        return false;
    result = SecurityActions(m_snapshot).deleteClientFolders(backup());
    reportBackups(result);
    return true;
}

int AuthCommand::executeWithUsersFile(const PathState& file)
{
    if (m_out->dryRun()) {
        const QString planned = plannedChange(file);
        return wouldChange(planned.isEmpty() ? QStringList() : QStringList{planned});
    }
    ActionResult result;
    int exitCode;
    if (!change(file, result, exitCode))
        return exitCode;
    if (report(result) != Output::Success)
        return Output::Failure;
    m_out->line((result.changed ? doneText() : QStringLiteral("Nothing changed: %1")).arg(file.path));
    return Output::Success;
}

AuthCreateCommand::AuthCreateCommand()
    : AuthCommand("auth create", "", 0, 0, {&s_force}, "Creates the empty users file when it is missing.")
{}

QString AuthCreateCommand::plannedChange(const PathState& file) const
{
    const bool present = file.exists || QFileInfo(file.path).isSymLink();
    return present ? QString() : QStringLiteral("create the users file %1").arg(file.path);
}

bool AuthCreateCommand::change(const PathState&, ActionResult& result, int&)
{
    result = SecurityActions(m_snapshot).createUsersFile();
    return true;
}

AuthDeleteCommand::AuthDeleteCommand()
    : AuthCommand("auth delete", "", 0, 0, {&s_yes, &s_noBackup, &s_force},
                  "Deletes the users file. " + backupNote())
{}

QString AuthDeleteCommand::plannedChange(const PathState& file) const
{
    const bool present = file.exists || QFileInfo(file.path).isSymLink();
    return !present   ? QString()
           : backup() ? QStringLiteral("move the users file %1 into a backup").arg(file.path)
                      : QStringLiteral("delete the users file %1").arg(file.path);
}

bool AuthDeleteCommand::change(const PathState& file, ActionResult& result, int& exitCode)
{
    if (!file.exists) {
        m_out->line(QStringLiteral("The users file does not exist; nothing changed."));
        exitCode = Output::Success;
        return false;
    }
    if (!confirmed(QStringLiteral("Delete the users file %1 with every user in it?").arg(file.path) +
                       backupQuestion({file.path}),
                   exitCode))
        return false;
    result = SecurityActions(m_snapshot).deleteUsersFile(backup());
    reportBackups(result);
    return true;
}
