// A stand-in "openssl" put first on PATH: it records each call (arguments and the pass phrase variable) and
// then runs the real tool, unless the test asks it to fail, hang or skip a step through the environment:
//   MOX_FAKE_FAIL=<step>      exit 1 (after writing "partial" to the -out file when MOX_FAKE_PARTIAL is set)
//   MOX_FAKE_HANG=<step>      never finish (after the partial output, as above)
//   MOX_FAKE_NOOUTPUT=<step>  exit 0 without running the tool
// <step> is the first argument: genrsa, req or x509. The signing step's -extfile is copied to ext.seen.
#pragma once

#include "openSslTool.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class OpenSslRecorder
{
public:
    struct Call
    {
        QStringList arguments;
        bool passphraseSet = false;
        QString passphrase;
    };

    // Writes the stand-in into folder/bin and puts that folder first on PATH until destruction.
    explicit OpenSslRecorder(const QString& folder)
        : m_folder(folder), m_savedPath(qgetenv("PATH")),
          m_realOpenSsl(QStandardPaths::findExecutable(QStringLiteral("openssl")))
    {
        QDir(m_folder).mkpath(QStringLiteral("bin"));
        const QString script =
            QStringLiteral(R"(#!/bin/bash
log='%1/calls.log'
step="$1"
{ echo CALL; if [ -n "${%2+set}" ]; then printf 'PASS %s\n' "$%2"; fi; printf 'ARG %s\n' "$@"; } >> "$log"
echo $$ > '%1/last.pid'
out=""; ext=""; prev=""
for a in "$@"; do
  [ "$prev" = -out ] && out="$a"
  [ "$prev" = -extfile ] && ext="$a"
  prev="$a"
done
[ -n "$ext" ] && cp "$ext" '%1/ext.seen' && stat -c %a "$ext" > '%1/ext.mode'
if [ "${MOX_FAKE_FAIL:-}" = "$step" ] || [ "${MOX_FAKE_HANG:-}" = "$step" ]; then
  [ -n "${MOX_FAKE_PARTIAL:-}" ] && [ -n "$out" ] && echo partial > "$out"
  [ "${MOX_FAKE_HANG:-}" = "$step" ] && exec sleep 300
  exit 1
fi
[ "${MOX_FAKE_NOOUTPUT:-}" = "$step" ] && exit 0
exec '%3' "$@"
)")
                .arg(m_folder, QLatin1String(OpenSslTool::passphraseVariable), m_realOpenSsl);
        QFile file(binPath() + QStringLiteral("/openssl"));
        if (file.open(QIODevice::WriteOnly))
            file.write(script.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", binPath().toUtf8() + ':' + m_savedPath);
    }

    ~OpenSslRecorder()
    {
        qputenv("PATH", m_savedPath);
        for (const char* name : {"MOX_FAKE_FAIL", "MOX_FAKE_HANG", "MOX_FAKE_NOOUTPUT", "MOX_FAKE_PARTIAL"})
            qunsetenv(name);
    }

    QString binPath() const { return m_folder + QStringLiteral("/bin"); }
    QString realOpenSsl() const { return m_realOpenSsl; }
    QString seenExtensionFile() const { return m_folder + QStringLiteral("/ext.seen"); }
    QString seenExtensionMode() const { return read(QStringLiteral("ext.mode")).trimmed(); }
    // Process id of the last stand-in started (kept by exec, so it is also the hanging "sleep").
    QString lastPid() const { return read(QStringLiteral("last.pid")).trimmed(); }

    QList<Call> calls() const
    {
        QList<Call> result;
        for (const QString& line : read(QStringLiteral("calls.log")).split(QLatin1Char('\n'))) {
            if (line == QLatin1String("CALL")) {
                result.append(Call());
            } else if (!result.isEmpty() && line.startsWith(QLatin1String("PASS "))) {
                result.last().passphraseSet = true;
                result.last().passphrase = line.mid(5);
            } else if (!result.isEmpty() && line.startsWith(QLatin1String("ARG "))) {
                result.last().arguments << line.mid(4);
            }
        }
        return result;
    }

    void clear()
    {
        for (const char* name : {"calls.log", "ext.seen", "ext.mode", "last.pid"})
            QFile::remove(m_folder + QLatin1Char('/') + QLatin1String(name));
    }

private:
    QString read(const QString& name) const
    {
        QFile file(m_folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

    QString m_folder;
    QByteArray m_savedPath;
    QString m_realOpenSsl;
};
