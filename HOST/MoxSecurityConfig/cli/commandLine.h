// The command words, options and help of moxsec. Parsing only: which command, which values, and whether the
// usage is right; what a command does is in Commands.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <memory>

class CommandLine
{
public:
    struct Command
    {
        QString name;      // "users add"
        QString arguments; // "NAME" for the synopsis
        int minArguments, maxArguments;
        QStringList options; // long names beyond the global ones
        QString summary;
    };

    enum class Action
    {
        Run,
        Help,
        Version,
        Usage // error() says what is wrong
    };

    CommandLine();
    ~CommandLine();

    Action parse(const QStringList& arguments);

    const Command* command() const { return m_command; }
    // The arguments after the command words.
    const QStringList& arguments() const { return m_arguments; }
    bool isSet(const QString& option) const;
    QString value(const QString& option) const;
    QStringList values(const QString& option) const;
    const QString& error() const { return m_error; }
    // --json and --quiet as far as they could be read, also for a usage error.
    bool json() const { return m_json; }
    bool quiet() const { return m_quiet; }

    // For the command, or the group of commands, or everything.
    QString helpText() const;

private:
    // Whether the parsed command has the option, by its long name.
    bool takes(const QString& option) const;
    void addOptions(QCommandLineParser& parser, const QStringList& names) const;

    QList<Command> m_commands;
    QList<QCommandLineOption> m_options;
    QStringList m_global;
    std::unique_ptr<QCommandLineParser> m_parser;
    const Command* m_command = nullptr;
    QString m_group; // "users" when only the group was named
    QStringList m_arguments;
    QString m_error;
    bool m_json = false, m_quiet = false;
};
