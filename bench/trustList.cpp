// Listing the client-certificate folders: TrustStore::list on one thread and on every core, against a plain
// single-threaded libcrypto loop that only reads and parses the same files; and the Client Certificates tab:
// its first rows, the time until every row is in, and the longest the event loop went without a turn
// meanwhile. 10,000 certificates by default, half PEM, half DER, made in process in a temporary folder.
// Usage: bench_trust_list [CERTIFICATES] [RUNS]
#include "benchClock.h"
#include "clientCertificatesTab.h"

#include "core/sslPointers.h"
#include "core/trustStore.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTableWidget>
#include <QTemporaryDir>

#include <openssl/ec.h>
#include <openssl/pem.h>

#include <QTimer>

#include <cstdio>
#include <dirent.h>
#include <thread>

namespace {

bool makeCertificates(const QString& folder, int count)
{
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        return false;
    for (int i = 0; i < count; ++i) {
        X509Ptr x(X509_new());
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), i + 1);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600L * 24 * (10 + i % 400));
        X509_set_pubkey(x.get(), key.get());
        X509_NAME* name = X509_get_subject_name(x.get());
        const QByteArray cn = "Client " + QByteArray::number(i);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn.data()), -1, -1, 0);
        X509_set_issuer_name(x.get(), name);
        const QByteArray uri = "URI:urn:plant:client:" + QByteArray::number(i);
        X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, uri.constData());
        X509_add_ext(x.get(), san, -1);
        X509_EXTENSION_free(san);
        if (!X509_sign(x.get(), key.get(), EVP_sha256()))
            return false;
        const bool der = i % 2;
        const QByteArray path =
            QFile::encodeName(folder + "/client" + QString::number(i) + (der ? ".der" : ".pem"));
        FILE* file = std::fopen(path.constData(), "wb");
        if (!file)
            return false;
        const bool ok = der ? i2d_X509_fp(file, x.get()) == 1 : PEM_write_X509(file, x.get()) == 1;
        std::fclose(file);
        if (!ok)
            return false;
    }
    return true;
}

// What any tool must do at least: read each file and parse the certificate in it.
int plainLoop(const QByteArray& folder)
{
    int parsed = 0;
    DIR* dir = opendir(folder.constData());
    while (const dirent* item = readdir(dir)) {
        if (item->d_name[0] == '.')
            continue;
        FILE* file = std::fopen((folder + '/' + item->d_name).constData(), "rb");
        if (!file)
            continue;
        const bool pem = QByteArray(item->d_name).endsWith(".pem");
        X509* x = pem ? PEM_read_X509(file, nullptr, nullptr, nullptr) : d2i_X509_fp(file, nullptr);
        parsed += x != nullptr;
        X509_free(x);
        std::fclose(file);
    }
    closedir(dir);
    return parsed;
}

struct TabFigures
{
    double firstRows = 0, filled = 0, longestGap = 0;
    int rows = 0;
};

// The tab given the folders: until its first rows are painted, then until every row is in, with a timer
// that fires at every turn of the event loop to find the longest time the window could not react.
TabFigures fillTab(QApplication& app, ClientCertificatesTab& tab, const TrustStore::Folders& folders)
{
    TabFigures figures;
    std::int64_t start = monotonicNs();
    tab.setFolders(folders);
    app.processEvents();
    figures.firstRows = (monotonicNs() - start) / 1e6;
    QEventLoop loop;
    QTimer turn;
    std::int64_t last = monotonicNs();
    QObject::connect(&turn, &QTimer::timeout, [&] {
        const std::int64_t now = monotonicNs();
        figures.longestGap = std::max(figures.longestGap, (now - last) / 1e6);
        last = now;
    });
    turn.start(0);
    tab.whenFilled([&] { loop.quit(); });
    loop.exec();
    figures.filled = (monotonicNs() - start) / 1e6;
    figures.rows = tab.findChild<QTableWidget*>()->rowCount();
    return figures;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    QTemporaryDir dir;
    const QString pki = dir.path() + "/pki";
    const TrustStore::Folders folders{pki + "/trusted/certs", pki + "/issuers/certs", pki + "/issuers/crl",
                                      pki + "/rejected"};
    for (const QString& folder : {folders.trusted, folders.issuers, folders.revocation, folders.rejected})
        QDir().mkpath(folder);
    if (!makeCertificates(folders.trusted, count)) {
        std::fprintf(stderr, "cannot make the certificates\n");
        return 1;
    }
    const QByteArray trusted = QFile::encodeName(folders.trusted);
    ClientCertificatesTab tab;
    tab.resize(900, 500);
    tab.show();
    std::vector<double> plain, oneThread, listed, names, first, filled, gaps;
    int parsed = 0, entries = 0, rows = 0;
    for (int run = 0; run < runs; ++run) { // interleaved, so the page cache and the machine's load are shared
        std::int64_t start = monotonicNs();
        parsed = plainLoop(trusted);
        plain.push_back((monotonicNs() - start) / 1e6);
        TrustStore store(folders);
        store.setThreads(1);
        start = monotonicNs();
        entries = int(store.list().size());
        oneThread.push_back((monotonicNs() - start) / 1e6);
        start = monotonicNs();
        store.listNames();
        names.push_back((monotonicNs() - start) / 1e6);
        store.setThreads(0);
        start = monotonicNs();
        entries = std::min(entries, int(store.list().size()));
        listed.push_back((monotonicNs() - start) / 1e6);
        const TabFigures figures = fillTab(app, tab, folders);
        first.push_back(figures.firstRows);
        filled.push_back(figures.filled);
        gaps.push_back(figures.longestGap);
        rows = figures.rows;
    }
    const double p = medianOf(plain), o = medianOf(oneThread), l = medianOf(listed);
    std::printf("%d certificates (half PEM, half DER), medians of %d runs, %u cores\n", count, runs,
                std::thread::hardware_concurrency());
    std::printf("plain libcrypto loop:          %8.2f ms (%d parsed)\n", p, parsed);
    std::printf("TrustStore::list, one thread:  %8.2f ms, ratio %.2f\n", o, o / p);
    std::printf("TrustStore::list, every core:  %8.2f ms (%d entries), ratio %.2f\n", l, entries, l / p);
    std::printf("names alone (listNames):       %8.2f ms\n", medianOf(names));
    std::printf("tab: first rows painted        %8.2f ms\n", medianOf(first));
    std::printf("tab: every row in              %8.2f ms (%d rows), longest event-loop gap %.2f ms\n",
                medianOf(filled), rows, medianOf(gaps));
    return parsed == count && entries == count && rows == count ? 0 : 1;
}
