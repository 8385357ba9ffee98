#include "renewCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/certificateRenewal.h"

namespace {
const char s_passphraseKey[] = "APPLICATION_PRIVATE_KEY_PASSWORD";
} // namespace

CertRenewCommand::CertRenewCommand()
    : PairCommand(
          "cert renew", "opcua|core", 1, 1,
          {&s_days, &s_newKey, &s_ifExpiresWithin, &s_passphraseStdin, &s_yes, &s_updateConfig, &s_tighten,
           &s_force},
          "Replaces the certificate with a new self-signed one of the same subject, alternative names and "
          "key "
          "usages, a new serial number and --days of validity (default: as long as the old one). The key "
          "stays unless --new-key; the old certificate (and key) go into a backup first. With "
          "--if-expires-within DAYS nothing changes while the certificate is valid for longer. With "
          "--new-key "
          "--passphrase-stdin protects the new key, and --update-config writes that pass phrase into the "
          "OPC UA config. Peers must trust a self-signed certificate again after it was renewed.")
{}

std::optional<ActionRules::Action> CertRenewCommand::action() const
{
    return opcUa() ? ActionRules::Action::GenerateOpcUa : ActionRules::Action::GenerateCore;
}

bool CertRenewCommand::checkArguments(int& exitCode)
{
    if (!parsePair(exitCode))
        return false;
    const auto number = [&](const QCommandLineOption& option, int& value, int least) {
        if (!m_line->isSet(option))
            return true;
        bool ok = false;
        value = m_line->value(option).toInt(&ok);
        return ok && value >= least;
    };
    if (!number(s_days, m_days, 1) || !number(s_ifExpiresWithin, m_within, 0)) {
        exitCode = usage(QStringLiteral("--days takes a whole number above 0, --if-expires-within one of at "
                                        "least 0."));
        return false;
    }
    if (m_line->isSet(s_passphraseStdin) && !m_line->isSet(s_newKey)) {
        exitCode = usage(QStringLiteral("--passphrase-stdin protects a new key; it needs --new-key."));
        return false;
    }
    if ((m_line->isSet(s_passphraseStdin) || m_line->isSet(s_updateConfig)) && !opcUa()) {
        exitCode =
            usage(QStringLiteral("--passphrase-stdin and --update-config apply to the OPC UA pair only."));
        return false;
    }
    return true;
}

CertificateRenewal::Options CertRenewCommand::renewOptions(const QString& certPath,
                                                           const QString& keyPath) const
{
    CertificateRenewal::Options options;
    options.keyPath = keyPath;
    options.certPath = certPath;
    options.passphrase = opcUa() ? m_snapshot.passphrase() : QString();
    options.days = m_days;
    options.withinDays = m_within;
    options.newKey = m_line->isSet(s_newKey);
    // Without a new one the configured pass phrase protects a new key, so the configuration still opens it.
    options.newPassphrase = opcUa() ? m_snapshot.passphrase() : QString();
    options.dryRun = true;
    return options;
}

void CertRenewCommand::reportRenewed(const CertificateRenewal::Outcome& outcome, const QString& certPath,
                                     bool newKey)
{
    m_out->data().insert(QStringLiteral("oldThumbprint"), outcome.oldThumbprint);
    m_out->data().insert(QStringLiteral("newThumbprint"), outcome.newThumbprint);
    m_out->data().insert(QStringLiteral("expires"), outcome.newExpiry.toString(Qt::ISODate));
    m_out->data().insert(QStringLiteral("newKey"), newKey);
    m_out->line(QStringLiteral("Renewed %1").arg(certPath));
    m_out->line(QStringLiteral("  old SHA-1 %1").arg(outcome.oldThumbprint));
    m_out->line(QStringLiteral("  new SHA-1 %1, valid until %2")
                    .arg(outcome.newThumbprint, outcome.newExpiry.toString(Qt::ISODate)));
    m_out->line(QStringLiteral("The certificate is self-signed: peers that trusted the old one must trust %1 "
                               "again.")
                    .arg(certPath));
}

int CertRenewCommand::executeWithInstallation()
{
    const PathState& certificate = opcUa() ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    const PathState& key = opcUa() ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    reportPair(certificate.path, key.path);
    if (!certificate.exists || !key.exists)
        return fail(QStringLiteral("There is no %1 pair to renew; cert generate makes one.").arg(argument(0)),
                    certificate.exists ? key.path : certificate.path);

    CertificateRenewal::Options options = renewOptions(certificate.path, key.path);
    int exitCode;
    if (m_line->isSet(s_passphraseStdin) && !readPassphrase(options.newPassphrase, exitCode))
        return exitCode;
    const QString passphraseKey = QLatin1String(s_passphraseKey);
    const SecurityActions actions(m_snapshot);
    // The configuration must open the new key: a changed pass phrase is written, or refused up front.
    const bool phraseChanges = options.newKey && options.newPassphrase != m_snapshot.passphrase() && opcUa();
    const bool update = m_line->isSet(s_updateConfig) && phraseChanges;
    if (phraseChanges && !m_line->isSet(s_updateConfig))
        m_out->warning(
            Problem{QStringLiteral("The new key's pass phrase differs from %1 in the OPC UA config; "
                                   "--update-config writes it.")
                        .arg(passphraseKey),
                    m_snapshot.configPath});
    const Problem exposure =
        update ? actions.secretExposure(passphraseKey, options.newPassphrase) : Problem();
    if (!exposure.message.isEmpty() && !m_line->isSet(s_tighten))
        return fail(
            QStringLiteral("Nothing was done: the pass phrase would go into an OPC UA config others may "
                           "read; --tighten removes their access (the group keeps its access)."),
            exposure.detail);

    CertificateRenewal::Outcome planned = CertificateRenewal::renew(m_snapshot, options);
    if (report(planned.result) != Output::Success)
        return Output::Failure;
    m_out->data().insert(QStringLiteral("oldThumbprint"), planned.oldThumbprint);
    if (!planned.due) {
        m_out->data().insert(QStringLiteral("expires"), planned.oldExpiry.toString(Qt::ISODate));
        m_out->line(QStringLiteral("The certificate is valid until %1, beyond %2 days; nothing changed.")
                        .arg(planned.oldExpiry.toString(Qt::ISODate))
                        .arg(m_within));
        return Output::Success;
    }
    if (m_out->dryRun()) {
        QStringList changes{
            QStringLiteral("move a copy of the certificate %1 into a backup").arg(certificate.path),
            QStringLiteral("replace the certificate %1 (valid for %2 days)")
                .arg(certificate.path)
                .arg(planned.days)};
        if (options.newKey)
            changes << QStringLiteral("replace the key %1").arg(key.path);
        if (update)
            changes << QStringLiteral("write %1 into %2").arg(passphraseKey, m_snapshot.configPath);
        return wouldChange(changes);
    }
    if (!confirmed(QStringLiteral("Renew the %1 certificate%2?")
                           .arg(argument(0), options.newKey ? QStringLiteral(" with a new key") : QString()) +
                       backupQuestion({certificate.path}),
                   exitCode))
        return exitCode;

    options.dryRun = false;
    const CertificateRenewal::Outcome outcome = CertificateRenewal::renew(m_snapshot, options);
    reportBackups(outcome.result);
    if (report(outcome.result) != Output::Success)
        return Output::Failure;
    reportRenewed(outcome, certificate.path, options.newKey);
    if (update) {
        const ActionResult written =
            actions.setApplicationValue(passphraseKey, options.newPassphrase, m_line->isSet(s_tighten));
        if (report(written) != Output::Success)
            return Output::Failure;
        m_out->setChanged(true);
        m_out->line(QStringLiteral("Wrote %1 into %2").arg(passphraseKey, m_snapshot.configPath));
    }
    return Output::Success;
}
