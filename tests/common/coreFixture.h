// A sample installation in a temporary folder, and HOME, the working folder and PATH put back after each
// test function, also when one of its checks failed.
#pragma once

#include "testFiles.h"

#include <QtTest>

#include <memory>

class CoreFixture : public QObject
{
    Q_OBJECT

protected slots:
    void init()
    {
        m_home = qgetenv("HOME");
        m_path = qgetenv("PATH");
        m_cwd = QDir::currentPath();
        m_dir.reset(new QTemporaryDir);
        const QString script = qEnvironmentVariable("MOX_TEST_SOURCE_DIR") + "/scripts/install-sample.sh";
        QCOMPARE(QProcess::execute("bash", {script, m_dir->path()}), 0);
    }
    void cleanup()
    {
        qputenv("HOME", m_home);
        qputenv("PATH", m_path);
        QDir::setCurrent(m_cwd);
        m_dir.reset();
    }

protected:
    QString root() const { return m_dir->path(); }
    QString mox(const QString& relative) const { return m_dir->filePath("mox/" + relative); }
    static QByteArray readAll(const QString& path) { return readFile(path); }
    static bool write(const QString& path, const QByteArray& data = {})
    {
        return QDir().mkpath(QFileInfo(path).path()) && writeFile(path, data);
    }
    // Replaces "KEY=..." lines of the sample configuration ("KEY" alone removes the line).
    void configure(const QStringList& changes)
    {
        QString text = QString::fromUtf8(readAll(mox("OpcUa/MoxOpcUa.ini")));
        for (const QString& change : changes) {
            const QRegularExpression line("(?m)^" + change.section('=', 0, 0) + "=.*\\n");
            text.replace(line, change.contains('=') ? change + '\n' : QString());
        }
        QVERIFY(write(mox("OpcUa/MoxOpcUa.ini"), text.toUtf8()));
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private:
    QByteArray m_home, m_path;
    QString m_cwd;
};
