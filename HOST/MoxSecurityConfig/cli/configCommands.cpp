#include "configCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/certificateRequest.h"

QStringList ConfigSetCommand::concernedPaths(const ConfigSnapshot& s) const
{
    return {s.configPath, s.opcUaCertificate.path, s.opcUaKey.path};
}

int ConfigSetCommand::executeWithInstallation()
{
    m_out->data().insert(QStringLiteral("config"), m_snapshot.configPath);
    m_out->data().insert(QStringLiteral("key"), key());
    // A value the configuration already holds is not written again, so scripts see that nothing changed.
    if (m_value == current()) {
        m_out->line(QStringLiteral("%1 already holds that value; nothing changed.").arg(key()));
        return m_out->dryRun() ? wouldChange({}) : int(Output::Success);
    }
    const SecurityActions actions(m_snapshot);
    const bool tighten = m_line->isSet(s_tighten);
    const Problem exposure = actions.secretExposure(key(), m_value);
    if (!exposure.message.isEmpty() && !tighten) {
        m_out->error(exposure);
        return Output::Failure;
    }
    if (m_out->dryRun())
        return wouldChange({QStringLiteral("write %1 into %2").arg(key(), m_snapshot.configPath)});
    if (report(actions.setApplicationValue(key(), m_value, tighten)) != Output::Success)
        return Output::Failure;
    m_out->line(QStringLiteral("Wrote %1 into %2").arg(key(), m_snapshot.configPath));
    if (!exposure.message.isEmpty())
        m_out->line(QStringLiteral("Others no longer have access to %1.").arg(m_snapshot.configPath));
    return Output::Success;
}

ConfigSetUriCommand::ConfigSetUriCommand()
    : ConfigSetCommand(
          "config set-uri", "URI", 1, 1, {},
          "Writes APPLICATION_URI into the OPC UA config; every other byte of the file stays. The URI needs "
          "a scheme (urn:, opc.tcp:) and holds no spaces or control characters, as in the certificate "
          "dialog.")
{}

bool ConfigSetUriCommand::checkArguments(int& exitCode)
{
    // The certificate dialog's rule: a URI it would not put into a certificate is not configured either.
    m_value = argument(0);
    const QString reason = CertificateRequest::uriError(m_value);
    if (!reason.isEmpty())
        exitCode = usage(reason);
    return reason.isEmpty();
}

ConfigSetPassphraseCommand::ConfigSetPassphraseCommand()
    : ConfigSetCommand(
          "config set-passphrase", "", 0, 0, {&s_passphraseStdin, &s_tighten},
          "Writes APPLICATION_PRIVATE_KEY_PASSWORD into the OPC UA config, read with --passphrase-stdin (one "
          "line of at most 1024 bytes; an empty line writes an empty pass phrase); every other byte of the "
          "file stays. A non-empty pass phrase is refused while others may read the file, unless --tighten "
          "removes their access.")
{}

bool ConfigSetPassphraseCommand::checkArguments(int& exitCode)
{
    if (m_line->isSet(s_passphraseStdin))
        return readPassphrase(m_value, exitCode);
    exitCode = usage(QStringLiteral("--passphrase-stdin is required: a pass phrase is never taken from the "
                                    "command line."));
    return false;
}
