// Whole processes spawned quietly for the benchmarks that time moxsec against openssl.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// The exit status, or -1; output goes to /dev/null so that printing is not what is timed.
inline int runQuiet(std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// User and system time of the waited-for children so far, in ms: moxsec's writes are synced, so the wall
// time also shows the disk, which openssl's unsynced output does not wait for.
inline double childCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// RUNS from a command line of MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS] (15 by default); 0 after printing the
// usage.
inline int runsAsked(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS]\n", argv[0]);
        return 0;
    }
    return argc > 3 ? std::atoi(argv[3]) : 15;
}
