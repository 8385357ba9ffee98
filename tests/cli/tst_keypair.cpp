// A key pair changes whole: moxsec killed at random moments of `cert generate --yes`, or failing at the
// certificate, leaves a key that fits the certificate in place, and the next run leaves nothing hidden.
#include <QtTest>

#include "testCertificates.h"
#include "testFiles.h"

#include <openssl/pem.h>

#include <csignal>
#include <fcntl.h>

class TestKeyPair : public QObject
{
    Q_OBJECT

private:
    QString own(const QString& relative) const { return m_dir->path() + "/mox/OpcUa/pki/own/" + relative; }
    // The exit code, or -1 when killed (SIGKILL after killAfterUs microseconds).
    int moxsec(const QStringList& arguments, int killAfterUs = -1) const
    {
        const QByteArray path = QFile::encodeName(m_dir->path() + "/bin:" + qEnvironmentVariable("PATH"));
        QList<QByteArray> args{MOXSEC_PATH, "--root", QFile::encodeName(m_dir->path())};
        for (const QString& argument : arguments)
            args << argument.toUtf8();
        std::vector<char*> argv;
        for (QByteArray& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("PATH", path.constData(), 1);
            ::dup2(::open("/dev/null", O_WRONLY), 1);
            ::dup2(1, 2);
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

    std::unique_ptr<QTemporaryDir> m_dir;
    const QStringList m_generate{"cert",    "generate", "opcua",      "--yes", "--country",      "DE",
                                 "--state", "BY",       "--locality", "M",     "--organization", "Acme"};

private slots:
    // A stand-in openssl hands out one of three ready pairs: fast enough for hundreds of kills, and a run's
    // key mostly differs from the one before.
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QCOMPARE(QProcess::execute("bash", {MOX_SAMPLE_SCRIPT, m_dir->path()}), 0);
        const QString pairs = m_dir->path() + "/pairs";
        TestCertificates certificates(pairs);
        for (const char* name : {"p0", "p1", "p2"})
            QVERIFY(!certificates.make(name, name).isEmpty());
        QVERIFY(QDir().mkpath(m_dir->path() + "/bin"));
        QVERIFY(writeFile(m_dir->path() + "/bin/openssl", QString(R"(#!/bin/bash
for a in "$@"; do [ "$p" = -signkey ] && k=$a; p=$a; done
case $1 in
genrsa) exec cat '%1/p'$(($$ % 3)).key ;;
req) echo request ;;
x509) for i in 0 1 2; do cmp -s "$k" '%1/p'$i.key && exec cat '%1/p'$i; done; exit 1 ;;
esac
)")
                                                              .arg(pairs)
                                                              .toUtf8()));
        QVERIFY(QFile::setPermissions(m_dir->path() + "/bin/openssl", QFile::ReadOwner | QFile::ExeOwner));
    }

    void killedGenerationLeavesAPair()
    {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(moxsec(m_generate), 0);
        const int runUs = int(timer.nsecsElapsed() / 1000) * 5 / 4; // kills over a whole run and a bit more
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        const int kills =
            qEnvironmentVariableIsSet("MOX_KILLS") ? qEnvironmentVariableIntValue("MOX_KILLS") : 200;
        for (int i = 0; i < kills; ++i) {
            const int after = random.bounded(runUs);
            moxsec(m_generate, after);
            if (i % 3 == 2)
                continue;       // the next generation, killed too, recovers from this one
            moxsec({"status"}); // the next run
            const QString context = QString("seed %1, kill %2 after %3 us").arg(seed).arg(i).arg(after);
            const QByteArray keyPem = readFile(own("private/key.pem")), certPem = readFile(own("cert.pem"));
            const auto bio = [](const QByteArray& pem) {
                return std::unique_ptr<BIO, decltype(&BIO_free)>(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                                 BIO_free);
            };
            const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
                PEM_read_bio_PrivateKey(bio(keyPem).get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
            const std::unique_ptr<X509, decltype(&X509_free)> cert(
                PEM_read_bio_X509(bio(certPem).get(), nullptr, nullptr, nullptr), X509_free);
            QVERIFY2(key && cert && X509_check_private_key(cert.get(), key.get()) == 1, qPrintable(context));
            QDirIterator it(own(""), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                QVERIFY2(!it.next().section('/', -1).startsWith('.'),
                         qPrintable(context + ": " + it.filePath()));
        }
    }

    // The certificate cannot be put in place (a folder holds its name): the old key stays, byte for byte.
    void failedCertificateKeepsOldPair()
    {
        QVERIFY(QDir().mkpath(own("cert.pem/inside")));
        QVERIFY(QDir().mkpath(own("private")) && writeFile(own("private/key.pem"), "old key\n"));
        QCOMPARE(moxsec(m_generate), 1);
        QCOMPARE(readFile(own("private/key.pem")), QByteArray("old key\n"));
        QVERIFY(QFileInfo(own("cert.pem/inside")).isDir());
        const auto all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(own("private")).entryList(all), QStringList{"key.pem"});
        QCOMPARE(QDir(own("")).entryList(all), (QStringList{"cert.pem", "private"}));
    }
};

QTEST_GUILESS_MAIN(TestKeyPair)
#include "tst_keypair.moc"
