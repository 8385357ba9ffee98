#include "terminal.h"

#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

void prompt(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// Echo stays off only while the secret is typed.
bool readHidden(QString& line)
{
    termios saved;
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= tcflag_t(~ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = Terminal::readLine(line);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    return read;
}

} // namespace

bool Terminal::interactive()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool Terminal::readLine(QString& line)
{
    std::string bytes;
    int c;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        bytes.push_back(char(c));
    }
    if (!bytes.empty() && bytes.back() == '\r')
        bytes.pop_back();
    line = QString::fromUtf8(bytes.data(), int(bytes.size()));
    return any;
}

Terminal::Read Terminal::readSecret(bool fromStdin, const QString& option, const QString& promptText,
                                    bool confirm, QString& secret, QString* error)
{
    if (fromStdin) {
        if (readLine(secret))
            return Read::Ok;
        *error = QStringLiteral("Nothing could be read from standard input.");
        return Read::Failed;
    }
    if (!interactive()) {
        *error = QStringLiteral("Standard input is no terminal to prompt on; give it on standard input "
                                "with %1.")
                     .arg(option);
        return Read::NoTerminal;
    }
    prompt(promptText + QStringLiteral(": "));
    if (!readHidden(secret)) {
        *error = QStringLiteral("Nothing was entered.");
        return Read::Failed;
    }
    if (!confirm)
        return Read::Ok;
    QString again;
    prompt(promptText + QStringLiteral(" (again): "));
    if (!readHidden(again) || again != secret) {
        *error = QStringLiteral("The two entries differ.");
        return Read::Failed;
    }
    return Read::Ok;
}

bool Terminal::confirm(const QString& question)
{
    prompt(question + QStringLiteral(" [y/N] "));
    QString answer;
    if (!readLine(answer))
        return false;
    answer = answer.trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}
