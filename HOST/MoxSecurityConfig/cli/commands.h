// Runs one parsed command: loads the installation through the core, calls the core, and reports.
#pragma once

#include "core/actionRules.h"
#include "core/configSnapshot.h"
#include "core/securityActions.h"
#include "core/usersService.h"

#include <QString>

#include <memory>

class CommandLine;
class Output;
class RootedInstEnumerator;

class Commands
{
public:
    Commands(const CommandLine& commandLine, Output& output);
    ~Commands();

    // The exit status (Output::Exit).
    int run();

private:
    int runCommand();
    // The snapshot's warnings about the files the command worked on, as they stand after it.
    void reportWarnings();
    QStringList concernedPaths(const ConfigSnapshot& snapshot) const;
    int status();
    int usersList();
    int usersAdd();
    int usersPasswd();
    int usersRename();
    int usersRole();
    int usersRemove();
    int usersCheck();
    int usersEnsure();
    int certGenerate(bool ensure);
    int certDelete();
    int certShow();
    int configSet(bool passphrase);
    int folders(bool create);
    int auth(bool create);
    int trustList();
    // accept, reject or remove.
    int trustChange(const QString& action);
    int trustImport();
    int backupList();
    int backupRestore();
    int backupDelete();

    // Loads the instance; false (with the error reported) when there is none.
    bool load(bool checkKey);
    // Refuses, with the rule book's reason, what the configuration's errors lock, as the window does;
    // --force runs it where the rule book says forcing is safe.
    bool allowed(ActionRules::Action action);
    // Opens the users store for the users commands; change: refused as the rule book says (ManageUsers).
    bool openUsers(bool change = false);
    // The user's role, eAuthRole_None when there is no such user.
    Mox::Ini::AuthRole roleOf(const QString& name);
    // Reads and checks a new password; false with the exit status in exitCode.
    bool newPassword(QString& password, int& exitCode);
    // A password (--password-stdin or the terminal) or a pass phrase (standard input), refused while it is
    // read once it is longer than any that could be accepted; false with the exit status in exitCode.
    bool readPassword(const QString& prompt, bool confirm, QString& password, int& exitCode);
    bool readPassphrase(QString& passphrase, int& exitCode);
    // With --dry-run: reports the changes the real run would make and returns Success.
    int wouldChange(const QStringList& changes);
    // On a terminal asks, else needs --yes; false with the exit status in exitCode.
    bool confirmed(const QString& question, int& exitCode);
    int fail(const QString& message, const QString& detail = QString(), int exitCode = 1);
    // False, with the reason reported, when the change would leave no Admin and --force is not given.
    bool lastAdminAllowed(const QString& name, Mox::Ini::AuthRole newRole);
    bool backup() const;
    void reportBackups(const ActionResult& result);
    // " The backup goes to ..." naming every place a backup of paths uses; empty with --no-backup.
    QString backupQuestion(const QStringList& paths) const;
    int usage(const QString& message) { return fail(message, QString(), 2); }
    int authFailure(Mox::Ini::AuthRoleCode code, const QString& name);
    void reportUser(const QString& name, Mox::Ini::AuthRole role);

    const CommandLine& m_line;
    Output& m_out;
    QString m_root;
    bool m_noInstallation = false; // the root is missing or holds no installation
    std::unique_ptr<RootedInstEnumerator> m_enumerator;
    ConfigSnapshot m_snapshot;
    std::unique_ptr<Mox::Ini::IniAuth> m_store;
    std::unique_ptr<UsersService> m_users;
};
