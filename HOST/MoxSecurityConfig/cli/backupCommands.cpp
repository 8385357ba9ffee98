#include "backupCommands.h"

#include "commandLine.h"
#include "output.h"

#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

namespace {

QJsonObject backupJson(const Backup::Record& record)
{
    QJsonArray items;
    for (const Backup::Item& item : record.items)
        items.append(
            QJsonObject{{QStringLiteral("place"), item.place},
                        {QStringLiteral("type"), item.type},
                        {QStringLiteral("mode"), QStringLiteral("%1").arg(item.mode, 4, 8, QLatin1Char('0'))},
                        {QStringLiteral("uid"), double(item.uid)},
                        {QStringLiteral("gid"), double(item.gid)},
                        {QStringLiteral("inBackup"), !record.missing.contains(item.place)}});
    return QJsonObject{{QStringLiteral("id"), record.id},
                       {QStringLiteral("when"), record.when.toString(Qt::ISODate)},
                       {QStringLiteral("kind"), record.kind},
                       {QStringLiteral("items"), items}};
}

bool taken(const QString& place)
{
    return QFileInfo::exists(place) || QFileInfo(place).isSymLink();
}

} // namespace

BackupListCommand::BackupListCommand()
    : InstallationCommand("backup list", "", 0, 0, {},
                          "Lists the backups that deletions kept: ID, when, what (key pair, users file, "
                          "folders, trust files) and every place with its mode and owner.")
{}

int BackupListCommand::executeWithInstallation()
{
    Problems problems;
    const QList<Backup::Record> records = SecurityActions(m_snapshot).listBackups(&problems);
    for (const Problem& problem : problems)
        m_out->warning(problem);
    QJsonArray array;
    for (const Backup::Record& record : records) {
        array.append(backupJson(record));
        m_out->line(
            QStringLiteral("%1  %2  %3")
                .arg(record.id, record.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), record.kind));
        for (const Backup::Item& item : record.items)
            m_out->line(QStringLiteral("  %1 %2 %3:%4 %5%6")
                            .arg(item.type, -6)
                            .arg(item.mode, 4, 8, QLatin1Char('0'))
                            .arg(item.uid)
                            .arg(item.gid)
                            .arg(item.place, record.missing.contains(item.place)
                                                 ? QStringLiteral(" (no longer in the backup)")
                                                 : QString()));
    }
    if (records.isEmpty())
        m_out->line(QStringLiteral("No backups."));
    m_out->data().insert(QStringLiteral("backups"), array);
    return Output::Success;
}

int BackupCommand::executeWithInstallation()
{
    const QString id = argument(0);
    const QList<Backup::Record> records = SecurityActions(m_snapshot).listBackups();
    const auto record =
        std::find_if(records.begin(), records.end(), [&](const Backup::Record& r) { return r.id == id; });
    if (record == records.end())
        return fail(QStringLiteral("There is no backup '%1'; see moxsec backup list.").arg(id));
    m_out->data().insert(QStringLiteral("backup"), backupJson(*record));
    const ActionRules::Verdict verdict = ActionRules::backupVerdict(m_snapshot, *record);
    if (!verdict.allowed && !refuse(verdict))
        return Output::Failure;
    return executeWithBackup(*record);
}

BackupRestoreCommand::BackupRestoreCommand()
    : BackupCommand(
          "backup restore", "ID", 1, 1, {&s_yes},
          "Puts a backup's files and folders back where they were, with their modes and owners. When a name "
          "is taken nothing is restored, unless --yes: then what is there is first moved into a backup of "
          "its own.")
{}

int BackupRestoreCommand::executeWithBackup(const Backup::Record& record)
{
    if (m_out->dryRun())
        return dryRun(record);
    const bool replace = m_line->isSet(s_yes);
    const ActionResult result = SecurityActions(m_snapshot).restoreBackup(record.id, replace);
    const int exitCode = report(result);
    reportBackups(result);
    if (exitCode != Output::Success) {
        if (!replace && std::any_of(record.items.begin(), record.items.end(),
                                    [](const Backup::Item& item) { return taken(item.place); }))
            m_out->error(
                Problem{QStringLiteral("Give --yes to move what is there into a backup first."), {}});
        return exitCode;
    }
    for (const Backup::Item& item : record.items)
        m_out->line(QStringLiteral("Restored %1").arg(item.place));
    return Output::Success;
}

int BackupRestoreCommand::dryRun(const Backup::Record& record)
{
    QStringList changes, inUse;
    for (const Backup::Item& item : record.items) {
        if (taken(item.place)) {
            inUse << item.place;
            changes << QStringLiteral("move %1 into a backup").arg(item.place);
        }
        changes << QStringLiteral("restore %1").arg(item.place);
    }
    if (!inUse.isEmpty() && !m_line->isSet(s_yes))
        return fail(QStringLiteral("Nothing would be restored: a name the backup would take is in use. Give "
                                   "--yes to move what is there into a backup first."),
                    inUse.join(QStringLiteral(", ")));
    return wouldChange(changes);
}

BackupDeleteCommand::BackupDeleteCommand()
    : BackupCommand("backup delete", "ID", 1, 1, {&s_yes},
                    "Deletes a backup for good, with the old keys and pass phrases it may hold (asks on a "
                    "terminal, else needs --yes).")
{}

int BackupDeleteCommand::executeWithBackup(const Backup::Record& record)
{
    const QString id = record.id;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("delete the backup %1 for good").arg(id)});
    int exitCode;
    if (!confirmed(QStringLiteral("Delete the backup %1 (%2) for good?").arg(id, record.kind), exitCode))
        return exitCode;
    if (report(SecurityActions(m_snapshot).deleteBackup(id)) != Output::Success)
        return Output::Failure;
    m_out->line(QStringLiteral("Deleted the backup %1").arg(id));
    return Output::Success;
}
