// The users commands that rename, change the role of, remove, or ensure a user.
#include "usersCommands.h"

#include "commandLine.h"
#include "output.h"

using namespace Mox::Ini;

UsersRenameCommand::UsersRenameCommand()
    : UsersCommand(
          "users rename", "OLD NEW", 2, 2, {&s_passwordStdin},
          "Renames a user. The stored password is bound to the name, so the user's password is asked for "
          "again. " +
              passwordNote())
{}

bool UsersRenameCommand::checkArguments(int& exitCode)
{
    return nameAccepted(argument(1), exitCode);
}

int UsersRenameCommand::executeWithUsers()
{
    const QString oldName = argument(0), newName = argument(1);
    const AuthRole role = roleOf(oldName);
    if (role == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, oldName);
    if (newName != oldName && roleOf(newName) != eAuthRole_None)
        return authFailure(eAuthRoleCode_BadAlreadyExist, newName);
    const std::string oldKey = oldName.toUtf8().toStdString();
    if (const UsersService::Result twin = m_users->caseTwinRefused(newName, &oldKey);
        newName != oldName && !twin.ok())
        return fail(twin.reason, newName);
    QString password;
    int exitCode;
    if (!newPassword(password, exitCode))
        return exitCode;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("rename the user %1 to %2").arg(oldName, newName)});
    const UsersService::Result result =
        m_users->edit(User(oldName.toUtf8().toStdString(), role), newName, role, password);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, oldName);
    m_out->setChanged(true);
    reportUser(newName, role);
    m_out->data().insert(QStringLiteral("previous"), oldName);
    m_out->line(QStringLiteral("Renamed %1 to %2.").arg(oldName, newName));
    return Output::Success;
}

UsersRoleCommand::UsersRoleCommand()
    : UsersCommand("users role", "NAME ROLE", 2, 2, {&s_force},
                   "Gives a user the role admin, operator or guest. Demoting the last Admin needs --force.")
{}

bool UsersRoleCommand::checkArguments(int& exitCode)
{
    return parseRole(argument(1), m_role, exitCode);
}

int UsersRoleCommand::executeWithUsers()
{
    const QString name = argument(0);
    const AuthRole previous = roleOf(name);
    if (previous == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    reportUser(name, m_role);
    if (previous == m_role) {
        m_out->line(QStringLiteral("%1 already has the role %2.").arg(name, roleWord(m_role)));
        return Output::Success;
    }
    if (!lastAdminAllowed(name, m_role))
        return Output::Failure;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("give %1 the role %2").arg(name, roleWord(m_role))});
    const UsersService::Result result =
        m_users->edit(User(name.toUtf8().toStdString(), previous), name, m_role, QString());
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(true);
    m_out->line(QStringLiteral("%1 now has the role %2.").arg(name, roleWord(m_role)));
    return Output::Success;
}

UsersRemoveCommand::UsersRemoveCommand()
    : UsersCommand(
          "users remove", "NAME", 1, 1, {&s_yes, &s_force},
          "Removes a user (asks on a terminal, else needs --yes). Removing the last Admin needs --force.")
{}

int UsersRemoveCommand::executeWithUsers()
{
    const QString name = argument(0);
    if (roleOf(name) == eAuthRole_None)
        return authFailure(eAuthRoleCode_BadUserDoesNotExist, name);
    if (!lastAdminAllowed(name, eAuthRole_None))
        return Output::Failure;
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("remove the user %1").arg(name)});
    int exitCode;
    if (!confirmed(QStringLiteral("Remove the user %1?").arg(name), exitCode))
        return exitCode;
    const UsersService::Result result = m_users->remove(name);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(true);
    reportUser(name, eAuthRole_None);
    m_out->line(QStringLiteral("Removed %1.").arg(name));
    return Output::Success;
}

UsersEnsureCommand::UsersEnsureCommand()
    : UsersCommand(
          "users ensure", "NAME", 1, 1, {&s_role, &s_passwordStdin, &s_absent, &s_yes, &s_force},
          "Makes a user be as asked, or not be. The user gets --role and, with --password-stdin, that "
          "password; changes only what differs (the password only when it does not log in) and writes "
          "nothing when nothing does. A new user needs --password-stdin. With --absent (and --yes) the user "
          "is removed when present.")
{}

bool UsersEnsureCommand::checkArguments(int& exitCode)
{
    if (!nameAccepted(argument(0), exitCode))
        return false;
    if (!m_line->isSet(s_absent))
        return parseRole(m_line->value(s_role), m_role, exitCode);
    if (m_line->isSet(s_role) || m_line->isSet(s_passwordStdin)) {
        exitCode = usage(QStringLiteral("--absent takes neither --role nor --password-stdin."));
        return false;
    }
    return true;
}

int UsersEnsureCommand::executeWithUsers()
{
    const QString name = argument(0);
    reportUser(name, m_role);
    if (!lastAdminAllowed(name, m_role))
        return Output::Failure;
    if (m_line->isSet(s_absent))
        return ensureAbsent(name);
    QString password;
    int exitCode;
    const bool withPassword = m_line->isSet(s_passwordStdin);
    if (withPassword && !newPassword(password, exitCode))
        return exitCode;
    if (!withPassword && roleOf(name) == eAuthRole_None)
        return fail(QStringLiteral("The user %1 does not exist, and a new user needs a password "
                                   "(--password-stdin).")
                        .arg(name));
    if (m_out->dryRun())
        return wouldChange(plannedChanges(name, withPassword ? &password : nullptr));
    const UsersService::EnsureResult result =
        m_users->ensure(name, m_role, withPassword ? &password : nullptr);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(result.changed);
    m_out->line(result.changed
                    ? QStringLiteral("%1 is now %2.").arg(name, roleWord(m_role))
                    : QStringLiteral("%1 is already %2; nothing changed.").arg(name, roleWord(m_role)));
    return Output::Success;
}

int UsersEnsureCommand::ensureAbsent(const QString& name)
{
    if (m_out->dryRun())
        return wouldChange(roleOf(name) == eAuthRole_None
                               ? QStringList()
                               : QStringList{QStringLiteral("remove the user %1").arg(name)});
    int exitCode;
    if (!confirmed(QStringLiteral("Remove the user %1 if present?").arg(name), exitCode))
        return exitCode;
    const UsersService::EnsureResult result = m_users->ensureAbsent(name);
    showWarnings(result.warnings);
    if (!result.ok())
        return fail(result.reason, name);
    m_out->setChanged(result.changed);
    m_out->line(result.changed ? QStringLiteral("Removed %1.").arg(name)
                               : QStringLiteral("%1 is absent; nothing changed.").arg(name));
    return Output::Success;
}

QStringList UsersEnsureCommand::plannedChanges(const QString& name, const QString* password) const
{
    const AuthRole current = roleOf(name);
    QStringList changes;
    if (current == eAuthRole_None)
        changes << QStringLiteral("add the user %1 with the role %2").arg(name, roleWord(m_role));
    if (current != eAuthRole_None && current != m_role)
        changes << QStringLiteral("give %1 the role %2").arg(name, roleWord(m_role));
    if (current != eAuthRole_None && password && m_users->check(name, *password) == eAuthRole_None)
        changes << QStringLiteral("change the password of %1").arg(name);
    return changes;
}
