#include "certCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/certificateInfo.h"

namespace {

const Command::Options s_subjectOptions{
    &Command::s_country, &Command::s_state,      &Command::s_locality,       &Command::s_organization,
    &Command::s_unit,    &Command::s_commonName, &Command::s_uriEnd,         &Command::s_machineName,
    &Command::s_dns,     &Command::s_ip,         &Command::s_bits,           &Command::s_digest,
    &Command::s_days,    &Command::s_der,        &Command::s_passphraseStdin};

const char s_subjectNote[] =
    "Defaults are the certificate dialog's: common name MOX-OPC_UA@<host> (OPC UA) or MOX@<host> (core), URI "
    "urn:[<host>:]MOX:UA[:<end>], the host as DNS name, 2048 bits, sha256, 1825 days. The encoding follows "
    "the configured certificate path's suffix (.pem: PEM; .der, .cer, .crt, .cert: DER), which is how the "
    "server reads it; --der confirms DER and is refused for a .pem path. Without --passphrase-stdin the "
    "configured pass phrase, if any, protects an OPC UA key; an empty line read with it leaves the key "
    "unprotected. A pass phrase line is at most 1024 bytes.";

} // namespace

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

CertGenerateCommand::CertGenerateCommand()
    : KeyPairCommand(
          "cert generate", "opcua|core", 1, 1,
          s_subjectOptions + Options{&s_yes, &s_updateConfig, &s_tighten, &s_force},
          "Generates a key and a self-signed certificate. The pair is the OPC UA server's or the runtime "
          "core's. --country, --state, --locality and --organization are required. Existing files are "
          "replaced only after a confirmation (--yes). With --update-config a URI or pass phrase that "
          "differs from the OPC UA config is written into it afterwards; a pass phrase goes only into a "
          "config others cannot read, or with --tighten. " +
              QString::fromLatin1(s_subjectNote))
{}

CertEnsureCommand::CertEnsureCommand()
    : KeyPairCommand(
          "cert ensure", "opcua|core", 1, 1,
          s_subjectOptions + Options{&s_updateConfig, &s_tighten, &s_force},
          "Generates the pair only when both files are missing. It takes the options of cert generate. When "
          "both exist nothing changes; when only one exists it fails, naming the other, and writes nothing. "
          "With --update-config a new pair's URI and pass phrase are written into the OPC UA config, and so "
          "is the pass phrase read with --passphrase-stdin when it opens the existing key and the configured "
          "one does not. A pass phrase goes only into a config others cannot read, or with --tighten.")
{}

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
