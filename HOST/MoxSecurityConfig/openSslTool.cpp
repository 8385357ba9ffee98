#include "openSslTool.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

const char OpenSslTool::passphraseVariable[] = "MOX_SECURITY_CONFIG_PASSPHRASE";

namespace {
// Waits for the child until timeoutMs has passed (forever when negative); true when it has ended.
bool waitForExit(pid_t pid, int timeoutMs, int& status)
{
    if (timeoutMs < 0) {
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    // A pidfd wakes us the moment the child ends; without one (old kernels), poll its status.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            if (pidfd >= 0)
                ::close(pidfd);
            return done == pid;
        }
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeoutMs) {
            if (pidfd >= 0)
                ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd event{pidfd, POLLIN, 0};
            ::poll(&event, 1, int(timeoutMs - elapsed));
        } else {
            ::usleep(2000);
        }
    }
}
} // namespace

QString OpenSslTool::passphraseSource()
{
    return QStringLiteral("env:") + QLatin1String(passphraseVariable);
}

int OpenSslTool::run(const QStringList& arguments, const QString* passphrase, int timeoutMs)
{
    std::vector<std::string> argumentBytes{"openssl"};
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit().toStdString());
    std::vector<char*> argv;
    for (std::string& argument : argumentBytes)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    // A variable inherited from our own environment must not stand in for a pass phrase we did not give.
    const std::string prefix = std::string(passphraseVariable) + "=";
    std::vector<std::string> environmentBytes;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
            environmentBytes.emplace_back(*entry);
    }
    if (passphrase)
        environmentBytes.push_back(prefix + passphrase->toLocal8Bit().toStdString());
    std::vector<char*> envp;
    for (std::string& entry : environmentBytes)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    // posix_spawn, not QProcess: forking the whole GUI process for each step cost some 4 ms a step.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;

    int status = 0;
    if (!waitForExit(pid, timeoutMs, status)) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
