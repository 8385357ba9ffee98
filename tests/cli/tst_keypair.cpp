// A key pair changes whole: moxsec killed at random moments of `cert generate --yes`, or failing at the
// certificate, leaves a key that fits the certificate in place, and the next run leaves nothing hidden.
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "testCertificates.h"
#include "testFiles.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QStringList s_generate{"cert",    "generate", "opcua",      "--yes", "--country",      "DE",
                             "--state", "BY",       "--locality", "M",     "--organization", "Acme",
                             "--bits",  "2048"};

// 1: the key in place opens and belongs to the certificate in place; 0: it does not; -1: one is unreadable.
int pairMatches(const QString& keyPath, const QString& certPath)
{
    const QByteArray keyPem = readFile(keyPath), certPem = readFile(certPath);
    BIO* keyBio = BIO_new_mem_buf(keyPem.constData(), keyPem.size());
    BIO* certBio = BIO_new_mem_buf(certPem.constData(), certPem.size());
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    const int result = key && cert ? X509_check_private_key(cert, key) : -1;
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(keyBio);
    BIO_free(certBio);
    return result;
}

// The exit code, or -1 when killed (SIGKILL after killAfterUs microseconds).
int moxsecRun(const QString& root, const QString& bin, const QStringList& arguments, int killAfterUs)
{
    const QByteArray searchPath = QFile::encodeName(bin + ':' + qEnvironmentVariable("PATH"));
    QList<QByteArray> args{MOXSEC_PATH, "--root", QFile::encodeName(root)};
    for (const QString& argument : arguments)
        args << argument.toUtf8();
    std::vector<char*> argv;
    for (QByteArray& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("PATH", searchPath.constData(), 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (killAfterUs >= 0) {
        ::usleep(useconds_t(killAfterUs));
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class TestKeyPair : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void killedGenerationLeavesAPair();
    void failedCertificateKeepsOldPair();

private:
    QString path(const QString& relative) const { return m_dir->path() + "/mox/OpcUa/pki/own/" + relative; }
    QStringList hidden() const;
    int moxsec(const QStringList& arguments, int killAfterUs = -1);

    std::unique_ptr<QTemporaryDir> m_dir;
};

// A sample installation, and a stand-in openssl that hands out one of three ready pairs: fast enough for
// a hundred kills, and each run's key differs from the last one's most of the time.
void TestKeyPair::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QCOMPARE(QProcess::execute("bash", {MOX_SAMPLE_SCRIPT, m_dir->path()}), 0);
    const QString pairs = m_dir->path() + "/pairs";
    TestCertificates certificates(pairs);
    for (const char* name : {"p0", "p1", "p2"})
        QVERIFY(!certificates.make(name, name).isEmpty());
    QDir().mkpath(m_dir->path() + "/bin");
    const QString script = m_dir->path() + "/bin/openssl";
    QVERIFY(writeFile(script, QString(R"(#!/bin/bash
for a in "$@"; do [ "$p" = -signkey ] && k=$a; p=$a; done
case $1 in
genrsa) exec cat '%1/p'$(($$ % 3)).key ;;
req) echo request ;;
x509) for i in 0 1 2; do cmp -s "$k" '%1/p'$i.key && exec cat '%1/p'$i; done; exit 1 ;;
esac
)")
                                  .arg(pairs)
                                  .toUtf8()));
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner));
}

QStringList TestKeyPair::hidden() const
{
    QStringList names;
    QDirIterator it(m_dir->path() + "/mox/OpcUa/pki", QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith('.'))
            names << it.filePath();
    }
    return names;
}

int TestKeyPair::moxsec(const QStringList& arguments, int killAfterUs)
{
    return moxsecRun(m_dir->path(), m_dir->path() + "/bin", arguments, killAfterUs);
}

void TestKeyPair::killedGenerationLeavesAPair()
{
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(moxsec(s_generate), 0);
    // Kills spread over a whole run, with some room for a slower one.
    const int runUs = int(timer.nsecsElapsed() / 1000);
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const int kills =
        qEnvironmentVariableIntValue("MOX_KILLS") > 0 ? qEnvironmentVariableIntValue("MOX_KILLS") : 200;
    for (int i = 0; i < kills; ++i) {
        const int after = random.bounded(runUs * 5 / 4);
        moxsec(s_generate, after);
        moxsec({"status"});
        const QString context = QString("seed %1, kill %2 after %3 us").arg(seed).arg(i).arg(after);
        QVERIFY2(pairMatches(path("private/key.pem"), path("cert.pem")) == 1, qPrintable(context));
        QVERIFY2(hidden().isEmpty(), qPrintable(context + ": " + hidden().join(", ")));
    }
}

// The certificate cannot be put in place (a folder holds its name): the old key stays, byte for byte.
void TestKeyPair::failedCertificateKeepsOldPair()
{
    QVERIFY(QDir().mkpath(path("private")) && writeFile(path("private/key.pem"), "old key\n"));
    QVERIFY(QDir().mkpath(path("cert.pem/inside")));
    QCOMPARE(moxsec(s_generate), 1);
    QCOMPARE(readFile(path("private/key.pem")), QByteArray("old key\n"));
    QVERIFY(QFileInfo(path("cert.pem/inside")).isDir());
    QCOMPARE(hidden(), QStringList());
}

QTEST_GUILESS_MAIN(TestKeyPair)
#include "tst_keypair.moc"
