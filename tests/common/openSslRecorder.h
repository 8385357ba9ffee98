// A stand-in "openssl" first on PATH: it logs each call, copies its -extfile to ext.seen and runs the real
// tool; the step MOX_FAKE_FAIL or MOX_FAKE_HANG names writes "partial" to its output, then exits 1 or never
// ends.
#pragma once

#include "core/openSslTool.h"

#include <QDir>
#include <QStandardPaths>

class OpenSslRecorder
{
public:
    struct Call
    {
        QStringList arguments;
        QString passphrase; // "<unset>" when the variable was not set
    };

    explicit OpenSslRecorder(const QString& folder) : m_folder(folder), m_savedPath(qgetenv("PATH"))
    {
        QDir().mkpath(folder + "/bin");
        QFile script(folder + "/bin/openssl");
        script.open(QIODevice::WriteOnly);
        script.write(
            QString(R"(#!/bin/bash
printf '%s\x1f' "${%2-<unset>}" "$@" >> '%1/calls.log'; echo >> '%1/calls.log'; echo $$ > '%1/last.pid'
for a in "$@"; do [ "$p" = -extfile ] && cp "$a" '%1/ext.seen'; p=$a; done
[ "$1" = "${MOX_FAKE_FAIL:-}" ] && { echo partial; echo "$1: fake failure" >&2; exit 1; }
[ "$1" = "${MOX_FAKE_HANG:-}" ] && { echo partial; exec sleep 300; }
exec '%3' "$@"
)")
                .arg(folder, OpenSslTool::passphraseVariable, QStandardPaths::findExecutable("openssl"))
                .toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", (folder + "/bin:").toUtf8() + m_savedPath);
    }
    ~OpenSslRecorder()
    {
        qputenv("PATH", m_savedPath);
        qunsetenv("MOX_FAKE_FAIL");
        qunsetenv("MOX_FAKE_HANG");
    }

    QString file(const QString& name) const { return m_folder + '/' + name; }
    QList<Call> calls() const
    {
        QFile log(file("calls.log"));
        log.open(QIODevice::ReadOnly);
        QList<Call> result;
        for (const QString& line : QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts))
            result.append(
                Call{line.split('\x1f').mid(1, line.count('\x1f') - 1), line.section('\x1f', 0, 0)});
        return result;
    }

private:
    QString m_folder;
    QByteArray m_savedPath;
};
