#include "commandLine.h"

#include <algorithm>

namespace {

// Help paragraphs wrapped at 80 columns, as QCommandLineParser wraps its options.
QString wrapped(const QString& text, int indent = 0)
{
    QString result, line;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > 80 - indent) {
            result += QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return result + QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
}

const char s_usersNote[] =
    "Passwords are read from standard input with --password-stdin (one line, the line end "
    "dropped), or prompted for without echo on a terminal; never from the command line. A line longer "
    "than a password may be is refused while it is read.";
const char s_certNote[] =
    "Defaults are the certificate dialog's: common name MOX-OPC_UA@<host> (OPC UA) or MOX@<host> (core), URI "
    "urn:[<host>:]MOX:UA[:<end>], the host as DNS name, 2048 bits, sha256, 1825 days. The encoding follows "
    "the configured certificate path's suffix (.pem: PEM; .der, .cer, .crt, .cert: DER), which is how the "
    "server reads it; --der confirms DER and is refused for a .pem path. Without --passphrase-stdin the "
    "configured pass phrase, if any, protects an OPC UA key; an empty line read with it leaves the key "
    "unprotected. A pass phrase line is at most 1024 bytes.";
const char s_moveNote[] =
    "A file of the same name in the target folder is never replaced: the move fails, saying so. Nothing "
    "changes when any name is unknown or ambiguous.";
// Commands that take any number of files.
const int s_manyArguments = 100000;
const char s_backupNote[] =
    "What goes is first moved into .backup/<date-time>/ of the folder that held it (0700; the ten newest "
    "backups are kept), with its mode and owner recorded in .backup/<date-time>.json of the OPC UA config's "
    "folder; moxsec backup list shows it. --no-backup deletes it for good.";

} // namespace

CommandLine::CommandLine()
{
    const QString usersNote = QString::fromLatin1(s_usersNote);
    const QString certNote = QString::fromLatin1(s_certNote);
    const QString backupNote = QString::fromLatin1(s_backupNote);
    const QString moveNote = QString::fromLatin1(s_moveNote);
    const QStringList certOptions{
        "country",     "state",   "locality",     "organization", "unit",
        "common-name", "uri-end", "machine-name", "dns",          "ip",
        "bits",        "digest",  "days",         "der",          "passphrase-stdin"};
    m_commands = {
        {"status",
         "",
         0,
         0,
         {"strict"},
         "Shows the instance, its paths and the configuration's problems. Every "
         "configured path is shown as present or missing, then the errors and "
         "warnings. Exits 1 when there are errors, and with --strict also when there are warnings."},
        {"users list", "", 0, 0, {}, "Lists the OPC UA users and their roles."},
        {"users add",
         "NAME",
         1,
         1,
         {"role", "password-stdin"},
         "Adds a user with --role admin, operator or "
         "guest. " +
             usersNote},
        {"users passwd", "NAME", 1, 1, {"password-stdin"}, "Gives a user a new password. " + usersNote},
        {"users rename",
         "OLD NEW",
         2,
         2,
         {"password-stdin"},
         "Renames a user. The stored password is bound to the name, so the user's password is asked for "
         "again. " +
             usersNote},
        {"users role",
         "NAME ROLE",
         2,
         2,
         {"force"},
         "Gives a user the role admin, operator or guest. Demoting the last Admin needs --force."},
        {"users remove",
         "NAME",
         1,
         1,
         {"yes", "force"},
         "Removes a user (asks on a terminal, else needs --yes). Removing the last Admin needs --force."},
        {"users check",
         "NAME",
         1,
         1,
         {"password-stdin"},
         "Exits 0 when the password logs the user in, 1 otherwise. " + usersNote},
        {"users ensure",
         "NAME",
         1,
         1,
         {"role", "password-stdin", "absent", "yes", "force"},
         "Makes a user be as asked, or not be. The user gets --role and, with --password-stdin, that "
         "password; changes only what "
         "differs (the password only when it does not log in) and writes nothing when nothing does. A new "
         "user needs --password-stdin. With --absent (and --yes) the user is removed when present."},
        {"cert generate", "opcua|core", 1, 1,
         certOptions + QStringList{"yes", "update-config", "tighten", "force"},
         "Generates a key and a self-signed certificate. The pair is the OPC UA server's or the runtime "
         "core's. "
         "--country, --state, --locality and --organization are required. Existing files are replaced only "
         "after a confirmation (--yes). With --update-config a URI or pass phrase that differs from the OPC "
         "UA config is written into it afterwards; a pass phrase goes only into a config others cannot read, "
         "or with --tighten. " +
             certNote},
        {"cert ensure", "opcua|core", 1, 1, certOptions + QStringList{"update-config", "tighten", "force"},
         "Generates the pair only when both files are missing. It takes the options of cert generate. When "
         "both exist nothing changes; when only one exists it fails, naming the other, and writes "
         "nothing. With --update-config a new pair's URI and pass phrase are written into the OPC UA "
         "config, and so is the pass phrase read with --passphrase-stdin when it opens the existing key "
         "and the configured one does not. A pass phrase goes only into a config others cannot read, or with "
         "--tighten."},
        {"cert delete",
         "opcua|core",
         1,
         1,
         {"yes", "no-backup", "force"},
         "Deletes the key and the certificate. " + backupNote},
        {"cert show",
         "opcua|core|FILE",
         1,
         1,
         {},
         "Shows what a certificate says: subject, issuer, serial, validity, key, signature, alternative "
         "names, usages, CA flag, self-signed, SHA-1 thumbprint and SHA-256 fingerprint. PEM or DER."},
        {"config set-uri",
         "URI",
         1,
         1,
         {},
         "Writes APPLICATION_URI into the OPC UA config; every other byte of the file stays. The URI needs a "
         "scheme (urn:, opc.tcp:) and holds no spaces or control characters, as in the certificate dialog."},
        {"config set-passphrase",
         "",
         0,
         0,
         {"passphrase-stdin", "tighten"},
         "Writes APPLICATION_PRIVATE_KEY_PASSWORD into the OPC UA config, read with --passphrase-stdin "
         "(one line of at most 1024 bytes; an empty line writes an empty pass phrase); every other byte of "
         "the "
         "file stays. A non-empty pass phrase is refused while others may read the file, unless --tighten "
         "removes their access."},
        {"folders create", "", 0, 0, {}, "Creates the missing client-certificate folders."},
        {"folders delete",
         "",
         0,
         0,
         {"yes", "no-backup"},
         "Deletes the client-certificate folders. " + backupNote},
        {"trust list",
         "",
         0,
         0,
         {},
         "Lists the client-certificate folders (trusted, issuers, rejected, revocation): each file's folder, "
         "kind (certificate, CA certificate, CRL, unreadable with the reason), name (CN), application URI, "
         "valid until, SHA-1 thumbprint and file. Files over 1 MB are listed as unreadable."},
        {"trust accept",
         "THUMBPRINT|FILE...",
         1,
         s_manyArguments,
         {},
         "Moves certificates from the rejected folder into the trust list, so those clients may connect. "
         "A certificate is named by its SHA-1 thumbprint or a unique prefix of at least 8 hex digits, by "
         "its file name or by its path. " +
             moveNote},
        {"trust reject",
         "THUMBPRINT|FILE...",
         1,
         s_manyArguments,
         {},
         "Moves certificates from the trust list into the rejected folder, so those clients are refused. "
         "Named as with trust accept. " +
             moveNote},
        {"trust remove",
         "THUMBPRINT|FILE...",
         1,
         s_manyArguments,
         {"yes", "no-backup"},
         "Deletes certificates or CRLs from any of the four folders (asks on a terminal, else needs --yes). "
         "Named as with trust accept. A symbolic link is removed itself, never what it points to. " +
             backupNote},
        {"trust import",
         "FILE...",
         1,
         s_manyArguments,
         {"issuer", "trusted"},
         "Imports certificates (PEM or DER) and CRLs. By content a CA certificate goes to the issuers, any "
         "other certificate to the trust list, a CRL to the revocation folder; --issuer or --trusted puts "
         "certificates there instead. A certificate is written as '<CN> [<thumbprint>].der' or '.pem' after "
         "its encoding, a CRL keeps its name. An existing file is never replaced, except a CRL by a later "
         "one "
         "of the same issuer."},
        {"backup list",
         "",
         0,
         0,
         {},
         "Lists the backups that deletions kept: ID, when, what (key pair, users file, folders, trust "
         "files) and every place with its mode and owner."},
        {"backup restore",
         "ID",
         1,
         1,
         {"yes"},
         "Puts a backup's files and folders back where they were, with their modes and owners. When a name "
         "is taken nothing is restored, unless --yes: then what is there is first moved into a backup of "
         "its own."},
        {"backup delete",
         "ID",
         1,
         1,
         {"yes"},
         "Deletes a backup for good, with the old keys and pass phrases it may hold (asks on a terminal, "
         "else needs --yes)."},
        {"auth create", "", 0, 0, {"force"}, "Creates the empty users file when it is missing."},
        {"auth delete", "", 0, 0, {"yes", "no-backup", "force"}, "Deletes the users file. " + backupNote},
    };

    m_options = {
        {{"h", "help"}, "Shows the help, of a command when one is named."},
        {"version", "Shows the versions of moxsec, Qt and OpenSSL."},
        {"root",
         "Treats DIR as / for every path of the installation: DIR/mox instead of /mox, and absolute paths in "
         "the configuration under DIR too.",
         "DIR"},
        {"json", "Prints exactly one JSON object on standard output, also on failure."},
        {{"q", "quiet"}, "Prints no report and no warnings; errors still go to standard error."},
        {"password-stdin", "Reads the password from standard input (one line)."},
        {"role", "The role: admin, operator or guest.", "ROLE"},
        {"absent", "Removes the user instead."},
        {{"y", "yes"}, "Deletes or replaces without asking."},
        {"no-backup", "Deletes for good instead of moving into .backup/<date-time>/ beside it."},
        {"force", "Lets the last Admin be removed or demoted; acts although a setting the action does not "
                  "need is missing."},
        {"country", "Country (C), required.", "TEXT"},
        {"state", "State or province (ST), required.", "TEXT"},
        {"locality", "Locality (L), required.", "TEXT"},
        {"organization", "Organization (O), required.", "TEXT"},
        {"unit", "Organization unit (OU).", "TEXT"},
        {"common-name", "Common name (CN).", "TEXT"},
        {"uri-end", "The URI's end part (OPC UA).", "TEXT"},
        {"machine-name", "Puts the host name into the URI (OPC UA)."},
        {"dns", "A DNS name, repeatable; replaces the host name (OPC UA).", "NAME"},
        {"ip", "An IPv4 or IPv6 address, repeatable (OPC UA).", "ADDRESS"},
        {"bits", "Key size: 1024, 2048, 3072 or 4096.", "N"},
        {"digest", "sha256 or sha512.", "NAME"},
        {"days", "Validity in days.", "N"},
        {"der", "DER encoding (refused when the certificate path ends in .pem)."},
        {"passphrase-stdin", "Reads the key's pass phrase from standard input (one line; OPC UA)."},
        {"strict", "Exits 1 also when there are only warnings."},
        {"issuer", "Imports certificates into the issuers folder, CA or not (trust import)."},
        {"trusted", "Imports certificates into the trust list, CA or not (trust import)."},
        {"update-config", "Writes a URI or pass phrase that differs into the OPC UA config (OPC UA)."},
        {"tighten", "Removes the access of others from the OPC UA config when a pass phrase is written into "
                    "it; the group keeps its access."},
        {"dry-run", "Checks everything and reports what would change, but changes nothing."},
    };
    m_global = QStringList{"help", "version", "root", "json", "quiet", "dry-run"};
}

CommandLine::~CommandLine() = default;

void CommandLine::addOptions(QCommandLineParser& parser, const QStringList& names) const
{
    for (const QCommandLineOption& option : m_options) {
        if (names.contains(option.names().last()))
            parser.addOption(option);
    }
}

CommandLine::Action CommandLine::parse(const QStringList& arguments)
{
    // Before any parsing, so even a usage error answers in the form asked for.
    m_json = arguments.contains(QStringLiteral("--json"));
    m_quiet = arguments.contains(QStringLiteral("--quiet")) || arguments.contains(QStringLiteral("-q"));

    QStringList every;
    for (const QCommandLineOption& option : m_options)
        every << option.names().last();
    QCommandLineParser all;
    all.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(all, every);
    if (!all.parse(arguments)) {
        m_error = all.errorText();
        return Action::Usage;
    }
    const QStringList words = all.positionalArguments();
    for (const Command& command : m_commands) {
        const QStringList name = command.name.split(QLatin1Char(' '));
        if (words.mid(0, name.size()) == name) {
            m_command = &command;
            m_arguments = words.mid(name.size());
            break;
        }
    }
    const bool group =
        !words.isEmpty() && std::any_of(m_commands.begin(), m_commands.end(), [&](const Command& c) {
            return c.name.startsWith(words.first() + QLatin1Char(' '));
        });
    if (!m_command && group)
        m_group = words.first();
    if (all.isSet(QStringLiteral("version")))
        return Action::Version;
    if (all.isSet(QStringLiteral("help")))
        return Action::Help;
    if (!m_command) {
        if (words.isEmpty())
            m_error = QStringLiteral("No command given; see moxsec --help.");
        else if (group)
            m_error = words.size() < 2
                          ? QStringLiteral("'%1' needs a command; see moxsec %1 --help.").arg(m_group)
                          : QStringLiteral("Unknown command '%1 %2'; see moxsec %1 --help.")
                                .arg(m_group, words.at(1));
        else
            m_error = QStringLiteral("Unknown command '%1'; see moxsec --help.").arg(words.first());
        return Action::Usage;
    }

    // Again with only the options this command takes.
    m_parser = std::make_unique<QCommandLineParser>();
    m_parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(*m_parser, m_global + m_command->options);
    if (!m_parser->parse(arguments)) {
        m_error = QStringLiteral("%1 (moxsec %2)").arg(m_parser->errorText(), m_command->name);
        return Action::Usage;
    }
    if (m_arguments.size() < m_command->minArguments || m_arguments.size() > m_command->maxArguments) {
        m_error = QStringLiteral("Usage: moxsec %1 %2").arg(m_command->name, m_command->arguments).trimmed();
        return Action::Usage;
    }
    for (const char* once : {"root", "role", "country", "state", "locality", "organization", "unit",
                             "common-name", "uri-end", "bits", "digest", "days"}) {
        if ((m_global + m_command->options).contains(QLatin1String(once)) &&
            values(QLatin1String(once)).size() > 1) {
            m_error = QStringLiteral("--%1 may be given only once.").arg(QLatin1String(once));
            return Action::Usage;
        }
    }
    return Action::Run;
}

bool CommandLine::takes(const QString& option) const
{
    // QCommandLineParser prints a warning for an option it was not given; a command that does not take one
    // simply does not have it set.
    return m_parser && m_command && (m_global + m_command->options).contains(option);
}

bool CommandLine::isSet(const QString& option) const
{
    return takes(option) && m_parser->isSet(option);
}

QString CommandLine::value(const QString& option) const
{
    return takes(option) ? m_parser->value(option) : QString();
}

QStringList CommandLine::values(const QString& option) const
{
    return takes(option) ? m_parser->values(option) : QStringList();
}

QString CommandLine::helpText() const
{
    auto optionsOf = [&](const QStringList& names) {
        QCommandLineParser parser;
        addOptions(parser, names);
        const QString text = parser.helpText();
        return text.mid(text.indexOf(QLatin1String("Options:")));
    };
    if (m_command) {
        return QStringLiteral("Usage: moxsec [options] %1 %2\n\n")
                   .arg(m_command->name, m_command->arguments) +
               wrapped(m_command->summary) + QLatin1Char('\n') + optionsOf(m_global + m_command->options);
    }
    QString text =
        m_group.isEmpty()
            ? QStringLiteral("Usage: moxsec [options] COMMAND [arguments]\n\n"
                             "Configures the security of the Mox runtime installed under /mox and of "
                             "its OPC UA server.\n\nCommands:\n")
            : QStringLiteral("Usage: moxsec [options] %1 COMMAND [arguments]\n\nCommands:\n").arg(m_group);
    for (const Command& command : m_commands) {
        if (m_group.isEmpty() || command.name.startsWith(m_group + QLatin1Char(' ')))
            text += QStringLiteral("  %1 %2\n")
                        .arg(command.name + QLatin1Char(' ') + command.arguments, -26)
                        .arg(command.summary.section(QStringLiteral(". "), 0, 0).remove(QLatin1Char('.')));
    }
    text +=
        QStringLiteral("\nmoxsec COMMAND --help shows a command's options.\n\n") + optionsOf(m_global) +
        QLatin1Char('\n') +
        wrapped(QStringLiteral("Exit status: 0 success; 1 a failure, or errors found (status), or a password "
                               "that does not log in (users check); 2 bad usage or input refused, nothing "
                               "done.")) +
        QLatin1Char('\n') +
        wrapped(QStringLiteral("With --json the object is {\"ok\", \"changed\", \"errors\", \"warnings\", "
                               "\"data\"}; errors and warnings are objects {\"message\", \"detail\"}. See "
                               "moxsec(1)."));
    return text;
}
