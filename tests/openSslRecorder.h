// A stand-in "openssl" first on PATH: it records each call (arguments, pass phrase variable) and runs the
// real tool, unless MOX_FAKE_FAIL=<step> (exit 1), MOX_FAKE_HANG=<step> (never ends) or
// MOX_FAKE_NOOUTPUT=<step> (exit 0, nothing written) names the step (genrsa, req, x509); with
// MOX_FAKE_PARTIAL set, a failing or hanging step first writes "partial" to its -out file. The signing step's
// -extfile is copied to ext.seen.
#pragma once

#include "openSslTool.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStringList>

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
        const QString script = QString(R"(#!/bin/bash
{ echo CALL; echo "PASS ${%2-<unset>}"; printf 'ARG %s\n' "$@"; } >> '%1/calls.log'
echo $$ > '%1/last.pid'
out=""; prev=""
for a in "$@"; do
  [ "$prev" = -out ] && out="$a"
  [ "$prev" = -extfile ] && cp "$a" '%1/ext.seen'
  prev="$a"
done
if [ "${MOX_FAKE_FAIL:-}" = "$1" ] || [ "${MOX_FAKE_HANG:-}" = "$1" ]; then
  [ -n "${MOX_FAKE_PARTIAL:-}" ] && [ -n "$out" ] && echo partial > "$out"
  [ "${MOX_FAKE_HANG:-}" = "$1" ] && exec sleep 300
  exit 1
fi
[ "${MOX_FAKE_NOOUTPUT:-}" = "$1" ] && exit 0
exec '%3' "$@"
)")
                                   .arg(m_folder, OpenSslTool::passphraseVariable, realOpenSsl());
        QDir().mkpath(m_folder + "/bin");
        QFile file(m_folder + "/bin/openssl");
        if (file.open(QIODevice::WriteOnly))
            file.write(script.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", (m_folder + "/bin:").toUtf8() + m_savedPath);
    }

    ~OpenSslRecorder()
    {
        qputenv("PATH", m_savedPath);
        for (const char* name : {"MOX_FAKE_FAIL", "MOX_FAKE_HANG", "MOX_FAKE_NOOUTPUT", "MOX_FAKE_PARTIAL"})
            qunsetenv(name);
    }

    static QString realOpenSsl() { return QStandardPaths::findExecutable("openssl"); }
    QString file(const QString& name) const { return m_folder + '/' + name; }

    QList<Call> calls() const
    {
        QList<Call> result;
        QFile log(file("calls.log"));
        if (!log.open(QIODevice::ReadOnly))
            return result;
        for (const QString& line : QString::fromUtf8(log.readAll()).split('\n')) {
            if (line == "CALL")
                result.append(Call());
            else if (line.startsWith("PASS "))
                result.last().passphrase = line.mid(5);
            else if (line.startsWith("ARG "))
                result.last().arguments << line.mid(4);
        }
        return result;
    }

private:
    QString m_folder;
    QByteArray m_savedPath;
};
