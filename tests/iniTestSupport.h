// Helpers shared by the INI library tests: file bytes, captured standard error, and child processes that meet
// real write faults (a file size limit, or a user without write permission).
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace IniTest {

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline std::string path(const QString& p)
{
    return QFile::encodeName(p).toStdString();
}

// Permission bits, -1 for a missing file.
inline int fileMode(const QString& p)
{
    struct stat st;
    return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Every entry of a folder, hidden ones included: a save must leave no temporary file behind.
inline QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// Runs body with file descriptor 2 sent to a temporary file; returns what was written there.
inline QByteArray captureStderr(const std::function<void()>& body)
{
    std::fflush(stderr);
    FILE* sink = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(sink), 2);
    body();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    QByteArray text;
    std::rewind(sink);
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, sink)) > 0;)
        text.append(buf, int(n));
    std::fclose(sink);
    return text;
}

enum class Fault
{
    FileSizeLimit, // writes beyond fileSizeLimit bytes fail with EFBIG
    Nobody         // runs as uid/gid 65534, so file permissions apply (the tests run as root)
};

// Runs body in a forked child meeting the given fault. body returns an empty string when all went as
// expected, else what did not; the parent gets that text back, or a note of how the child died.
inline QString inChild(Fault fault, const std::function<QString()>& body, rlim_t fileSizeLimit = 0)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return "pipe failed";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        QString error;
        if (fault == Fault::FileSizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                error = "setrlimit failed";
        } else if (fault == Fault::Nobody &&
                   (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            error = "cannot become uid 65534";
        }
        if (error.isEmpty())
            error = body();
        const QByteArray bytes = error.toUtf8();
        if (::write(fds[1], bytes.constData(), size_t(bytes.size())) < 0)
            ::_exit(2);
        ::_exit(0); // no exit handlers: the parent's state belongs to the parent
    }
    ::close(fds[1]);
    QByteArray result;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        result.append(buf, int(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QString("child ended abnormally (status %1): %2").arg(status).arg(QString::fromUtf8(result));
    return QString::fromUtf8(result);
}

// A folder the uid 65534 child can reach: the temporary folders of the tests are private to root.
inline void openToEveryone(const QString& dir, bool writable)
{
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                   QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther |
                                   (writable ? QFile::WriteGroup | QFile::WriteOther : QFile::Permissions()));
}

} // namespace IniTest
