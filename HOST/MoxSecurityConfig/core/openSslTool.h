// The one place that runs the openssl command-line tool.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>

class OpenSslTool
{
public:
    // Environment variable that carries a pass phrase to the child; it is set in the child's environment
    // only, never on its command line, where every local user could read it.
    static const char passphraseVariable[];
    // No run may outlast this: a key path naming a device or FIFO must never hang the tool.
    static const int s_defaultTimeoutMs = 30000;

    // The argument that makes openssl read the pass phrase from that variable ("env:NAME"), for -passin and
    // -passout.
    static QString passphraseSource();

    struct Run
    {
        const QString* passphrase = nullptr; // put into the child's environment when not null
        int timeoutMs = s_defaultTimeoutMs;
        int stdinFd = -1;                          // the child's standard input; /dev/null when -1
        int stdoutFd = -1;                         // the child's standard output; /dev/null when -1
        const std::atomic<bool>* cancel = nullptr; // when it turns true, the run is killed
    };

    struct Result
    {
        int exitCode = -1; // -1 when the tool could not start, crashed or was killed at the time limit
        bool timedOut = false;
        bool cancelled = false;
        QString lastError; // the last non-empty line the tool wrote to its standard error
    };

    // The libcrypto the core is linked with ("OpenSSL 3.0.x ...").
    static QString libraryVersion();
    // What "openssl version" prints (time-limited); empty when the tool does not run.
    static QString toolVersion(int timeoutMs = 5000);

    // Runs "openssl" from the search path. A run still going after the time limit is killed.
    static Result run(const QStringList& arguments, const Run& options);
    // The same with only a pass phrase and a time limit; returns the exit code (-1 as above).
    static int run(const QStringList& arguments, const QString* passphrase = nullptr,
                   int timeoutMs = s_defaultTimeoutMs);
};
