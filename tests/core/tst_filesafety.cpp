#include "core/fileSafety.h"
#include "core/folderGuard.h"

#include "testFiles.h"

#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QByteArray name(const QString& p)
{
    return QFile::encodeName(p);
}

bool openssl(const QString& dir, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QStringList temporaries(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden | QDir::System);
}

// A tmpfs (or a bind mount of source) on target, unmounted before the temporary folder that holds it goes.
struct Mount
{
    QByteArray target;
    int error = 0;
    Mount(const QString& where, const QString& source = QString()) : target(name(where))
    {
        const bool bind = !source.isEmpty();
        if (!where.isEmpty() && ::mount(bind ? name(source).constData() : "tmpfs", target.constData(),
                                        bind ? nullptr : "tmpfs", bind ? MS_BIND : 0, "size=64k") != 0)
            error = errno;
    }
    ~Mount()
    {
        if (!target.isEmpty() && !error)
            ::umount2(target.constData(), MNT_DETACH);
    }
    QString skip() const { return QStringLiteral("mounting is not permitted here: %1").arg(strerror(error)); }
};

} // namespace

class TestFileSafety : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    QString m_cwd = QDir::currentPath();
    QByteArray m_home = qgetenv("HOME");
    mode_t m_umask = ::umask(022);

    QString cert(const char* file) const { return m_certs.filePath(QLatin1String(file)); }

private slots:
    void initTestCase()
    {
        ::umask(m_umask);
        const QString d = m_certs.path();
        QVERIFY(openssl(d, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-subj", "/CN=x", "-keyout", "k.pem", "-out", "c.pem", "-days", "1"}));
        QVERIFY(openssl(d, {"x509", "-in", "c.pem", "-outform", "DER", "-out", "c.der"}));
        QVERIFY(writeFile(cert("ca.cnf"), "[ca]\ndefault_ca=CA\n[CA]\ndatabase=index.txt\ndefault_md=sha256\n"
                                          "default_crl_days=1\n") &&
                writeFile(cert("index.txt"), ""));
        QVERIFY(openssl(d, {"ca", "-gencrl", "-config", "ca.cnf", "-keyfile", "k.pem", "-cert", "c.pem",
                            "-out", "crl.pem"}));
        QVERIFY(openssl(d, {"crl", "-in", "crl.pem", "-outform", "DER", "-out", "crl.der"}));
    }

    void cleanup()
    {
        QDir::setCurrent(m_cwd);
        qputenv("HOME", m_home);
        ::umask(m_umask);
    }

    void guardKeeps_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("because");
        QTest::addColumn<bool>("dangerous"); // resolves outside the temporary folder: keepReason only
        const auto row = [](const char* folder, const char* because, bool dangerous = false) {
            QTest::newRow(folder) << folder << because << dangerous;
        };
        row("a/link/..", "MoxCore.ini");
        row("/proc/self/root/..", "system folder '/'", true);
        row("/proc/self/root", "system folder '/'", true);
        row("/proc/self/cwd/..", "MoxOpcUa.ini"); // from pki
        row("missing", "users");                  // the users file is not there
        row("c1", "c1/notes.txt");                // a text file
        row("c2", "c2/x.pem");                    // text named .pem
        row("c3", "c3/link' is a symbolic link"); // to outside
        row("c4/sub", "c4/sub/fifo' is a FIFO");
        row("h/me", "home folder");
        row("h", "home folder"); // holds a home
    }

    void guardKeeps()
    {
        QFETCH(QString, folder);
        QFETCH(QString, because);
        QFETCH(bool, dangerous);
        QTemporaryDir t;
        const auto p = [&t](const char* rel) { return t.filePath(QLatin1String(rel)); };
        for (const char* dir : {"pki", "x/y", "a", "missing", "c4/sub", "h/me", "c1", "c2", "c3"})
            QVERIFY(QDir(t.path()).mkpath(dir));
        QVERIFY(writeFile(p("MoxOpcUa.ini"), "[ua]\n") && writeFile(p("x/MoxCore.ini"), "[core]\n") &&
                writeFile(p("c1/notes.txt"), "notes") && writeFile(p("c2/x.pem"), "not a certificate") &&
                writeFile(p("outside.txt"), "outside"));
        for (const char* dir : {"c1", "c2", "c3", "c4"})
            QVERIFY(QFile::copy(cert("c.pem"), p(dir) + "/c.pem"));
        QVERIFY(QFile::link(p("x/y"), p("a/link")) && QFile::link(p("outside.txt"), p("c3/link")));
        QVERIFY(::mkfifo(name(p("c4/sub/fifo")).constData(), 0600) == 0);
        QVERIFY(QDir::setCurrent(p("pki")));
        qputenv("HOME", name(p("h/me")));
        const FolderGuard guard({p("MoxOpcUa.ini"), p("x/MoxCore.ini"), p("missing/users"), QString()});
        const QString configured = folder.startsWith('/') ? folder : t.filePath(folder);

        QVERIFY2(guard.keepReason(configured).contains(because), qPrintable(guard.keepReason(configured)));
        if (dangerous)
            return;
        const FolderGuard::Result result = guard.remove(configured);
        QVERIFY2(result.reason.contains(because), qPrintable(result.reason));
        QVERIFY(!result.deleted && QFileInfo(result.resolved).isDir());
        QCOMPARE(readFile(p("MoxOpcUa.ini")), QByteArray("[ua]\n"));
        QCOMPARE(readFile(p("x/MoxCore.ini")), QByteArray("[core]\n"));
        QCOMPARE(readFile(p("outside.txt")), QByteArray("outside"));
    }

    void guardDeletesCertificateFolder()
    {
        QTemporaryDir t;
        const QString certs = t.filePath("certs");
        QVERIFY(QDir(certs).mkpath("sub/deeper") && writeFile(t.filePath("MoxOpcUa.ini"), "[ua]\n"));
        const char* copies[][2] = {{"c.pem", "c.pem"},        {"c.der", "c.der"},
                                   {"crl.pem", "crl.pem"},    {"crl.der", "crl.der"},
                                   {"c.der", "sub/peer.der"}, {"crl.pem", "sub/deeper/revoked.crl"}};
        for (const auto& [from, to] : copies)
            QVERIFY(QFile::copy(cert(from), certs + "/" + to));
        QVERIFY(writeFile(certs + "/chain.pem", readFile(cert("c.pem")) + readFile(cert("crl.pem"))));
        QVERIFY(QFile::link(certs, t.filePath("link")));
        const FolderGuard guard({t.filePath("MoxOpcUa.ini")});
        const QString resolved = QFileInfo(certs).canonicalFilePath();

        QCOMPARE(guard.keepReason(t.filePath("link")), QString());
        const FolderGuard::Result result = guard.remove(t.filePath("link"));
        QCOMPARE(result.reason, QString());
        QVERIFY(result.deleted);
        QCOMPARE(result.resolved, resolved);
        QVERIFY(!QFileInfo::exists(certs) && QFileInfo(t.filePath("link")).isSymLink());
        QCOMPARE(readFile(t.filePath("MoxOpcUa.ini")), QByteArray("[ua]\n"));

        const FolderGuard::Result missing = guard.remove(certs);
        QVERIFY(!missing.deleted && missing.reason.isEmpty() && missing.resolved.isEmpty());
    }

    void guardKeepsMountPoints_data()
    {
        QTest::addColumn<QString>("mounted"); // where a file system is mounted
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("bind");
        const auto row = [](const char* tag, const char* mounted, bool bind) {
            QTest::newRow(tag) << mounted << "c" << bind;
        };
        row("folder is a tmpfs", "c", false);
        row("sub-folder is a tmpfs", "c/m", false);
        row("folder is a bind mount", "c", true);
    }

    void guardKeepsMountPoints()
    {
        QFETCH(QString, mounted);
        QFETCH(QString, folder);
        QFETCH(bool, bind);
        QTemporaryDir t;
        QVERIFY(QDir(t.path()).mkpath(mounted) && QDir(t.path()).mkpath("source"));
        const Mount mount(t.filePath(mounted), bind ? t.filePath("source") : QString());
        if (mount.error)
            QSKIP(qPrintable(mount.skip()));
        QVERIFY(QFile::copy(cert("c.pem"), t.filePath(mounted) + "/c.pem"));

        const FolderGuard::Result result = FolderGuard({}).remove(t.filePath(folder));
        QVERIFY2(result.reason.contains("mount point"), qPrintable(result.reason));
        QVERIFY(!result.deleted && QFileInfo::exists(t.filePath(mounted) + "/c.pem"));
    }

    void openRegularRefuses_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("because"); // empty: opens
        const auto row = [](const char* kind, const char* because) {
            QTest::newRow(kind) << kind << because;
        };
        row("device", "a device");
        row("fifo", "a FIFO");
        row("socket", "a socket");
        row("folder", "a folder");
        row("sparse", "larger than 64 MB"); // 64 MB + 1, no blocks
        row("missing", "Cannot open");
        row("regular", "");
    }

    void openRegularRefuses()
    {
        QFETCH(QString, kind);
        QFETCH(QString, because);
        QTemporaryDir t;
        QString path = t.filePath(kind);
        if (kind == "device")
            path = QStringLiteral("/dev/zero");
        else if (kind == "fifo")
            QVERIFY(::mkfifo(name(path).constData(), 0600) == 0);
        else if (kind == "folder")
            QVERIFY(QDir(t.path()).mkdir(kind));
        else if (kind == "regular")
            QVERIFY(writeFile(path, "content"));
        else if (kind == "sparse")
            QVERIFY(writeFile(path, "") &&
                    ::truncate(name(path).constData(), FileSafety::s_maxFileSize + 1) == 0);
        const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, name(path).constData(), sizeof address.sun_path);
        QVERIFY(kind != "socket" || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);

        QElapsedTimer timer;
        timer.start();
        QString error, readError;
        QByteArray data;
        const int fd = FileSafety::openRegular(path, &error);
        const bool read = FileSafety::readRegular(path, data, &readError);
        const QString check = FileSafety::checkRegular(path);
        ::close(sock);
        QVERIFY(timer.elapsed() < 5000);
        if (fd >= 0)
            ::close(fd);
        QCOMPARE(fd >= 0, because.isEmpty());
        QCOMPARE(read, because.isEmpty());
        QVERIFY2(because.isEmpty() ? error.isEmpty() : error.contains(because) && error.contains(path),
                 qPrintable(error));
        QCOMPARE(readError, error);
        QCOMPARE(check, kind == "missing" ? QString() : error);
        QCOMPARE(data, QByteArray(because.isEmpty() ? "content" : ""));
    }

    void writeReplacesPlantedLink()
    {
        QTemporaryDir t;
        const QString victim = t.filePath("victim"), target = t.filePath("target");
        QVERIFY(writeFile(victim, "root's own bytes") && ::chmod(name(victim).constData(), 0644) == 0);
        QVERIFY(QFile::link(victim, target));

        QString error;
        QVERIFY2(FileSafety::writeAtomically(target, "new", FileSafety::Ownership(), &error),
                 qPrintable(error));
        QVERIFY(!QFileInfo(target).isSymLink());
        QCOMPARE(readFile(target), QByteArray("new"));
        QCOMPARE(readFile(victim), QByteArray("root's own bytes"));
        QCOMPARE(FileSafety::modeOf(victim), 0644);
        QCOMPARE(temporaries(t.path()), QStringList());
    }

    // What a killed writer leaves is swept; a live process's temporary, other hidden files and a
    // long stem's name (cut to fit) are not confused with it.
    void staleTemporariesAreSwept()
    {
        QTemporaryDir t;
        QVERIFY(inChild([&] {
            QString path;
            return FileSafety::createTemporary(t.path(), QString(300, QChar(0x00e9)), path, nullptr) >= 0;
        }));
        QString mine;
        const int fd = FileSafety::createTemporary(t.path(), "key.pem", mine, nullptr);
        QVERIFY(fd >= 0 && ::close(fd) == 0);
        QVERIFY(writeFile(t.filePath(".backup.123.tmp.keep"), "") && writeFile(t.filePath(".notes.tmp"), ""));
        QCOMPARE(temporaries(t.path()).size(), 3);
        QCOMPARE(FileSafety::temporaryOwner(name(QFileInfo(mine).fileName())), ::getpid());

        QCOMPARE(FileSafety::removeStaleTemporaries(t.path()), 1);
        QCOMPARE(temporaries(t.path()), QStringList({QFileInfo(mine).fileName(), ".notes.tmp"}));
    }

    void ownershipFollowsConfiguration_data()
    {
        QTest::addColumn<int>("configMode");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<int>("folderMode");
        QTest::newRow("0640, umask 022") << 0640 << 022 << 0640 << 0750;
        QTest::newRow("0640, umask 077") << 0640 << 077 << 0640 << 0750;
        QTest::newRow("0644, umask 000") << 0644 << 000 << 0640 << 0750;
        QTest::newRow("0600, umask 000") << 0600 << 000 << 0600 << 0700;
        QTest::newRow("0777, umask 000") << 0777 << 000 << 0640 << 0750;
    }

    void ownershipFollowsConfiguration()
    {
        QFETCH(int, configMode);
        QFETCH(int, mask);
        QFETCH(int, fileMode);
        QFETCH(int, folderMode);
        QTemporaryDir t;
        const QString config = t.filePath("MoxOpcUa.ini");
        QVERIFY(writeFile(config, "[ua]\n") && ::chown(name(config).constData(), 0, 65534) == 0 &&
                ::chmod(name(config).constData(), mode_t(configMode)) == 0);
        ::umask(mode_t(mask));

        const FileSafety::Ownership ownership = FileSafety::ownershipFrom(config);
        QString error;
        QVERIFY2(FileSafety::makeFolders(t.filePath("n1/n2"), ownership, &error), qPrintable(error));
        QVERIFY(writeFile(t.filePath("n1/n2/old"), "old") &&
                ::chmod(name(t.filePath("n1/n2/old")).constData(), 0666) == 0);
        for (const char* file : {"n1/n2/new", "n1/n2/old"})
            QVERIFY2(FileSafety::writeAtomically(t.filePath(file), "new", ownership, &error),
                     qPrintable(error));
        for (const char* made : {"n1", "n1/n2", "n1/n2/new", "n1/n2/old"}) {
            const QString p = t.filePath(made);
            QCOMPARE(QString("%1 %2").arg(FileSafety::modeOf(p), 0, 8).arg(QFileInfo(p).groupId()),
                     QString("%1 65534").arg(QFileInfo(p).isDir() ? folderMode : fileMode, 0, 8));
        }
        QCOMPARE(readFile(t.filePath("n1/n2/new")) + readFile(t.filePath("n1/n2/old")), QByteArray("newnew"));
        QCOMPARE(FileSafety::modeOf(t.path()), 0700); // an existing folder is left alone
    }

    void failedWriteLeavesTarget_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("file size limit") << "fsize";
        QTest::newRow("read-only folder, privileges dropped") << "readonly";
        QTest::newRow("full file system") << "full";
    }

    void failedWriteLeavesTarget()
    {
        QFETCH(QString, fault);
        QTemporaryDir t;
        const QString folder = t.filePath("f"), target = folder + "/users";
        QVERIFY(QDir(t.path()).mkdir("f") && ::chmod(name(t.path()).constData(), 0755) == 0);
        const Mount mount(fault == "full" ? folder : QString());
        if (mount.error)
            QSKIP(qPrintable(mount.skip()));
        QVERIFY(writeFile(target, "original users"));

        const bool failed = inChild([&] {
            if (fault == "fsize") {
                const rlimit limit{4096, 4096};
                ::signal(SIGXFSZ, SIG_IGN);
                ::setrlimit(RLIMIT_FSIZE, &limit);
            } else if (fault == "readonly" && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                return false;
            }
            QString error;
            return !FileSafety::writeAtomically(target, QByteArray(1 << 20, 'x'), FileSafety::Ownership(),
                                                &error) &&
                   error.contains(target);
        });
        QVERIFY(failed);
        QCOMPARE(readFile(target), QByteArray("original users"));
        QCOMPARE(temporaries(folder), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestFileSafety)
#include "tst_filesafety.moc"
