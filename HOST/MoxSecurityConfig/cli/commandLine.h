// The command words, options and help of moxsec. Parsing only: which command, which values, and whether the
// usage is right; what a command does is in its Command.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class Command;

class CommandLine
{
public:
    enum class Action
    {
        Run,
        Help,
        Version,
        Usage // error() says what is wrong
    };

    // The commands to choose from, in the order the help lists them.
    explicit CommandLine(const std::vector<std::unique_ptr<Command>>& commands);
    ~CommandLine();

    Action parse(const QStringList& arguments);

    Command* command() const { return m_command; }
    // The arguments after the command words.
    const QStringList& arguments() const { return m_arguments; }
    bool isSet(const QCommandLineOption& option) const;
    QString value(const QCommandLineOption& option) const;
    QStringList values(const QCommandLineOption& option) const;
    const QString& error() const { return m_error; }
    // --json and --quiet as far as they could be read, also for a usage error.
    bool json() const { return m_json; }
    bool quiet() const { return m_quiet; }

    // For the command, or the group of commands, or everything.
    QString helpText() const;

private:
    // Whether the parsed command has the option.
    bool takes(const QCommandLineOption& option) const;
    // The options among names, in the order the help lists them.
    static void addOptions(QCommandLineParser& parser, const QList<const QCommandLineOption*>& options);
    // The usage error of the parsed command's arguments and options, empty when there is none.
    QString usageError() const;
    QString commandError(const QStringList& words, bool group) const;

    const std::vector<std::unique_ptr<Command>>& m_commands;
    std::unique_ptr<QCommandLineParser> m_parser;
    Command* m_command = nullptr;
    QString m_group; // "users" when only the group was named
    QStringList m_arguments;
    QString m_error;
    bool m_json = false, m_quiet = false;
};
