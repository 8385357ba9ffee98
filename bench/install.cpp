// Installing a CA-signed certificate: `moxsec cert install opcua LEAF --chain INTERMEDIATE --chain ROOT
// --yes` as a whole process, the same leaf each run (each run backs up the pair before and imports the CAs
// anew). The aim is a median under 50 ms. Usage (TMPDIR picks the file system):
//   bench_install MOXSEC INSTALL_SAMPLE_SCRIPT [RUNS]
#include "benchClock.h"
#include "spawnQuiet.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

bool writeText(const std::string& path, const char* text)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) > 0;
}

// A root, an intermediate it signed and a leaf the intermediate signed for the installed OPC UA key; the
// trust folders, for the CAs to go into.
bool lay(const std::string& moxsec, const std::string& root, const std::string& sample)
{
    const std::string own = root + "/mox/OpcUa/pki/own", key = own + "/private/key.pem", ca = root + "/ca/";
    const auto openssl = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "openssl");
        return runQuiet(arguments) == 0;
    };
    const std::string caUsages = "keyUsage=keyCertSign,cRLSign";
    return runQuiet({"bash", sample, root}) == 0 && runQuiet({"mkdir", "-p", own + "/private", ca}) == 0 &&
           runQuiet({moxsec, "--root", root, "folders", "create"}) == 0 &&
           writeText(ca + "ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n") &&
           writeText(ca + "leaf.ext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
                                      "dataEncipherment\nextendedKeyUsage=serverAuth,clientAuth\n") &&
           openssl({"genrsa", "-out", key, "2048"}) &&
           openssl({"req", "-x509", "-key", key, "-out", own + "/cert.pem", "-subj", "/CN=bench", "-days",
                    "1"}) &&
           openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + "root.key", "-out",
                    ca + "root.pem", "-subj", "/CN=Bench Root", "-days", "10", "-addext",
                    "basicConstraints=critical,CA:TRUE", "-addext", caUsages}) &&
           openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + "int.key", "-out",
                    ca + "int.csr", "-subj", "/CN=Bench Intermediate"}) &&
           openssl({"x509", "-req", "-in", ca + "int.csr", "-CA", ca + "root.pem", "-CAkey", ca + "root.key",
                    "-CAcreateserial", "-days", "10", "-extfile", ca + "ca.ext", "-out", ca + "int.pem"}) &&
           openssl({"req", "-new", "-key", key, "-subj", "/CN=bench", "-addext",
                    "subjectAltName=URI:urn:MOX:UA:TestServer", "-out", ca + "leaf.csr"}) &&
           openssl({"x509", "-req", "-in", ca + "leaf.csr", "-CA", ca + "int.pem", "-CAkey", ca + "int.key",
                    "-CAcreateserial", "-days", "30", "-copy_extensions", "copy", "-extfile", ca + "leaf.ext",
                    "-out", ca + "leaf.pem"});
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = runsAsked(argc, argv);
    if (runs <= 0)
        return 2;
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString(), ca = root + "/ca/";
    if (!dir.isValid() || !lay(argv[1], root, argv[2])) {
        std::fprintf(stderr, "cannot set up the installation in %s\n", root.c_str());
        return 1;
    }
    // Interleaved: a chain new to the issuers folder (emptied first, untimed), and the same chain again, as
    // when the same CA signs a renewal.
    std::vector<double> wall[2], cpu[2];
    QDir issuers(QString::fromStdString(root + "/mox/OpcUa/pki/issuers"));
    for (int i = 0; i < 2 * runs; ++i) {
        const int again = i % 2;
        for (const QString& name : again ? QStringList() : issuers.entryList(QDir::Files))
            issuers.remove(name);
        const double cpuBefore = childCpuMs();
        const std::int64_t start = monotonicNs();
        if (runQuiet({argv[1], "--root", root, "cert", "install", "opcua", ca + "leaf.pem", "--chain",
                      ca + "int.pem", "--chain", ca + "root.pem", "--yes"}) != 0) {
            std::fprintf(stderr, "moxsec cert install failed\n");
            return 1;
        }
        wall[again].push_back((monotonicNs() - start) / 1e6);
        cpu[again].push_back(childCpuMs() - cpuBefore);
    }
    for (int again : {0, 1})
        std::printf("cert install, %s  median %.1f ms wall, %.1f ms CPU (aim under 50 ms)\n",
                    again ? "chain in place already" : "chain new            ", medianOf(wall[again]),
                    medianOf(cpu[again]));
    return 0;
}
