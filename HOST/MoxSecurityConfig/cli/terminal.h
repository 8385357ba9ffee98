// Secrets and confirmations from standard input: a line from a pipe, or a prompt on a terminal (without
// echo for secrets). A secret is never taken from the command line, where every local user can read it.
#pragma once

#include <QString>

class Terminal
{
public:
    enum class Read
    {
        Ok,
        NoTerminal, // a prompt was needed but standard input is no terminal
        Failed      // end of input, or the two entries differ
    };

    static bool interactive();
    // One line of standard input, the line end dropped; false at end of input.
    static bool readLine(QString& line);
    // From standard input when fromStdin, else prompted on the terminal (twice when confirm). option names
    // the flag that reads standard input, for the error without a terminal.
    static Read readSecret(bool fromStdin, const QString& option, const QString& prompt, bool confirm,
                           QString& secret, QString* error);
    // "<question> [y/N]" on the terminal; true for y or yes.
    static bool confirm(const QString& question);
};
