// Renewal: `moxsec cert renew opcua --yes` with the key kept against one `openssl x509` self-signing run of
// the same certificate and key, runs interleaved, whole processes both. Usage:
//   bench_renew MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS]
#include "benchClock.h"
#include "spawnQuiet.h"

#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int runs = runsAsked(argc, argv);
    if (runs <= 0)
        return 2;
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string own = root + "/mox/OpcUa/pki/own", cert = own + "/cert.pem",
                      key = own + "/private/key.pem";
    if (!dir.isValid() || runQuiet({"bash", argv[2], root}) != 0 ||
        runQuiet({"mkdir", "-p", own + "/private"}) != 0 ||
        runQuiet({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                  "-days", "365", "-subj", "/CN=bench", "-addext", "subjectAltName=URI:urn:bench"}) != 0) {
        std::fprintf(stderr, "cannot set up the installation in %s\n", root.c_str());
        return 1;
    }
    std::vector<double> renew, openssl, renewCpu, opensslCpu;
    for (int i = 0; i < runs; ++i) {
        double cpu = childCpuMs();
        std::int64_t start = monotonicNs();
        if (runQuiet({argv[1], "--root", root, "cert", "renew", "opcua", "--yes"}) != 0) {
            std::fprintf(stderr, "moxsec cert renew failed\n");
            return 1;
        }
        renew.push_back((monotonicNs() - start) / 1e6);
        renewCpu.push_back(childCpuMs() - cpu);
        cpu = childCpuMs();
        start = monotonicNs();
        if (runQuiet({"openssl", "x509", "-in", cert, "-signkey", key, "-days", "365", "-out",
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
