// The one place that runs the openssl command-line tool.
#pragma once

#include <QString>
#include <QStringList>

class OpenSslTool
{
public:
    // Environment variable that carries a pass phrase to the child; it is set in the child's environment
    // only, never on its command line, where every local user could read it.
    static const char passphraseVariable[];

    // The argument that makes openssl read the pass phrase from that variable ("env:NAME"), for -passin and
    // -passout.
    static QString passphraseSource();

    // Runs "openssl" from the search path with stdin and stdout on /dev/null; stderr is passed through.
    // A non-null passphrase is put into the child's environment. Returns the exit code, or -1 when the tool
    // could not start, crashed, or was still running after timeoutMs (it is then killed). A negative
    // timeoutMs waits as long as it takes.
    static int run(const QStringList& arguments, const QString* passphrase = nullptr, int timeoutMs = -1);
};
