// Renewal: `moxsec cert renew opcua --yes` with the key kept against one `openssl x509` self-signing run of
// the same certificate and key, runs interleaved, whole processes both. Usage:
//   bench_renew MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS]
#include "benchClock.h"

#include <QByteArray>
#include <QTemporaryDir>

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

namespace {

// The exit status, or -1; output goes to /dev/null so that printing is not what is timed.
int run(std::vector<std::string> arguments)
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

// User and system time of the waited-for children so far, in ms: the renewal's writes are synced, so the
// wall time also shows the disk, which openssl's unsynced output does not wait for.
double childCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 15;
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string own = root + "/mox/OpcUa/pki/own", cert = own + "/cert.pem",
                      key = own + "/private/key.pem";
    if (!dir.isValid() || run({"bash", argv[2], root}) != 0 || run({"mkdir", "-p", own + "/private"}) != 0 ||
        run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
             "-days", "365", "-subj", "/CN=bench", "-addext", "subjectAltName=URI:urn:bench"}) != 0) {
        std::fprintf(stderr, "cannot set up the installation in %s\n", root.c_str());
        return 1;
    }
    std::vector<double> renew, openssl, renewCpu, opensslCpu;
    for (int i = 0; i < runs; ++i) {
        double cpu = childCpuMs();
        std::int64_t start = monotonicNs();
        if (run({argv[1], "--root", root, "cert", "renew", "opcua", "--yes"}) != 0) {
            std::fprintf(stderr, "moxsec cert renew failed\n");
            return 1;
        }
        renew.push_back((monotonicNs() - start) / 1e6);
        renewCpu.push_back(childCpuMs() - cpu);
        cpu = childCpuMs();
        start = monotonicNs();
        if (run({"openssl", "x509", "-in", cert, "-signkey", key, "-days", "365", "-out",
                 root + "/signed.pem"}) != 0) {
            std::fprintf(stderr, "openssl x509 failed\n");
            return 1;
        }
        openssl.push_back((monotonicNs() - start) / 1e6);
        opensslCpu.push_back(childCpuMs() - cpu);
    }
    const double ours = medianOf(renew), theirs = medianOf(openssl);
    const double oursCpu = medianOf(renewCpu), theirsCpu = medianOf(opensslCpu);
    std::printf("cert renew (key kept)  median %.1f ms wall, %.1f ms CPU\n", ours, oursCpu);
    std::printf("openssl x509 -signkey  median %.1f ms wall, %.1f ms CPU\n", theirs, theirsCpu);
    std::printf("ratio                  %.2f wall, %.2f CPU (target at most 1.2)\n", ours / theirs,
                oursCpu / theirsCpu);
    return 0;
}
