#include "csrCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/signingRequest.h"

#include <QSysInfo>

CertCsrCommand::CertCsrCommand()
    : PairCommand(
          "cert csr", "opcua|core", 1, 1,
          {&s_out, &s_newKey, &s_country, &s_state, &s_locality, &s_organization, &s_unit, &s_commonName,
           &s_uriEnd, &s_machineName, &s_dns, &s_ip, &s_bits, &s_digest},
          "Writes a PEM PKCS#10 signing request for a CA with the subject and alternative names of the "
          "installed certificate; the subject options of cert generate override them, and without a "
          "certificate the subject comes from them alone. It is signed by the installed key, or with "
          "--new-key by a new one kept pending as <key>.pending (0600, never used by the server) until cert "
          "install puts the signed certificate in place.")
{}

bool CertCsrCommand::checkArguments(int& exitCode)
{
    if (!parsePair(exitCode))
        return false;
    for (const QCommandLineOption* option : {&s_uriEnd, &s_machineName, &s_dns, &s_ip}) {
        if (!opcUa() && m_line->isSet(*option)) {
            exitCode = usage(
                QStringLiteral("--%1 applies to the OPC UA pair only.").arg(option->names().constLast()));
            return false;
        }
    }
    if (m_line->isSet(s_bits) && !m_line->isSet(s_newKey)) {
        exitCode = usage(QStringLiteral("--bits applies with --new-key only."));
        return false;
    }
    return true;
}

int CertCsrCommand::executeWithInstallation()
{
    const PathState& key = opcUa() ? m_snapshot.opcUaKey : m_snapshot.coreKey;
    const PathState& certificate = opcUa() ? m_snapshot.opcUaCertificate : m_snapshot.coreCertificate;
    if (key.path.isEmpty())
        return fail(QStringLiteral("The configuration names no key for the %1 pair.").arg(argument(0)));
    CertificateRequest overrides;
    overrides.mode = m_mode;
    takeSubjectOptions(overrides);
    const bool altOptions = m_line->isSet(s_uriEnd) || m_line->isSet(s_machineName) || m_line->isSet(s_dns) ||
                            m_line->isSet(s_ip);
    if (altOptions) {
        overrides.uri = CertificateRequest::defaultUri(m_mode, QSysInfo::machineHostName(),
                                                       m_line->isSet(s_machineName), m_line->value(s_uriEnd));
        overrides.dnsNames = m_line->values(s_dns);
        overrides.ipAddresses = m_line->values(s_ip);
    }
    CertificateRequest names;
    QString error;
    if (!SigningRequest::names(certificate.exists ? certificate.path : QString(), overrides, altOptions,
                               names, &error))
        return usage(error);
    const bool newKey = m_line->isSet(s_newKey);
    const QString pending = SigningRequest::pendingKeyPath(key.path);
    if (m_out->dryRun())
        return wouldChange(newKey ? QStringList{QStringLiteral("generate the pending key %1").arg(pending)}
                                  : QStringList());
    int bits = 2048;
    if (m_line->isSet(s_bits)) {
        bits = m_line->value(s_bits).toInt();
        if (bits != 2048 && bits != 3072 && bits != 4096)
            return usage(QStringLiteral("--bits takes 2048, 3072 or 4096."));
    }
    Problems warnings;
    EvpPkeyPtr signer = SigningRequest::signingKey(m_snapshot, m_mode, newKey, bits, &error, &warnings);
    showWarnings(warnings);
    if (!signer)
        return fail(newKey ? QStringLiteral("Cannot make the pending key.")
                           : QStringLiteral("Cannot read the %1 key to sign the request.").arg(argument(0)),
                    error);
    const QByteArray request = SigningRequest::make(names, signer.get(), &error);
    if (request.isEmpty())
        return fail(QStringLiteral("Cannot make the signing request."), error);
    m_out->data().insert(QStringLiteral("pair"), argument(0));
    m_out->data().insert(QStringLiteral("signingKey"), newKey ? pending : key.path);
    if (!m_line->isSet(s_out)) {
        m_out->data().insert(QStringLiteral("request"), QString::fromLatin1(request));
        if (!m_line->isSet(s_json))
            fputs(request.constData(), stdout);
        return Output::Success;
    }
    const QString out = m_line->value(s_out);
    FileSafety::Ownership ownership;
    ownership.fileMode = 0644;
    if (!FileSafety::writeAtomically(out, request, ownership, &error))
        return fail(QStringLiteral("Cannot write the signing request."), error);
    m_out->data().insert(QStringLiteral("file"), out);
    m_out->line(QStringLiteral("Wrote the signing request %1").arg(out));
    if (newKey)
        m_out->line(QStringLiteral("Its key waits in %1 until cert install.").arg(pending));
    return Output::Success;
}
