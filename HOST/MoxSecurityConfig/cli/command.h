// One moxsec command: its words, synopsis, options and help, and what it does. The options are the class's
// static members, used both to declare a command's options and to read them, so a misspelt name does not
// compile.
#pragma once

#include "core/securityActions.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class CommandLine;
class Output;

class Command
{
public:
    using Options = QList<const QCommandLineOption*>;

    Command(const QString& name, const QString& synopsis, int minArguments, int maxArguments,
            const Options& options, const QString& summary);
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    const QString& name() const { return m_name; }         // "users add"
    const QString& synopsis() const { return m_synopsis; } // "NAME"
    int minArguments() const { return m_minArguments; }
    int maxArguments() const { return m_maxArguments; }
    // Beyond the global ones.
    const Options& options() const { return m_options; }
    const QString& summary() const { return m_summary; }

    // Runs the command as line parsed it; the exit status (Output::Exit).
    int run(const CommandLine& line, Output& output);

    static const QCommandLineOption s_help, s_version, s_root, s_json, s_quiet, s_passwordStdin, s_role,
        s_absent, s_yes, s_noBackup, s_force, s_country, s_state, s_locality, s_organization, s_unit,
        s_commonName, s_uriEnd, s_machineName, s_dns, s_ip, s_bits, s_digest, s_days, s_der,
        s_passphraseStdin, s_strict, s_issuer, s_trusted, s_updateConfig, s_tighten, s_dryRun, s_newKey,
        s_ifExpiresWithin, s_warnDays, s_ca, s_caKey, s_out, s_chain, s_since;
    // Every option, in the order the help lists them; those every command takes.
    static const Options& allOptions();
    static const Options& globalOptions();
    // Commands that take any number of files.
    static constexpr int s_manyArguments = 100000;

protected:
    virtual int execute() = 0;

    const QStringList& arguments() const;
    QString argument(int index) const { return arguments().at(index); }
    int fail(const QString& message, const QString& detail = QString(), int exitCode = 1);
    int usage(const QString& message) { return fail(message, QString(), 2); }
    // With --dry-run: reports the changes the real run would make and returns Success.
    int wouldChange(const QStringList& changes);
    // On a terminal asks, else needs --yes; false with the exit status in exitCode.
    bool confirmed(const QString& question, int& exitCode);
    // A pass phrase from standard input, refused while it is read once it is longer than any that could be
    // accepted; false with the exit status in exitCode.
    bool readPassphrase(QString& passphrase, int& exitCode);
    // The result's errors and warnings.
    void reportProblems(const ActionResult& result);
    void showWarnings(const Problems& warnings);
    // Its problems and whether it changed anything; Success or Failure as it went.
    int report(const ActionResult& result);
    bool backup() const;
    void reportBackups(const ActionResult& result);
    // The help's sentence on where deletions go, for the commands that delete.
    static QString backupNote();

    const CommandLine* m_line = nullptr;
    Output* m_out = nullptr;

private:
    QString m_name, m_synopsis;
    int m_minArguments, m_maxArguments;
    Options m_options;
    QString m_summary;
};
