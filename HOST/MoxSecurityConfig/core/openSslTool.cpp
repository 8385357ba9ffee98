#include "core/openSslTool.h"

#include "core/posixIo.h"

#include <QtGlobal>

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

const char OpenSslTool::passphraseVariable[] = "MOX_SECURITY_CONFIG_PASSPHRASE";

namespace {
// Waits for the child until timeoutMs has passed; true when it has ended.
bool waitForExit(pid_t pid, int timeoutMs, int& status, const std::atomic<bool>* cancel)
{
    // A pidfd wakes us the moment the child ends; without one (old kernels), poll its status.
    const PosixIo::Descriptor pidfd(int(::syscall(SYS_pidfd_open, pid, 0)));
    timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return done == pid;
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeoutMs || (cancel && cancel->load()))
            return false;
        if (pidfd.valid()) {
            // In slices, so a cancel is seen within a tenth of a second.
            pollfd event{pidfd.get(), POLLIN, 0};
            ::poll(&event, 1, int(qMin<long>(timeoutMs - elapsed, cancel ? 100 : timeoutMs)));
        } else {
            ::usleep(2000);
        }
    }
}

// Pointers into strings for exec, ended by a null pointer; valid while the strings are.
std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& string : strings)
        pointers.push_back(&string[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Our environment for the child, with the pass phrase variable only when we give one: a variable inherited
// from our own environment must not stand in for a pass phrase we did not give.
std::vector<std::string> environmentFor(const QString* passphrase, const char* variable)
{
    const std::string prefix = std::string(variable) + "=";
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
            environment.emplace_back(*entry);
    }
    if (passphrase)
        environment.push_back(prefix + passphrase->toLocal8Bit().toStdString());
    return environment;
}

// The last line that is not blank of what the tool wrote to errorFd; only the tail is read, so a runaway
// tool cannot make us read megabytes.
QString lastLine(int errorFd)
{
    const off_t size = ::lseek(errorFd, 0, SEEK_END);
    const off_t from = size > 4096 ? size - 4096 : 0;
    std::string tail(std::size_t(size - from), '\0');
    const ssize_t got = tail.empty() ? 0 : ::pread(errorFd, &tail[0], tail.size(), from);
    tail.resize(got > 0 ? std::size_t(got) : 0);
    const QStringList lines =
        QString::fromLocal8Bit(tail.data(), int(tail.size())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = lines.size() - 1; i >= 0; --i) {
        if (!lines[i].trimmed().isEmpty())
            return lines[i].trimmed();
    }
    return QString();
}

} // namespace

QString OpenSslTool::passphraseSource()
{
    return QStringLiteral("env:") + QLatin1String(passphraseVariable);
}

int OpenSslTool::run(const QStringList& arguments, const QString* passphrase, int timeoutMs)
{
    Run options;
    options.passphrase = passphrase;
    options.timeoutMs = timeoutMs;
    return run(arguments, options).exitCode;
}

OpenSslTool::Result OpenSslTool::run(const QStringList& arguments, const Run& options)
{
    Result result;
    std::vector<std::string> argumentBytes{"openssl"};
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit().toStdString());
    std::vector<char*> argv = pointersTo(argumentBytes);
    std::vector<std::string> environmentBytes = environmentFor(options.passphrase, passphraseVariable);
    std::vector<char*> envp = pointersTo(environmentBytes);

    // The tool's diagnostics go to an anonymous file, so the cause of a failure can be shown to the user.
    const PosixIo::Descriptor errorFd(::memfd_create("openssl-stderr", MFD_CLOEXEC));

    // posix_spawn, not QProcess: forking the whole GUI process for each step costs some 4 ms a step.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stdinFd, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options.stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (errorFd.valid())
        posix_spawn_file_actions_adddup2(&actions, errorFd.get(), STDERR_FILENO);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.lastError = PosixIo::errorText(spawned);
        return result;
    }

    int status = 0;
    const int timeoutMs = options.timeoutMs < 0 ? s_defaultTimeoutMs : options.timeoutMs;
    if (!waitForExit(pid, timeoutMs, status, options.cancel)) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.cancelled = options.cancel && options.cancel->load();
        result.timedOut = !result.cancelled;
    } else {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (errorFd.valid())
        result.lastError = lastLine(errorFd.get());
    return result;
}

QString OpenSslTool::libraryVersion()
{
    return QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION));
}

QString OpenSslTool::toolVersion(int timeoutMs)
{
    // The tool writes its version to standard output, which a memory file catches.
    const int fd = int(::syscall(SYS_memfd_create, "openssl-version", 0));
    if (fd < 0)
        return QString();
    Run options;
    options.timeoutMs = timeoutMs;
    options.stdoutFd = fd;
    QString version;
    if (run({QStringLiteral("version")}, options).exitCode == 0) {
        char buffer[256];
        const ssize_t n = ::pread(fd, buffer, sizeof(buffer) - 1, 0);
        if (n > 0)
            version = QString::fromLocal8Bit(buffer, int(n)).trimmed();
    }
    ::close(fd);
    return version;
}
