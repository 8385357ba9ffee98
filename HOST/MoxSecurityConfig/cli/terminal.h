// Secrets and confirmations from standard input: a line from a pipe, or a prompt on a terminal (without
// echo for secrets). A secret is never taken from the command line, where every local user can read it.
#pragma once

#include <QString>

#include <cstdio>

class Terminal
{
public:
    enum class Read
    {
        Ok,
        NoTerminal, // a prompt was needed but standard input is no terminal
        Failed,     // end of input, or the two entries differ
        TooLong     // the line went on past the bound; the rest is left unread
    };

    // Where secrets and answers are read from and prompts go: standard input and error unless a caller
    // runs a command in its own process on other streams.
    static void setStreams(FILE* input, FILE* prompts);
    static bool interactive();
    // One line of standard input, the line end dropped, of at most maxBytes bytes: no more is ever read, so
    // an endless input cannot exhaust memory. Ok, Failed at end of input, or TooLong.
    static Read readLine(QString& line, int maxBytes);
    // From standard input when fromStdin, else prompted on the terminal (twice when confirm). option names
    // the flag that reads standard input, for the error without a terminal. A secret past maxBytes bytes
    // gives TooLong (the error says so with tooLong).
    static Read readSecret(bool fromStdin, const QString& option, const QString& prompt, bool confirm,
                           QString& secret, QString* error, int maxBytes, const QString& tooLong);
    // "<question> [y/N]" on the terminal; true for y or yes.
    static bool confirm(const QString& question);
};
