#include "openSslTool.h"

#include <QProcess>
#include <QProcessEnvironment>

const char OpenSslTool::passphraseVariable[] = "MOX_SECURITY_CONFIG_PASSPHRASE";

QString OpenSslTool::passphraseSource()
{
    return QStringLiteral("env:") + QLatin1String(passphraseVariable);
}

int OpenSslTool::run(const QStringList& arguments, const QString* passphrase, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A variable inherited from our own environment must not stand in for a pass phrase we did not give.
    environment.remove(QLatin1String(passphraseVariable));
    if (passphrase)
        environment.insert(QLatin1String(passphraseVariable), *passphrase);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);

    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForStarted(timeoutMs < 0 ? -1 : timeoutMs))
        return -1;
    if (!process.waitForFinished(timeoutMs < 0 ? -1 : timeoutMs)) {
        process.kill();
        process.waitForFinished(-1);
        return -1;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}
