#include "certCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/certificateInfo.h"

QStringList PairCommand::concernedPaths(const ConfigSnapshot& s) const
{
    const QString pair = argument(0);
    if (pair == QLatin1String("opcua"))
        return {s.configPath, s.opcUaCertificate.path, s.opcUaKey.path};
    if (pair == QLatin1String("core"))
        return {s.coreCertificate.path, s.coreKey.path};
    return {};
}

bool PairCommand::parsePair(int& exitCode)
{
    const QString pair = argument(0);
    m_mode = pair == QLatin1String("core") ? CertificateRequest::Mode::Core : CertificateRequest::Mode::OpcUa;
    if (pair == QLatin1String("core") || pair == QLatin1String("opcua"))
        return true;
    exitCode = usage(QStringLiteral("Unknown key pair '%1': opcua or core.").arg(pair));
    return false;
}

void PairCommand::reportPair(const QString& certificate, const QString& key)
{
    m_out->data() = QJsonObject{{QStringLiteral("pair"), argument(0)},
                                {QStringLiteral("certificate"), certificate},
                                {QStringLiteral("key"), key}};
}

CertDeleteCommand::CertDeleteCommand()
    : PairCommand("cert delete", "opcua|core", 1, 1, {&s_yes, &s_noBackup, &s_force},
                  "Deletes the key and the certificate. " + backupNote())
{}

std::optional<ActionRules::Action> CertDeleteCommand::action() const
{
    return opcUa() ? ActionRules::Action::DeleteOpcUa : ActionRules::Action::DeleteCore;
}

int CertDeleteCommand::executeWithInstallation()
{
    const QString pair = argument(0);
    const PathState& certificate = opcUa() ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    const PathState& key = opcUa() ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    reportPair(certificate.path, key.path);
    if (!certificate.exists && !key.exists) {
        m_out->line(QStringLiteral("Neither the key nor the certificate exists; nothing changed."));
        return Output::Success;
    }
    if (m_out->dryRun()) {
        QStringList changes;
        const QString verb =
            backup() ? QStringLiteral("move the %1 %2 into a backup") : QStringLiteral("delete the %1 %2");
        if (key.exists)
            changes << verb.arg(QStringLiteral("key"), key.path);
        if (certificate.exists)
            changes << verb.arg(QStringLiteral("certificate"), certificate.path);
        return wouldChange(changes);
    }
    int exitCode;
    if (!confirmed(QStringLiteral("Delete the %1 key and certificate?").arg(pair) +
                       backupQuestion({key.path, certificate.path}),
                   exitCode))
        return exitCode;
    const ActionResult result =
        SecurityActions(m_snapshot)
            .deleteKeyPair(opcUa() ? SecurityActions::Pair::OpcUa : SecurityActions::Pair::Core, backup());
    exitCode = report(result);
    reportBackups(result);
    if (exitCode == Output::Success)
        m_out->line(QStringLiteral("Deleted the %1 key and certificate.").arg(pair));
    return exitCode;
}

CertShowCommand::CertShowCommand()
    : PairCommand(
          "cert show", "opcua|core|FILE", 1, 1, {},
          "Shows what a certificate says: subject, issuer, serial, validity, key, signature, alternative "
          "names, usages, CA flag, self-signed, SHA-1 thumbprint and SHA-256 fingerprint. PEM or DER.")
{}

bool CertShowCommand::needsInstallation() const
{
    return argument(0) == QLatin1String("opcua") || argument(0) == QLatin1String("core");
}

int CertShowCommand::executeWithInstallation()
{
    const QString what = argument(0);
    QString path = what;
    if (needsInstallation()) {
        const PathState& state =
            what == QLatin1String("core") ? m_snapshot.coreCertificate : m_snapshot.opcUaCertificate;
        if (!state.exists)
            return fail(QStringLiteral("The %1 certificate does not exist.").arg(what), state.path);
        path = state.path;
    }
    CertificateInfo info;
    QString error;
    if (!CertificateInfo::readFile(path, info, &error))
        return fail(QStringLiteral("Cannot read the certificate."), error);
    m_out->data().insert(QStringLiteral("file"), path);
    m_out->data().insert(QStringLiteral("certificate"), info.toJson());
    m_out->line(QStringLiteral("File: ") + path);
    for (const auto& row : info.rows()) {
        QStringList lines = row.second.split(QLatin1Char('\n'));
        m_out->line(QStringLiteral("%1 %2").arg(row.first + QLatin1Char(':'), -22).arg(lines.takeFirst()));
        for (const QString& more : lines)
            m_out->line(QString(23, QLatin1Char(' ')) + more);
    }
    return Output::Success;
}
