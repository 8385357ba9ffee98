// Installing a CA-signed certificate: `moxsec cert install opcua LEAF --chain INTERMEDIATE --chain ROOT
// --yes` as a whole process. Two leaves for the installed key take turns, so each run replaces the
// certificate and backs up the pair; a third run installs the same leaf again, which changes nothing. The
// aim is a median under 50 ms. Usage (TMPDIR picks the file system):
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
                    "-out", ca + "leaf.pem"}) &&
           openssl({"x509", "-req", "-in", ca + "leaf.csr", "-CA", ca + "int.pem", "-CAkey", ca + "int.key",
                    "-CAcreateserial", "-days", "30", "-copy_extensions", "copy", "-extfile", ca + "leaf.ext",
                    "-out", ca + "leaf2.pem"});
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
    // Interleaved: a chain new to the issuers folder (emptied first, untimed); another leaf with the chain
    // in place, as when the same CA signs a renewal; that leaf again.
    const char* const kinds[] = {"chain new            ", "chain in place already", "same leaf again      "};
    std::vector<double> wall[3], cpu[3];
    QDir issuers(QString::fromStdString(root + "/mox/OpcUa/pki/issuers"));
    for (int i = 0; i < 3 * runs; ++i) {
        const int kind = i % 3;
        for (const QString& name : kind == 0 ? issuers.entryList(QDir::Files) : QStringList())
            issuers.remove(name);
        const std::string leaf = ca + (kind == 0 ? "leaf.pem" : "leaf2.pem");
        const double cpuBefore = childCpuMs();
        const std::int64_t start = monotonicNs();
        if (runQuiet({argv[1], "--root", root, "cert", "install", "opcua", leaf, "--chain", ca + "int.pem",
                      "--chain", ca + "root.pem", "--yes"}) != 0) {
            std::fprintf(stderr, "moxsec cert install failed\n");
            return 1;
        }
        wall[kind].push_back((monotonicNs() - start) / 1e6);
        cpu[kind].push_back(childCpuMs() - cpuBefore);
    }
    for (int kind = 0; kind < 3; ++kind)
        std::printf("cert install, %s  median %.1f ms wall, %.1f ms CPU (aim under 50 ms)\n", kinds[kind],
                    medianOf(wall[kind]), medianOf(cpu[kind]));
    return 0;
}
