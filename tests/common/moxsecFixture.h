// The built moxsec as a whole process on a sample installation of each test function's own, and a snapshot
// of that installation's files to show a refused command wrote nothing.
#pragma once

#include "testFiles.h"
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
    static QByteArray readAll(const QString& path) { return readFile(path); }
    static bool write(const QString& path, const QByteArray& data)
    {
        return QDir().mkpath(QFileInfo(path).path()) && writeFile(path, data);
    }

    // True when openssl exits 0 (its errors logged otherwise); its output into *out when asked.
    static bool openssl(const QStringList& arguments, const QByteArray& input = {}, QByteArray* out = nullptr)
    {
        QProcess process;
        process.start("openssl", arguments);
        process.write(input);
        process.closeWriteChannel();
        const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
                        process.exitCode() == 0;
        if (out)
            *out = process.readAllStandardOutput();
        if (!ok)
            qWarning() << arguments << process.readAllStandardError();
        return ok;
    }
    // The test's own CA: ca(name + ".pem") and its key ca(name + ".key"), encrypted with "secret" if asked.
    QString ca(const QString& name) const { return m_dir->path() + "/ca/" + name; }
    bool makeCa(const QString& name = "ca", const QString& cn = "Test CA", bool encrypted = false) const
    {
        return QDir().mkpath(ca("")) &&
               openssl(QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-subj", "/CN=" + cn, "-days", "10",
                                   "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                   "keyUsage=keyCertSign,cRLSign", "-keyout", ca(name + ".key"), "-out",
                                   ca(name + ".pem")} +
                       (encrypted ? QStringList{"-passout", "pass:secret"} : QStringList{"-nodes"}));
    }
    // The CA signs request into out, with the usages of an application instance certificate unless other
    // extensions are given; the alternative names come from the request.
    bool sign(const QString& request, const QString& out, const QByteArray& extensions = {},
              int days = 30) const
    {
        return write(ca("ext"), extensions.isEmpty()
                                    ? "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
                                      "dataEncipherment\nextendedKeyUsage=serverAuth,clientAuth\n"
                                    : extensions) &&
               openssl({"x509", "-req", "-in", request, "-CA", ca("ca.pem"), "-CAkey", ca("ca.key"),
                        "-CAcreateserial", "-days", QString::number(days), "-copy_extensions", "copy",
                        "-extfile", ca("ext"), "-out", out});
    }
    // cert generate for which ("opcua" or "core") with a subject of the test's own.
    Run generate(const QString& which, const QStringList& more = {}) const
    {
        return moxsec(QStringList{"cert", "generate", which, "--country", "DE", "--state", "BY", "--locality",
                                  "Town", "--organization", "Org", "--yes"} +
                      more);
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
