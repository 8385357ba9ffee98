#include "commandLine.h"

#include "command.h"

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

QString longName(const QCommandLineOption& option)
{
    return option.names().constLast();
}

} // namespace

CommandLine::CommandLine(const std::vector<std::unique_ptr<Command>>& commands) : m_commands(commands) {}

CommandLine::~CommandLine() = default;

void CommandLine::addOptions(QCommandLineParser& parser, const QList<const QCommandLineOption*>& options)
{
    for (const QCommandLineOption* option : Command::allOptions()) {
        if (options.contains(option))
            parser.addOption(*option);
    }
}

CommandLine::Action CommandLine::parse(const QStringList& arguments)
{
    // Before any parsing, so even a usage error answers in the form asked for.
    auto given = [&](const QCommandLineOption& option) {
        const QStringList names = option.names();
        return std::any_of(names.begin(), names.end(), [&](const QString& name) {
            return arguments.contains((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
        });
    };
    m_json = given(Command::s_json);
    m_quiet = given(Command::s_quiet);

    QCommandLineParser all;
    all.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(all, Command::allOptions());
    if (!all.parse(arguments)) {
        m_error = all.errorText();
        return Action::Usage;
    }
    const QStringList words = all.positionalArguments();
    for (const std::unique_ptr<Command>& command : m_commands) {
        const QStringList name = command->name().split(QLatin1Char(' '));
        if (words.mid(0, name.size()) == name) {
            m_command = command.get();
            m_arguments = words.mid(name.size());
            break;
        }
    }
    const bool group =
        !words.isEmpty() &&
        std::any_of(m_commands.begin(), m_commands.end(), [&](const std::unique_ptr<Command>& c) {
            return c->name().startsWith(words.first() + QLatin1Char(' '));
        });
    if (!m_command && group)
        m_group = words.first();
    if (all.isSet(Command::s_version))
        return Action::Version;
    if (all.isSet(Command::s_help))
        return Action::Help;
    if (!m_command) {
        m_error = commandError(words, group);
        return Action::Usage;
    }

    // Again with only the options this command takes.
    m_parser = std::make_unique<QCommandLineParser>();
    m_parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    addOptions(*m_parser, Command::globalOptions() + m_command->options());
    if (!m_parser->parse(arguments)) {
        m_error = QStringLiteral("%1 (moxsec %2)").arg(m_parser->errorText(), m_command->name());
        return Action::Usage;
    }
    m_error = usageError();
    return m_error.isEmpty() ? Action::Run : Action::Usage;
}

QString CommandLine::commandError(const QStringList& words, bool group) const
{
    if (words.isEmpty())
        return QStringLiteral("No command given; see moxsec --help.");
    if (!group)
        return QStringLiteral("Unknown command '%1'; see moxsec --help.").arg(words.first());
    return words.size() < 2
               ? QStringLiteral("'%1' needs a command; see moxsec %1 --help.").arg(m_group)
               : QStringLiteral("Unknown command '%1 %2'; see moxsec %1 --help.").arg(m_group, words.at(1));
}

QString CommandLine::usageError() const
{
    if (m_arguments.size() < m_command->minArguments() || m_arguments.size() > m_command->maxArguments())
        return QStringLiteral("Usage: moxsec %1 %2").arg(m_command->name(), m_command->synopsis()).trimmed();
    for (const QCommandLineOption* once :
         {&Command::s_root, &Command::s_role, &Command::s_country, &Command::s_state, &Command::s_locality,
          &Command::s_organization, &Command::s_unit, &Command::s_commonName, &Command::s_uriEnd,
          &Command::s_bits, &Command::s_digest, &Command::s_days, &Command::s_warnDays, &Command::s_ca,
          &Command::s_caKey}) {
        if (values(*once).size() > 1)
            return QStringLiteral("--%1 may be given only once.").arg(longName(*once));
    }
    return QString();
}

bool CommandLine::takes(const QCommandLineOption& option) const
{
    // QCommandLineParser prints a warning for an option it was not given; a command that does not take one
    // simply does not have it set.
    return m_parser && m_command &&
           (Command::globalOptions().contains(&option) || m_command->options().contains(&option));
}

bool CommandLine::isSet(const QCommandLineOption& option) const
{
    return takes(option) && m_parser->isSet(longName(option));
}

QString CommandLine::value(const QCommandLineOption& option) const
{
    return takes(option) ? m_parser->value(longName(option)) : QString();
}

QStringList CommandLine::values(const QCommandLineOption& option) const
{
    return takes(option) ? m_parser->values(longName(option)) : QStringList();
}

QString CommandLine::helpText() const
{
    auto optionsOf = [&](const QList<const QCommandLineOption*>& options) {
        QCommandLineParser parser;
        addOptions(parser, options);
        const QString text = parser.helpText();
        return text.mid(text.indexOf(QLatin1String("Options:")));
    };
    if (m_command) {
        return QStringLiteral("Usage: moxsec [options] %1 %2\n\n")
                   .arg(m_command->name(), m_command->synopsis()) +
               wrapped(m_command->summary()) + QLatin1Char('\n') +
               optionsOf(Command::globalOptions() + m_command->options());
    }
    QString text =
        m_group.isEmpty()
            ? QStringLiteral("Usage: moxsec [options] COMMAND [arguments]\n\n"
                             "Configures the security of the Mox runtime installed under /mox and of its OPC "
                             "UA server.\n\nCommands:\n")
            : QStringLiteral("Usage: moxsec [options] %1 COMMAND [arguments]\n\nCommands:\n").arg(m_group);
    for (const std::unique_ptr<Command>& command : m_commands) {
        if (m_group.isEmpty() || command->name().startsWith(m_group + QLatin1Char(' ')))
            text += QStringLiteral("  %1 %2\n")
                        .arg(command->name() + QLatin1Char(' ') + command->synopsis(), -26)
                        .arg(command->summary().section(QStringLiteral(". "), 0, 0).remove(QLatin1Char('.')));
    }
    text +=
        QStringLiteral("\nmoxsec COMMAND --help shows a command's options.\n\n") +
        optionsOf(Command::globalOptions()) + QLatin1Char('\n') +
        wrapped(QStringLiteral("Exit status: 0 success; 1 a failure, or errors found (status), or a password "
                               "that does not log in (users check); 2 bad usage or input refused, nothing "
                               "done.")) +
        QLatin1Char('\n') +
        wrapped(QStringLiteral("With --json the object is {\"ok\", \"changed\", \"errors\", \"warnings\", "
                               "\"data\"}; errors and warnings are objects {\"message\", \"detail\"}. See "
                               "moxsec(1)."));
    return text;
}
