// Generation: the certificate dialog's OK (OPC UA mode, 2048 bits, pass phrase) against the same three
// openssl commands run directly, runs interleaved, on the offscreen platform. Usage: bench_generation
// OPENSSL_DIR [RUNS]   (the folder of qvd_openssl.cnf and qvd_openssl_v3.ext)
#include "benchClock.h"
#include "certificateDialog.h"
#include "core/openSslTool.h"
#include "formField.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char kPassphrase[] = "bench-pass";

// openssl's progress chatter would bury the figures: standard error is muted while a run is timed.
class MutedStderr
{
public:
    MutedStderr() : m_saved(dup(STDERR_FILENO))
    {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~MutedStderr()
    {
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

bool runOpenSsl(const QStringList& arguments)
{
    std::vector<std::string> storage{"openssl"};
    for (const QString& argument : arguments)
        storage.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "openssl", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Files
{
    explicit Files(const QDir& dir)
        : cert(dir.filePath("cert.pem")), key(dir.filePath("private/key.pem")), csr(dir.filePath("temp.csr")),
          ext(dir.filePath("openssl_v3.ext"))
    {}
    void remove() const
    {
        for (const QString& file : {cert, key, csr, ext})
            QFile::remove(file);
    }
    QString cert, key, csr, ext;
};

CertificateDialog* makeDialog(const QString& opensslDir, const Files& files)
{
    auto* dialog =
        new CertificateDialog(true, opensslDir, files.cert, files.key, kPassphrase, "urn:MOX:UA:TestServer");
    field<QLineEdit>(dialog, "organizationLineEdit")->setText("Example Automation");
    field<QLineEdit>(dialog, "localityLineEdit")->setText("Springfield");
    field<QLineEdit>(dialog, "stateLineEdit")->setText("Bavaria");
    field<QLineEdit>(dialog, "countryLineEdit")->setText("DE");
    dialog->show();
    QApplication::processEvents();
    return dialog;
}

// The same three commands the dialog runs, with the extension copy it would have made ready beforehand.
double timeDirect(const QDir& opensslDir, const Files& files, const QString& subject, const QString& altNames)
{
    QDir().mkpath(QFileInfo(files.key).path());
    QFile::copy(opensslDir.filePath("qvd_openssl_v3.ext"), files.ext);
    QFile ext(files.ext);
    if (!ext.open(QIODevice::Append | QIODevice::Text) ||
        ext.write(("\nsubjectAltName=" + altNames).toUtf8()) < 0)
        return -1;
    ext.close();
    const QString pass = OpenSslTool::passphraseSource();
    setenv(OpenSslTool::passphraseVariable, kPassphrase, 1);

    bool made = false;
    const std::int64_t start = monotonicNs();
    {
        MutedStderr muted;
        made = runOpenSsl({"genrsa", "-des3", "-passout", pass, "-out", files.key, "2048"}) &&
               runOpenSsl({"req", "-new", "-out", files.csr, "-key", files.key, "-subj", subject, "-config",
                           opensslDir.filePath("qvd_openssl.cnf"), "-passin", pass}) &&
               runOpenSsl({"x509", "-req", "-in", files.csr, "-signkey", files.key, "-out", files.cert,
                           "-extfile", files.ext, "-passin", pass, "-sha256", "-days", "1825", "-outform",
                           "PEM"});
    }
    const double ms = double(monotonicNs() - start) / 1e6;
    unsetenv(OpenSslTool::passphraseVariable);
    made = made && QFile::exists(files.cert);
    files.remove();
    return made ? ms : -1;
}

double timeDialog(const QString& opensslDir, const Files& files)
{
    CertificateDialog* dialog = makeDialog(opensslDir, files);
    const std::int64_t start = monotonicNs();
    {
        MutedStderr muted;
        dialog->accept();
    }
    const double ms = double(monotonicNs() - start) / 1e6;
    const bool made = dialog->result() == QDialog::Accepted && QFile::exists(files.cert);
    delete dialog;
    files.remove();
    return made ? ms : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_generation OPENSSL_DIR [RUNS]\n");
        return 2;
    }
    const QDir opensslDir(QString::fromLocal8Bit(argv[1]));
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    const Files dialogFiles(QDir(work.filePath("dialog"))), directFiles(QDir(work.filePath("direct")));

    // The direct commands get the subject and alternative names the dialog itself composes.
    CertificateDialog* probe = makeDialog(opensslDir.path(), dialogFiles);
    const QString subject = "/C=DE/ST=Bavaria/L=Springfield/O=Example Automation/OU=/CN=" +
                            field<QLineEdit>(probe, "nameLineEdit")->text();
    const QString altNames = "URI:" + field<QLineEdit>(probe, "applicationURILineEdit")->text() +
                             ",DNS:" + field<QTextEdit>(probe, "domainNamesTextEdit")->toPlainText();
    delete probe;

    std::vector<double> dialogMs, directMs;
    for (int i = 0; i < runs; ++i) {
        const double viaDialog = timeDialog(opensslDir.path(), dialogFiles);
        const double direct = timeDirect(opensslDir, directFiles, subject, altNames);
        if (viaDialog < 0 || direct < 0) {
            std::fprintf(stderr, "bench_generation: a run did not make its certificate (%s)\n",
                         viaDialog < 0 ? "dialog" : "direct");
            return 1;
        }
        dialogMs.push_back(viaDialog);
        directMs.push_back(direct);
    }
    const double dialog = medianOf(dialogMs), direct = medianOf(directMs);
    std::printf("generation, OPC UA, 2048 bits, pass phrase (median of %d): dialog %.1f ms, openssl %.1f ms, "
                "ratio %.2f, difference %.1f ms\n",
                runs, dialog, direct, dialog / direct, dialog - direct);
    return 0;
}
