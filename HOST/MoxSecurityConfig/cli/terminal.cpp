#include "terminal.h"

#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

FILE* s_input = stdin;
FILE* s_prompts = stderr;

void prompt(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), s_prompts);
    std::fflush(s_prompts);
}

// Echo stays off only while the secret is typed.
Terminal::Read readHidden(QString& line, int maxBytes)
{
    termios saved;
    const bool terminal = ::tcgetattr(fileno(s_input), &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= tcflag_t(~ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fileno(s_input), TCSAFLUSH, &quiet);
    }
    const Terminal::Read read = Terminal::readLine(line, maxBytes);
    if (terminal)
        ::tcsetattr(fileno(s_input), TCSAFLUSH, &saved);
    return read;
}

} // namespace

void Terminal::setStreams(FILE* input, FILE* prompts)
{
    s_input = input;
    s_prompts = prompts;
}

bool Terminal::interactive()
{
    return ::isatty(fileno(s_input)) == 1;
}

Terminal::Read Terminal::readLine(QString& line, int maxBytes)
{
    std::string bytes;
    int c;
    bool any = false;
    while ((c = std::fgetc(s_input)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        bytes.push_back(char(c));
        // One more for a line end of CR LF.
        if (bytes.size() > size_t(maxBytes) + 1 || (bytes.size() > size_t(maxBytes) && c != '\r')) {
            line.clear();
            return Read::TooLong;
        }
    }
    if (!bytes.empty() && bytes.back() == '\r')
        bytes.pop_back();
    line = QString::fromUtf8(bytes.data(), int(bytes.size()));
    return any ? Read::Ok : Read::Failed;
}

Terminal::Read Terminal::readSecret(bool fromStdin, const QString& option, const QString& promptText,
                                    bool confirm, QString& secret, QString* error, int maxBytes,
                                    const QString& tooLong)
{
    Read read = Read::Failed;
    auto refused = [&] {
        *error =
            read == Read::TooLong ? tooLong : QStringLiteral("Nothing could be read from standard input.");
        return read;
    };
    if (fromStdin) {
        read = readLine(secret, maxBytes);
        return read == Read::Ok ? read : refused();
    }
    if (!interactive()) {
        *error = QStringLiteral("Standard input is no terminal to prompt on; give it on standard input "
                                "with %1.")
                     .arg(option);
        return Read::NoTerminal;
    }
    prompt(promptText + QStringLiteral(": "));
    if ((read = readHidden(secret, maxBytes)) != Read::Ok) {
        refused();
        if (read == Read::Failed)
            *error = QStringLiteral("Nothing was entered.");
        return read;
    }
    if (!confirm)
        return Read::Ok;
    QString again;
    prompt(promptText + QStringLiteral(" (again): "));
    if ((read = readHidden(again, maxBytes)) == Read::TooLong)
        return refused();
    if (read != Read::Ok || again != secret) {
        *error = QStringLiteral("The two entries differ.");
        return Read::Failed;
    }
    return Read::Ok;
}

bool Terminal::confirm(const QString& question)
{
    prompt(question + QStringLiteral(" [y/N] "));
    QString answer;
    if (readLine(answer, 80) != Read::Ok)
        return false;
    answer = answer.trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}
