// A build-tree program for a child that runs as nobody. A checkout under a folder only root may enter (a
// clone in root's home) is out of nobody's reach, and so are the libraries the program finds there; a copy
// of both in a folder nobody can enter runs anywhere.
#pragma once

#include <QtTest>

// Copies program and the libraries it loads from outside the system's folders into folder (made 0755) and
// points env's library path there. Returns the copy's path, empty when something could not be copied.
inline QString nobodyCopy(const QString& program, const QString& folder, QProcessEnvironment& env)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {program});
    if (!ldd.waitForFinished(30000) || ldd.exitCode() != 0)
        return QString();
    QStringList files{program};
    static const QRegularExpression line(QStringLiteral("=> (/\\S+) \\("));
    for (const QString& text : QString::fromLocal8Bit(ldd.readAllStandardOutput()).split('\n')) {
        const QString library = line.match(text).captured(1);
        if (!library.isEmpty() && !library.startsWith(QLatin1String("/lib")) &&
            !library.startsWith(QLatin1String("/usr/")))
            files << library;
    }
    const auto all = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                     QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const auto copyIn = [&](const QString& file) {
        const QString copy = QDir(folder).filePath(QFileInfo(file).fileName());
        return QFile::copy(file, copy) && QFile::setPermissions(copy, all) ? copy : QString();
    };
    if (!QDir().mkpath(folder) || !QFile::setPermissions(folder, all))
        return QString();
    for (const QString& file : files) {
        if (copyIn(file).isEmpty())
            return QString();
    }
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), folder);
    // The leak check's suppressions and the offscreen screen's size (Qt 6) lie in the checkout too.
    for (const auto& [variable, pattern] :
         {std::pair<QString, QString>{"LSAN_OPTIONS", "suppressions=([^:]+)"},
          {"QT_QPA_PLATFORM", "configfile=([^:]+)"}}) {
        const QString value = env.value(variable);
        const QString file = QRegularExpression(pattern).match(value).captured(1);
        const QString copy = file.isEmpty() ? QString() : copyIn(file);
        if (!file.isEmpty() && copy.isEmpty())
            return QString();
        if (!copy.isEmpty())
            env.insert(variable, QString(value).replace(file, copy));
    }
    return QDir(folder).filePath(QFileInfo(program).fileName());
}
