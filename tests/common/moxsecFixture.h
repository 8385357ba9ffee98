// The built moxsec as a whole process on a sample installation of each test function's own, and a snapshot
// of that installation's files to show a refused command wrote nothing.
#pragma once

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

class MoxsecFixture : public QObject
{
    Q_OBJECT

public:
    struct Run
    {
        int exitCode = -1; // -1 when killed or not done within a minute
        QByteArray out, err;
    };

protected slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_env = QProcessEnvironment::systemEnvironment();
        m_program = MOXSEC_PATH;
        QVERIFY(m_dir->isValid());
        QCOMPARE(QProcess::execute("bash", {MOX_SAMPLE_SCRIPT, m_dir->path()}), 0);
    }

protected:
    QString path(const QString& relative) const { return m_dir->path() + "/mox/" + relative; }
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
    static bool write(const QString& path, const QByteArray& data)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
    }

    // On the installation unless the arguments name a --root; prefix (setpriv ...) runs m_program; SIGKILL
    // after killAfterMs when that is not negative.
    Run moxsec(const QStringList& arguments, const QByteArray& input = {}, const QStringList& prefix = {},
               int killAfterMs = -1) const
    {
        QProcess process;
        process.setProcessEnvironment(m_env);
        const QStringList all =
            arguments.contains("--root") ? arguments : QStringList{"--root", m_dir->path()} + arguments;
        if (prefix.isEmpty())
            process.start(MOXSEC_PATH, all);
        else
            process.start(prefix.first(), prefix.mid(1) + QStringList{m_program} + all);
        process.write(input);
        process.closeWriteChannel();
        if (killAfterMs >= 0 && !process.waitForFinished(killAfterMs) &&
            process.state() != QProcess::NotRunning)
            ::kill(pid_t(process.processId()), SIGKILL);
        Run run;
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        return run;
    }

    // Every file and folder under the test's folder with its bytes ("<dir>" for a folder).
    QMap<QString, QByteArray> files() const
    {
        QMap<QString, QByteArray> contents;
        QDirIterator it(m_dir->path(), QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = it.next();
            if (name.startsWith(m_dir->path() + "/var")) // the change log records attempts too
                continue;
            contents[name] = it.fileInfo().isDir() ? QByteArray("<dir>") : readAll(name);
        }
        return contents;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QProcessEnvironment m_env;
    QString m_program; // what a prefix runs: a copy of moxsec another user may reach
};
