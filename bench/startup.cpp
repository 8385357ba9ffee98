// Start-up: from process start to the first paint, the real window on a sample installation against the
// window's form alone (no configuration read) and a bare application with an empty main window, all of the
// same size on the offscreen platform, runs interleaved. Form minus bare is the form's cost, window minus
// form our logic's, bare Qt's own.
// Usage: bench_startup SAMPLE_ROOT [RUNS]   (the children lie beside this program)
#include "benchClock.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Paint
{
    double ms = -1;
    int width = 0;
    int height = 0;
};

std::string besideMe(const char* name)
{
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", &self[0], self.size());
    self.resize(length > 0 ? std::size_t(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
}

// Runs a child and returns the time from just before its start to the first paint it reports.
Paint timeChild(const std::vector<std::string>& arguments)
{
    Paint paint;
    int channel[2];
    if (pipe(channel) != 0)
        return paint;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, channel[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, channel[0]);
    posix_spawn_file_actions_addclose(&actions, channel[1]);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const std::int64_t start = monotonicNs();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(channel[1]);
    if (spawned != 0) {
        close(channel[0]);
        return paint;
    }
    std::string output;
    char buffer[256];
    ssize_t count;
    while ((count = read(channel[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, std::size_t(count));
    close(channel[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    long long paintedNs = 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        std::sscanf(output.c_str(), "%lld %d %d", &paintedNs, &paint.width, &paint.height) == 3)
        paint.ms = double(paintedNs - start) / 1e6;
    return paint;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_startup SAMPLE_ROOT [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::vector<std::string> window{besideMe("bench_startup_window"), argv[1]};

    // One unmeasured run of each warms the file cache and tells the window's size.
    const Paint first = timeChild(window);
    if (first.ms < 0) {
        std::fprintf(stderr, "bench_startup: the window did not report its first paint\n");
        return 1;
    }
    const std::string width = std::to_string(first.width), height = std::to_string(first.height);
    const std::vector<std::string> bare{besideMe("bench_startup_bare"), width, height};
    const std::vector<std::string> form{besideMe("bench_startup_form"), width, height};
    timeChild(bare);
    timeChild(form);

    std::vector<double> windowMs, formMs, bareMs;
    for (int i = 0; i < runs; ++i) {
        const Paint ours = timeChild(window);
        const Paint formOnly = timeChild(form);
        const Paint empty = timeChild(bare);
        if (ours.ms < 0 || formOnly.ms < 0 || empty.ms < 0) {
            std::fprintf(stderr, "bench_startup: a child did not report its first paint\n");
            return 1;
        }
        windowMs.push_back(ours.ms);
        formMs.push_back(formOnly.ms);
        bareMs.push_back(empty.ms);
    }
    const double ours = medianOf(windowMs), formOnly = medianOf(formMs), empty = medianOf(bareMs);
    std::printf(
        "start-up to first paint (%dx%d, median of %d): window %.1f ms, form only %.1f ms, bare %.1f ms\n"
        "  window/bare %.2f, window/form %.2f, form/bare %.2f; Qt %.1f ms, form %.1f ms, our logic %.1f ms\n",
        first.width, first.height, runs, ours, formOnly, empty, ours / empty, ours / formOnly,
        formOnly / empty, empty, formOnly - empty, ours - formOnly);
    return 0;
}
