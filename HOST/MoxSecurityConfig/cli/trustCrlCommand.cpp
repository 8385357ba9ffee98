// trust crl-create: an empty, signed CRL for a CA, written into the revocation folder.
#include "trustCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/crlHealth.h"

TrustCrlCreateCommand::TrustCrlCreateCommand()
    : InstallationCommand(
          "trust crl-create", "", 0, 0, {&s_ca, &s_caKey, &s_days, &s_passphraseStdin},
          "Writes an empty CRL signed by the CA of --ca with its key --ca-key into the revocation folder, as "
          "'<CN> [<thumbprint>].crl' in DER, valid for --days (default 30). Servers refuse the clients of a "
          "CA "
          "that has no valid CRL. --passphrase-stdin reads the key's pass phrase from standard input. An "
          "earlier CRL of the same CA is replaced.")
{}

bool TrustCrlCreateCommand::checkArguments(int& exitCode)
{
    if (m_line->value(s_ca).isEmpty() || m_line->value(s_caKey).isEmpty()) {
        exitCode = usage(QStringLiteral("--ca and --ca-key are required."));
        return false;
    }
    if (!m_line->isSet(s_days))
        return true;
    bool ok = false;
    m_days = m_line->value(s_days).toInt(&ok);
    if (ok && m_days > 0)
        return true;
    exitCode = usage(QStringLiteral("--days takes a whole number of days, 1 or more."));
    return false;
}

int TrustCrlCreateCommand::executeWithInstallation()
{
    if (m_snapshot.revocation.path.isEmpty())
        return fail(QStringLiteral("No revocation folder is configured."), m_snapshot.configPath);
    QString passphrase;
    int exitCode = Output::Success;
    if (m_line->isSet(s_passphraseStdin) && !readPassphrase(passphrase, exitCode))
        return exitCode;
    QString written;
    const ActionResult result =
        CrlHealth::create(m_line->value(s_ca), m_line->value(s_caKey), passphrase, m_days,
                          m_snapshot.revocation.path, &written, m_out->dryRun());
    passphrase.fill(QLatin1Char('\0'));
    if (m_out->dryRun()) {
        reportProblems(result);
        return result.ok ? wouldChange({QStringLiteral("write %1").arg(written)}) : int(Output::Failure);
    }
    exitCode = report(result);
    if (result.ok) {
        m_out->line(QStringLiteral("Wrote %1").arg(written));
        m_out->data().insert(QStringLiteral("written"), written);
    }
    return exitCode;
}
