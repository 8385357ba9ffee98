#include "installCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/signedInstall.h"

#include <QJsonArray>

CertInstallCommand::CertInstallCommand()
    : PairCommand("cert install", "opcua|core FILE", 2, 2,
                  {&s_chain, &s_updateConfig, &s_tighten, &s_yes, &s_force},
                  "Installs a certificate a CA signed. Before anything changes it checks that the "
                  "certificate belongs to the installed or the pending key, that its URI is APPLICATION_URI "
                  "(--update-config writes it into the OPC UA config instead), that it is valid now, that it "
                  "carries digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment, serverAuth "
                  "and clientAuth, and that it verifies up to a CA certificate in FILE (after the leaf) or "
                  "a --chain file. The leaf takes the configured encoding, a pending key becomes the key, "
                  "the old pair goes into a backup and the CA certificates into the issuers folder.")
{}

bool CertInstallCommand::checkArguments(int& exitCode)
{
    if (!parsePair(exitCode))
        return false;
    if (m_line->isSet(s_updateConfig) && !opcUa()) {
        exitCode = usage(QStringLiteral("--update-config applies to the OPC UA pair only."));
        return false;
    }
    return true;
}

std::optional<ActionRules::Action> CertInstallCommand::action() const
{
    return opcUa() ? ActionRules::Action::GenerateOpcUa : ActionRules::Action::GenerateCore;
}

int CertInstallCommand::executeWithInstallation()
{
    const PathState& key = opcUa() ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    const PathState& certificate = opcUa() ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    if (key.path.isEmpty() || certificate.path.isEmpty())
        return fail(QStringLiteral("The configuration names no key or certificate for the %1 pair.")
                        .arg(argument(0)));
    reportPair(certificate.path, key.path);
    SignedInstall install(m_snapshot, m_mode);
    const QList<SignedInstall::Check> checks =
        install.check(argument(1), m_line->values(s_chain), m_line->isSet(s_updateConfig));
    QJsonArray listed;
    for (const SignedInstall::Check& check : checks) {
        listed.append(QJsonObject{{QStringLiteral("check"), check.title},
                                  {QStringLiteral("passed"), check.passed},
                                  {QStringLiteral("detail"), check.detail}});
        if (!check.passed)
            m_out->error(
                Problem{QStringLiteral("Refused, this check failed: %1.").arg(check.title), check.detail});
    }
    m_out->data().insert(QStringLiteral("checks"), listed);
    if (!install.passed())
        return Output::Failure;
    if (m_out->dryRun()) {
        QStringList changes;
        if (!install.certificateInPlace())
            changes << QStringLiteral("replace the certificate %1").arg(certificate.path);
        if (install.usesPendingKey())
            changes << QStringLiteral("replace the key %1 by the pending key").arg(key.path);
        if (install.caCount() > 0)
            changes << QStringLiteral("import %1 CA certificate(s) into the issuers folder")
                           .arg(install.caCount());
        if (m_line->isSet(s_updateConfig) && install.uri() != m_snapshot.uri)
            changes << QStringLiteral("write APPLICATION_URI=%1 into %2")
                           .arg(install.uri(), m_snapshot.configPath);
        return wouldChange(changes);
    }
    int exitCode;
    // Installing the certificate already in place asks nothing: at most the chain comes back.
    if (certificate.exists && !install.certificateInPlace() &&
        !confirmed(QStringLiteral("Replace the %1 certificate?").arg(argument(0)) +
                       backupQuestion({key.path, certificate.path}),
                   exitCode))
        return exitCode;
    const ActionResult result = install.install(m_line->isSet(s_tighten));
    exitCode = report(result);
    reportBackups(result);
    if (result.changed)
        m_out->line(QStringLiteral("Installed %1%2")
                        .arg(certificate.path, install.usesPendingKey()
                                                   ? QStringLiteral(" with the pending key as ") + key.path
                                                   : QString()));
    return exitCode;
}
