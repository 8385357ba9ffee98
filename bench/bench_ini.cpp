// Reading speed of the INI library against inih, its growth with the file's size, and the cost of one
// user change, save included, in a large authorization file.
//
//   bench_ini [folder]    (default: $TMPDIR or /tmp; the files are written there and removed afterwards)

#include "IniAuth.h"
#include "IniManager.h"
#include "benchClock.h"

#ifdef MOX_HAVE_INIH
#include <ini.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// The medians of 15 runs of each work, in wall time (first half) and in processor time (second half); the
// works take turns, so that other work on the shared machine weighs on all of them alike, and the processor
// time shows what the work costs while that load stretches the wall time.
std::vector<double> medians(const std::vector<std::function<void()>>& works)
{
    std::vector<std::vector<double>> times(2 * works.size());
    for (int run = 0; run < 15; ++run) {
        for (std::size_t i = 0; i < works.size(); ++i) {
            const Clock::time_point start = Clock::now();
            const double cpu = cpuSeconds();
            works[i]();
            times[works.size() + i].push_back(cpuSeconds() - cpu);
            times[i].push_back(secondsSince(start));
        }
    }
    std::vector<double> result;
    for (const auto& t : times)
        result.push_back(medianOf(t));
    return result;
}

bool writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
    return bool(out);
}

// Values vary in length and content, as in real configurations.
std::string value(unsigned& seed)
{
    seed = seed * 1103515245u + 12345u;
    std::string text = "value_";
    for (unsigned n = 4 + (seed >> 16) % 24, x = seed; n > 0; --n, x = x * 69069u + 1u)
        text += char('a' + (x >> 24) % 26);
    return text;
}

// The generators write a file and return the bytes of section names, keys and values it holds, so that a
// read can be checked against it.

// Sections of 20 keys each until the size is reached.
long makeConfig(const std::string& path, std::size_t size)
{
    std::string text;
    text.reserve(size + 1024);
    unsigned seed = 1;
    long held = 0;
    for (int section = 0; text.size() < size; ++section) {
        const std::string name = "Section" + std::to_string(section);
        text += "[" + name + "]\r\n";
        held += long(name.size());
        for (int k = 0; k < 20; ++k) {
            const std::string key = "key" + std::to_string(k), v = value(seed);
            text += key + "=" + v + "\r\n";
            held += long(key.size() + v.size());
        }
        text += "\r\n";
    }
    return writeFile(path, text) ? held : -1;
}

long makeLongLine(const std::string& path, std::size_t size)
{
    std::string text = "[S]\r\nbig=";
    for (std::size_t i = 0; i < size; ++i)
        text += char('a' + i % 26);
    text += "\r\n";
    return writeFile(path, text) ? long(1 + 3 + size) : -1;
}

long makeUsers(const std::string& path, int users)
{
    const std::string roles[] = {"ADMIN", "OPERATOR", "GUEST"};
    std::string text;
    unsigned seed = 7;
    long held = 0;
    for (int r = 0; r < 3; ++r) {
        text += (r ? "\r\n[" : "[") + roles[r] + "]\r\n";
        held += long(roles[r].size());
        for (int u = r; u < users; u += 3) {
            std::string hash;
            for (int i = 0; i < 32; ++i, seed = seed * 1103515245u + 12345u)
                hash += char('A' + (seed >> 16) % 16);
            const std::string name = "user" + std::to_string(u);
            text += name + "=" + hash + "\r\n";
            held += long(name.size() + hash.size());
        }
    }
    return writeFile(path, text) ? held : -1;
}

std::size_t fileSize(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? std::size_t(in.tellg()) : 0;
}

// Reads the file into a document; returns the bytes it holds, -1 when the read failed.
long readOurs(const std::string& path)
{
    bool ok = false;
    Mox::Ini::IniManager manager(path, ok, true);
    long held = 0;
    for (const auto& section : *manager.getSections()) {
        held += long(section->m_name.size());
        for (const auto& pair : section->m_values)
            held += long(pair->m_key.size() + pair->m_value.size());
    }
    return ok ? held : -1;
}

#ifdef MOX_HAVE_INIH
// inih hands out pairs only; it builds the same kind of document for a fair comparison.
typedef std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> Document;

int onPair(void* user, const char* section, const char* name, const char* value)
{
    Document& doc = *static_cast<Document*>(user);
    if (doc.empty() || doc.back().first != section)
        doc.emplace_back(section, std::vector<std::pair<std::string, std::string>>());
    doc.back().second.emplace_back(name, value);
    return 1;
}

long readInih(const std::string& path)
{
    Document doc;
    if (ini_parse(path.c_str(), onPair, &doc) < 0) // a positive result is the first line it did not accept
        return -1;
    long held = 0;
    for (const auto& section : doc) {
        held += long(section.first.size());
        for (const auto& pair : section.second)
            held += long(pair.first.size() + pair.second.size());
    }
    return held;
}
#endif

void compareReads(const char* name, const std::string& folder,
                  const std::function<long(const std::string&, std::size_t)>& make, std::size_t size)
{
    const std::string single = folder + "/" + name + ".ini", doubled = folder + "/" + name + "-x2.ini";
    const long held = make(single, size), held2 = make(doubled, 2 * size);
    const double mb = fileSize(single) / 1e6, mb2 = fileSize(doubled) / 1e6;
    long got = 0, got2 = 0, theirs = 0;
    std::vector<std::function<void()>> works = {[&] { got = readOurs(single); },
                                                [&] { got2 = readOurs(doubled); }};
#ifdef MOX_HAVE_INIH
    works.push_back([&] { theirs = readInih(single); });
    works.push_back([&] { readInih(doubled); });
#endif
    const std::vector<double> t = medians(works);
    std::printf("%-12s %7.2f MB  ours %8.1f MB/s %8.3f s | doubled %7.2f MB %8.3f s, x%.2f\n", name, mb,
                mb / t[0], t[0], mb2, t[1], t[1] / t[0]);
    if (got != held || got2 != held2)
        std::printf("  ! our read holds %ld and %ld bytes, the files %ld and %ld\n", got, got2, held, held2);
#ifdef MOX_HAVE_INIH
    std::printf("%-12s %7s     inih %8.1f MB/s %8.3f s | doubled %8.3f s, x%.2f | ours/inih time x%.2f\n", "",
                "", mb / t[2], t[2], t[3], t[3] / t[2], t[0] / t[2]);
    std::printf(
        "%-12s %7s     processor time: ours %.1f ms, doubled x%.2f | inih %.1f ms | ours/inih x%.2f\n", "",
        "", 1e3 * t[4], t[5] / t[4], 1e3 * t[6], t[4] / t[6]);
    if (theirs != held)
        std::printf("  ! inih holds %ld of the file's %ld bytes: it cuts lines at its line limit\n", theirs,
                    held);
#endif
    std::remove(single.c_str());
    std::remove(doubled.c_str());
}

struct Times
{
    double total = 0, worst = 0;
    int count = 0, failures = 0;
    void add(double t, bool ok)
    {
        total += t;
        worst = std::max(worst, t);
        ++count;
        failures += ok ? 0 : 1;
    }
    void print(const char* what) const
    {
        std::printf("  %-8s %3d x: mean %6.2f ms, worst %6.2f ms%s\n", what, count, 1e3 * total / count,
                    1e3 * worst, failures ? "  ! some failed" : "");
    }
};

void userChanges(const std::string& folder, int users)
{
    using namespace Mox::Ini;
    const std::string path = folder + "/users.ini";
    makeUsers(path, users);
    bool ok = false;
    const Clock::time_point start = Clock::now();
    IniAuth auth(path, ok, "salt");
    std::printf("users %6d: file %.2f MB, loaded in %.2f ms%s\n", users, fileSize(path) / 1e6,
                1e3 * secondsSince(start), ok ? "" : "  ! read failed");
    Times add, rename, remove;
    for (int i = 0; i < 100; ++i) {
        const Clock::time_point t = Clock::now();
        const bool good =
            auth.addUser("bench" + std::to_string(i), "password1", eAuthRole_Guest) == eAuthRoleCode_Good;
        add.add(secondsSince(t), good);
    }
    for (int i = 0; i < 100; ++i) {
        const Clock::time_point t = Clock::now();
        const bool good =
            auth.renameUser("bench" + std::to_string(i), "renamed" + std::to_string(i)) == eAuthRoleCode_Good;
        rename.add(secondsSince(t), good);
    }
    for (int i = 0; i < 100; ++i) {
        const Clock::time_point t = Clock::now();
        const bool good = auth.removeUser("renamed" + std::to_string(i)) == eAuthRoleCode_Good;
        remove.add(secondsSince(t), good);
    }
    add.print("add");
    rename.print("rename");
    remove.print("remove");
    std::remove(path.c_str());
}

std::string firstLine(const char* file, const char* prefix)
{
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, std::string(prefix).size(), prefix) == 0)
            return line.substr(line.find(':') + 2);
    }
    return "?";
}

std::string fileSystem(const std::string& folder)
{
    struct statfs fs;
    if (::statfs(folder.c_str(), &fs) != 0)
        return "?";
    switch (fs.f_type) {
    case 0xEF53:
        return "ext2/3/4";
    case 0x01021994:
        return "tmpfs";
    case 0x794C7630:
        return "overlayfs";
    case 0x9123683E:
        return "btrfs";
    case 0x58465342:
        return "xfs";
    default:
        return "other";
    }
}
} // namespace

int main(int argc, char** argv)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(argc > 1 ? argv[1] : tmp ? tmp : "/tmp") + "/bench_ini.XXXXXX";
    if (!::mkdtemp(&folder[0])) {
        std::perror("mkdtemp");
        return 1;
    }
    std::ifstream loadavg("/proc/loadavg");
    std::string load;
    std::getline(loadavg, load);
    std::printf("machine: %s, %ld cores, load %s\nfolder: %s (%s); each read: the median of 15 runs, ours "
                "and inih in turn\n",
                firstLine("/proc/cpuinfo", "model name").c_str(), ::sysconf(_SC_NPROCESSORS_ONLN),
                load.c_str(), folder.c_str(), fileSystem(folder).c_str());
#ifndef MOX_HAVE_INIH
    std::printf("inih: not found at build time, no comparison\n");
#endif
    std::printf("\n");

    compareReads("config", folder, makeConfig, 10u << 20);
    compareReads("long-line", folder, makeLongLine, 4u << 20);
    compareReads(
        "users", folder, [](const std::string& p, std::size_t n) { return makeUsers(p, int(n)); }, 10000);
    std::printf("\n");
    userChanges(folder, 10000);
    userChanges(folder, 20000);
    ::rmdir(folder.c_str());
    return 0;
}
