#include "command.h"

#include "commandLine.h"
#include "output.h"
#include "terminal.h"

#include <QJsonArray>

const QCommandLineOption Command::s_help({"h", "help"}, "Shows the help, of a command when one is named.");
const QCommandLineOption Command::s_version("version", "Shows the versions of moxsec, Qt and OpenSSL.");
const QCommandLineOption Command::s_root(
    "root",
    "Treats DIR as / for every path of the installation: DIR/mox instead of /mox, and absolute paths in the "
    "configuration under DIR too.",
    "DIR");
const QCommandLineOption
    Command::s_json("json", "Prints exactly one JSON object on standard output, also on failure.");
const QCommandLineOption
    Command::s_quiet({"q", "quiet"}, "Prints no report and no warnings; errors still go to standard error.");
const QCommandLineOption Command::s_passwordStdin("password-stdin",
                                                  "Reads the password from standard input (one line).");
const QCommandLineOption Command::s_role("role", "The role: admin, operator or guest.", "ROLE");
const QCommandLineOption Command::s_absent("absent", "Removes the user instead.");
const QCommandLineOption Command::s_yes({"y", "yes"}, "Deletes or replaces without asking.");
const QCommandLineOption
    Command::s_noBackup("no-backup",
                        "Deletes for good instead of moving into .backup/<date-time>/ beside it.");
const QCommandLineOption
    Command::s_force("force", "Lets the last Admin be removed or demoted; acts although a setting "
                              "the action does not need is missing.");
const QCommandLineOption Command::s_country("country", "Country (C), required.", "TEXT");
const QCommandLineOption Command::s_state("state", "State or province (ST), required.", "TEXT");
const QCommandLineOption Command::s_locality("locality", "Locality (L), required.", "TEXT");
const QCommandLineOption Command::s_organization("organization", "Organization (O), required.", "TEXT");
const QCommandLineOption Command::s_unit("unit", "Organization unit (OU).", "TEXT");
const QCommandLineOption Command::s_commonName("common-name", "Common name (CN).", "TEXT");
const QCommandLineOption Command::s_uriEnd("uri-end", "The URI's end part (OPC UA).", "TEXT");
const QCommandLineOption Command::s_machineName("machine-name", "Puts the host name into the URI (OPC UA).");
const QCommandLineOption Command::s_dns("dns", "A DNS name, repeatable; replaces the host name (OPC UA).",
                                        "NAME");
const QCommandLineOption Command::s_ip("ip", "An IPv4 or IPv6 address, repeatable (OPC UA).", "ADDRESS");
const QCommandLineOption Command::s_bits("bits", "Key size: 1024, 2048, 3072 or 4096.", "N");
const QCommandLineOption Command::s_digest("digest", "sha256 or sha512.", "NAME");
const QCommandLineOption Command::s_days("days", "Validity in days.", "N");
const QCommandLineOption Command::s_der("der",
                                        "DER encoding (refused when the certificate path ends in .pem).");
const QCommandLineOption
    Command::s_passphraseStdin("passphrase-stdin",
                               "Reads the key's pass phrase from standard input (one line; OPC UA).");
const QCommandLineOption Command::s_strict("strict", "Exits 1 also when there are only warnings.");
const QCommandLineOption
    Command::s_issuer("issuer", "Imports certificates into the issuers folder, CA or not (trust import).");
const QCommandLineOption
    Command::s_trusted("trusted", "Imports certificates into the trust list, CA or not (trust import).");
const QCommandLineOption
    Command::s_updateConfig("update-config",
                            "Writes a URI or pass phrase that differs into the OPC UA config (OPC UA).");
const QCommandLineOption Command::s_tighten("tighten",
                                            "Removes the access of others from the OPC UA config when a "
                                            "pass phrase is written into it; the group keeps its access.");
const QCommandLineOption
    Command::s_dryRun("dry-run", "Checks everything and reports what would change, but changes nothing.");

const QCommandLineOption Command::s_newKey(
    "new-key", "A new key: for renew one of the same size instead of the installed one; for a request one "
               "kept pending until its certificate is installed.");
const QCommandLineOption Command::s_ifExpiresWithin(
    "if-expires-within", "Changes nothing while the certificate is valid for longer than DAYS.", "DAYS");
const QCommandLineOption
    Command::s_warnDays("warn-days", "Warns when the certificate expires within N days (default 30).", "N");
const QCommandLineOption Command::s_ca("ca", "The CA certificate (PEM or DER).", "FILE");
const QCommandLineOption Command::s_caKey("ca-key", "The CA's private key (PEM or DER).", "FILE");
const QCommandLineOption Command::s_out("out", "Writes into FILE instead of standard output.", "FILE");
const QCommandLineOption Command::s_chain("chain", "A file of CA certificates, repeatable.", "FILE");
const QCommandLineOption
    Command::s_since("since", "Only what happened from TIME on (ISO date or date and time).", "TIME");

const Command::Options& Command::allOptions()
{
    static const Options options{&s_help,         &s_version,
                                 &s_root,         &s_json,
                                 &s_quiet,        &s_passwordStdin,
                                 &s_role,         &s_absent,
                                 &s_yes,          &s_noBackup,
                                 &s_force,        &s_country,
                                 &s_state,        &s_locality,
                                 &s_organization, &s_unit,
                                 &s_commonName,   &s_uriEnd,
                                 &s_machineName,  &s_dns,
                                 &s_ip,           &s_bits,
                                 &s_digest,       &s_days,
                                 &s_der,          &s_passphraseStdin,
                                 &s_strict,       &s_issuer,
                                 &s_trusted,      &s_updateConfig,
                                 &s_tighten,      &s_dryRun,
                                 &s_newKey,       &s_ifExpiresWithin,
                                 &s_warnDays,     &s_ca,
                                 &s_caKey,        &s_out,
                                 &s_chain,        &s_since};
    return options;
}

const Command::Options& Command::globalOptions()
{
    static const Options options{&s_help, &s_version, &s_root, &s_json, &s_quiet, &s_dryRun};
    return options;
}

Command::Command(const QString& name, const QString& synopsis, int minArguments, int maxArguments,
                 const Options& options, const QString& summary)
    : m_name(name), m_synopsis(synopsis), m_minArguments(minArguments), m_maxArguments(maxArguments),
      m_options(options), m_summary(summary)
{}

Command::~Command() = default;

int Command::run(const CommandLine& line, Output& output)
{
    m_line = &line;
    m_out = &output;
    return execute();
}

QString Command::backupNote()
{
    return QStringLiteral(
        "What goes is first moved into .backup/<date-time>/ of the folder that held it (0700; the ten "
        "newest backups are kept), with its mode and owner recorded in .backup/<date-time>.json of the OPC "
        "UA config's folder; moxsec backup list shows it. --no-backup deletes it for good.");
}

const QStringList& Command::arguments() const
{
    return m_line->arguments();
}

int Command::fail(const QString& message, const QString& detail, int exitCode)
{
    m_out->error(Problem{message, detail});
    return exitCode;
}

int Command::wouldChange(const QStringList& changes)
{
    for (const QString& change : changes)
        m_out->wouldChange(change);
    if (changes.isEmpty())
        m_out->line(QStringLiteral("Nothing would change."));
    return Output::Success;
}

bool Command::confirmed(const QString& question, int& exitCode)
{
    if (m_line->isSet(s_yes))
        return true;
    if (!Terminal::interactive()) {
        exitCode = usage(QStringLiteral("%1 Not on a terminal: give --yes to go ahead.").arg(question));
        return false;
    }
    if (Terminal::confirm(question))
        return true;
    exitCode = fail(QStringLiteral("Nothing was changed."), QString(), Output::Failure);
    return false;
}

bool Command::readPassphrase(QString& passphrase, int& exitCode)
{
    const int maxBytes = 1024;
    QString error;
    const Terminal::Read read = Terminal::readSecret(
        true, QString(), QString(), false, passphrase, &error, maxBytes,
        QStringLiteral("Pass phrase refused: the line is longer than %1 bytes.").arg(maxBytes));
    if (read == Terminal::Read::Ok)
        return true;
    exitCode = fail(error, QString(), read == Terminal::Read::TooLong ? Output::Usage : Output::Failure);
    return false;
}

void Command::reportProblems(const ActionResult& result)
{
    for (const Problem& problem : result.problems)
        m_out->error(problem);
    showWarnings(result.warnings);
}

void Command::showWarnings(const Problems& warnings)
{
    for (const Problem& warning : warnings)
        m_out->warning(warning);
}

int Command::report(const ActionResult& result)
{
    reportProblems(result);
    m_out->setChanged(result.changed);
    return result.ok ? Output::Success : Output::Failure;
}

bool Command::backup() const
{
    return !m_line->isSet(s_noBackup);
}

void Command::reportBackups(const ActionResult& result)
{
    QJsonArray backups;
    for (const QString& folder : result.backups) {
        backups.append(folder);
        m_out->line(QStringLiteral("Backup: %1").arg(folder));
    }
    m_out->data().insert(QStringLiteral("backups"), backups);
}
