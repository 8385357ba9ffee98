// cert generate and cert ensure: a key pair from the command line's subject and the configuration.
#include "certCommands.h"

#include "commandLine.h"
#include "output.h"

#include "core/certificateGenerator.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QSysInfo>

namespace {

const char s_passphraseKey[] = "APPLICATION_PRIVATE_KEY_PASSWORD";

// As ensureKeyPair counts them: a link, dangling or not, is present.
bool present(const QString& path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

} // namespace

std::optional<ActionRules::Action> KeyPairCommand::action() const
{
    return opcUa() ? ActionRules::Action::GenerateOpcUa : ActionRules::Action::GenerateCore;
}

bool KeyPairCommand::checkArguments(int& exitCode)
{
    if (!parsePair(exitCode) || !checkSubjectOptions(exitCode))
        return false;
    m_host = QSysInfo::machineHostName();
    m_uriOptions = m_line->isSet(s_uriEnd) || m_line->isSet(s_machineName);
    m_uri =
        CertificateRequest::defaultUri(m_mode, m_host, m_line->isSet(s_machineName), m_line->value(s_uriEnd));
    QStringList reasons{m_uriOptions ? CertificateRequest::uriError(m_uri) : QString()};
    for (const QString& name : m_line->values(s_dns))
        reasons << CertificateRequest::dnsNameError(name);
    for (const QString& address : m_line->values(s_ip))
        reasons << CertificateRequest::ipAddressError(address);
    reasons.removeAll(QString());
    if (!reasons.isEmpty()) {
        exitCode = usage(reasons.first());
        return false;
    }
    auto number = [&](const QCommandLineOption& option, int& value) {
        if (!m_line->isSet(option))
            return true;
        bool ok = false;
        value = m_line->value(option).toInt(&ok);
        return ok;
    };
    if (!number(s_bits, m_bits) || !number(s_days, m_days)) {
        exitCode = usage(QStringLiteral("--bits and --days take a whole number."));
        return false;
    }
    return true;
}

bool KeyPairCommand::checkSubjectOptions(int& exitCode)
{
    for (const QCommandLineOption* option : {&s_country, &s_state, &s_locality, &s_organization}) {
        if (m_line->value(*option).isEmpty()) {
            exitCode = usage(QStringLiteral("--%1 is required.").arg(option->names().constLast()));
            return false;
        }
    }
    for (const QCommandLineOption* option : {&s_uriEnd, &s_machineName, &s_dns, &s_ip, &s_passphraseStdin}) {
        if (!opcUa() && m_line->isSet(*option)) {
            exitCode = usage(
                QStringLiteral("--%1 applies to the OPC UA pair only.").arg(option->names().constLast()));
            return false;
        }
    }
    return true;
}

void PairCommand::takeSubjectOptions(CertificateRequest& request) const
{
    const std::pair<const QCommandLineOption*, QString*> fields[] = {
        {&s_country, &request.country},   {&s_state, &request.state},
        {&s_locality, &request.locality}, {&s_organization, &request.organization},
        {&s_unit, &request.unit},         {&s_commonName, &request.commonName},
        {&s_digest, &request.digest}};
    for (const auto& field : fields) {
        if (m_line->isSet(*field.first))
            *field.second = m_line->value(*field.first);
    }
}

bool KeyPairCommand::fillRequest(CertificateRequest& request, int& exitCode)
{
    takeSubjectOptions(request);
    if (m_line->isSet(s_bits))
        request.keyBits = m_bits;
    if (m_line->isSet(s_days))
        request.days = m_days;
    if (!opcUa())
        return true;
    // Without URI options the defaults stand: the configured URI where the dialog's fields compose it.
    if (m_uriOptions)
        request.uri = m_uri;
    if (m_line->isSet(s_dns))
        request.dnsNames = m_line->values(s_dns);
    request.ipAddresses = m_line->values(s_ip);
    if (m_line->isSet(s_passphraseStdin)) {
        QString passphrase;
        if (!readPassphrase(passphrase, exitCode))
            return false;
        request.passphrase = passphrase;
        request.protectKey = !passphrase.isEmpty();
    }
    return true;
}

int KeyPairCommand::executeWithInstallation()
{
    CertificateRequest request = CertificateRequest::defaults(m_mode, m_snapshot, m_host);
    if (request.keyPath.isEmpty() || request.certPath.isEmpty())
        return fail(
            QStringLiteral("The configuration names no key or certificate for the %1 pair.").arg(argument(0)),
            opcUa() ? m_snapshot.configPath : m_snapshot.coreConfigPath);
    reportPair(request.certPath, request.keyPath);
    if (m_line->isSet(s_der) && request.pem)
        return usage(
            QStringLiteral("--der is refused: the certificate path ends in .pem and the server reads "
                           "the encoding from the suffix."));
    int exitCode;
    if (!fillRequest(request, exitCode))
        return exitCode;
    const QList<CertificateRequest::FieldProblem> problems = request.validate();
    if (!problems.isEmpty()) {
        // Values from the command line were checked above, so what is left concerns the configuration.
        for (const CertificateRequest::FieldProblem& problem : problems)
            m_out->error(Problem{problem.text(), {}});
        return Output::Failure;
    }
    const bool update = m_line->isSet(s_updateConfig);
    if (update && !opcUa())
        return usage(QStringLiteral("--update-config applies to the OPC UA pair only."));
    if (!update) {
        for (const QString& mismatch : request.configMismatches(m_snapshot))
            m_out->warning(Problem{mismatch, {}});
    }
    m_out->data().insert(QStringLiteral("encoding"),
                         request.pem ? QStringLiteral("PEM") : QStringLiteral("DER"));
    m_out->data().insert(QStringLiteral("protected"), request.protectKey);
    m_out->data().insert(QStringLiteral("uri"), opcUa() ? request.uri : QString());
    return writePair(request);
}

int KeyPairCommand::writePair(const CertificateRequest& request)
{
    const SecurityActions actions(m_snapshot);
    const QString passphraseKey = QLatin1String(s_passphraseKey);
    m_keyPresent = present(request.keyPath);
    m_certificatePresent = present(request.certPath);
    const bool update = m_line->isSet(s_updateConfig), tighten = m_line->isSet(s_tighten);
    const bool mend = update && mends(request);
    // A pass phrase bound for a file others may read stops everything before the pair changes.
    const Problem exposure = !update          ? Problem()
                             : mend           ? actions.secretExposure(passphraseKey, request.passphrase)
                             : makesNewPair() ? actions.secretExposure(request)
                                              : Problem();
    if (!exposure.message.isEmpty() && !tighten)
        return fail(
            QStringLiteral("Nothing was done: the pass phrase would go into an OPC UA config others may "
                           "read; --tighten removes their access (the group keeps its access)."),
            exposure.detail);
    if (m_out->dryRun())
        return dryRun(request, mend);
    ActionResult result;
    int exitCode;
    if (!produce(request, result, exitCode))
        return exitCode;
    if (report(result) != Output::Success)
        return Output::Failure;
    if (result.changed) {
        m_out->line(QStringLiteral("Generated %1").arg(request.keyPath));
        m_out->line(QStringLiteral("      and %1").arg(request.certPath));
    } else {
        m_out->line(QStringLiteral("The key and certificate exist; nothing changed."));
    }
    if (mend) {
        if (!reportConfigWrite(actions.setApplicationValue(passphraseKey, request.passphrase, tighten),
                               {passphraseKey}))
            return Output::Failure;
        m_out->line(QStringLiteral("Wrote %1 into %2: it opens the key, the configured one did not.")
                        .arg(passphraseKey, m_snapshot.configPath));
    }
    if (update && result.changed) {
        const QStringList keys = actions.configDifferences(request);
        if (!reportConfigWrite(actions.adoptIntoConfiguration(request, tighten), keys))
            return Output::Failure;
        if (!keys.isEmpty())
            m_out->line(QStringLiteral("Wrote %1 into %2")
                            .arg(keys.join(QStringLiteral(", ")), m_snapshot.configPath));
    }
    if ((mend || (update && result.changed)) && !exposure.message.isEmpty())
        m_out->line(QStringLiteral("Others no longer have access to %1.").arg(m_snapshot.configPath));
    return Output::Success;
}

bool KeyPairCommand::reportConfigWrite(const ActionResult& written, const QStringList& keys)
{
    const bool ok = report(written) == Output::Success;
    m_out->data().insert(QStringLiteral("configUpdated"),
                         QJsonArray::fromStringList(ok ? keys : QStringList()));
    return ok;
}

bool KeyPairCommand::mends(const CertificateRequest&) const
{
    return false;
}

QStringList KeyPairCommand::newPairChanges(const CertificateRequest& request) const
{
    const QString verb =
        m_keyPresent || m_certificatePresent ? QStringLiteral("replace") : QStringLiteral("generate");
    QStringList changes{QStringLiteral("%1 the key %2").arg(verb, request.keyPath),
                        QStringLiteral("%1 the certificate %2").arg(verb, request.certPath)};
    if (m_line->isSet(s_updateConfig)) {
        for (const QString& key : SecurityActions(m_snapshot).configDifferences(request))
            changes << QStringLiteral("write %1 into %2").arg(key, m_snapshot.configPath);
    }
    return changes;
}

int KeyPairCommand::dryRun(const CertificateRequest& request, bool)
{
    return wouldChange(newPairChanges(request));
}

bool CertGenerateCommand::produce(const CertificateRequest& request, ActionResult& result, int& exitCode)
{
    if ((m_keyPresent || m_certificatePresent) &&
        !confirmed(QStringLiteral("Replace the existing %1 key and certificate?").arg(argument(0)), exitCode))
        return false;
    result = SecurityActions(m_snapshot).generateKeyPair(request, CertificateGenerator());
    return true;
}

// A configured pass phrase that does not open the key would stop the server from reading it; the given one
// that does is written in its place.
bool CertEnsureCommand::mends(const CertificateRequest& request) const
{
    return m_keyPresent && m_certificatePresent && request.protectKey &&
           !ConfigSnapshot::keyOpensWith(request.keyPath, m_snapshot.passphrase()) &&
           ConfigSnapshot::keyOpensWith(request.keyPath, request.passphrase);
}

int CertEnsureCommand::dryRun(const CertificateRequest& request, bool mend)
{
    if (m_keyPresent != m_certificatePresent)
        return fail(m_keyPresent ? QStringLiteral("The key exists but its certificate is missing.")
                                 : QStringLiteral("The certificate exists but its key is missing."),
                    m_keyPresent ? request.certPath : request.keyPath);
    if (!m_keyPresent)
        return wouldChange(newPairChanges(request));
    return wouldChange(mend ? QStringList{QStringLiteral("write %1 into %2")
                                              .arg(QLatin1String(s_passphraseKey), m_snapshot.configPath)}
                            : QStringList());
}

bool CertEnsureCommand::produce(const CertificateRequest& request, ActionResult& result, int&)
{
    result = SecurityActions(m_snapshot).ensureKeyPair(request, CertificateGenerator());
    return true;
}
