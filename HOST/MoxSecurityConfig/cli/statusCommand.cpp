#include "statusCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/crlHealth.h"
#include "core/signingRequest.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>

namespace {

QJsonObject pathJson(const PathState& state)
{
    return QJsonObject{{QStringLiteral("path"), state.path},
                       {QStringLiteral("configured"), state.configured},
                       {QStringLiteral("exists"), state.exists}};
}

PathState fileState(const QString& path, bool exists)
{
    PathState state;
    state.path = path;
    state.configured = !path.isEmpty();
    state.exists = exists;
    return state;
}

} // namespace

StatusCommand::StatusCommand()
    : InstallationCommand(
          "status", "", 0, 0, {&s_strict, &s_warnDays},
          "Shows the instance, its paths and the configuration's problems. Every configured path is shown as "
          "present or missing, then the errors and warnings, with those about the CRLs of the CAs the server "
          "trusts. Exits 1 when there are errors, and with --strict also when there are warnings.")
{}

bool StatusCommand::checkArguments(int& exitCode)
{
    if (!m_line->isSet(s_warnDays))
        return true;
    bool ok = false;
    m_warnDays = m_line->value(s_warnDays).toInt(&ok);
    if (ok && m_warnDays >= 0)
        return true;
    exitCode = usage(QStringLiteral("--warn-days takes a whole number of days, 0 or more."));
    return false;
}

int StatusCommand::executeWithInstallation()
{
    // Read here, not in the shared load: only status and the window look at every CA and CRL file. The
    // rejected folder holds neither a CA nor a CRL the server uses, and may hold thousands of refused
    // clients: it is not read.
    TrustStore::Folders folders = TrustStore::foldersOf(m_snapshot);
    folders.rejected.clear();
    const TrustStore store(folders);
    m_snapshot.warnings << CrlHealth::check(store.list());
    reportPaths();
    // A key that waits for its signed certificate is no leftover, but the administrator should finish it.
    for (const PathState* key : {&m_snapshot.opcUaKey, &m_snapshot.coreKey}) {
        const QString pending = SigningRequest::pendingKeyPath(key->path);
        if (!key->path.isEmpty() && QFileInfo::exists(pending))
            m_snapshot.warnings << Problem{
                QStringLiteral("A key waits for its CA-signed certificate (cert install)."), pending};
    }
    listProblems();
    const ConfigSnapshot& s = m_snapshot;
    return s.errors.isEmpty() && (!m_line->isSet(s_strict) || s.warnings.isEmpty()) ? Output::Success
                                                                                    : Output::Failure;
}

void StatusCommand::reportPaths()
{
    const ConfigSnapshot& s = m_snapshot;
    const struct
    {
        const char* key;
        const char* label;
        PathState state;
    } paths[] = {
        {"opcUaConfig", "OPC UA config", fileState(s.configPath, s.configExists)},
        {"coreConfig", "Core config", fileState(s.coreConfigPath, QFileInfo::exists(s.coreConfigPath))},
        {"opensslDir", "OpenSSL folder", fileState(s.opensslDir, QFileInfo(s.opensslDir).isDir())},
        {"opcUaCertificate", "OPC UA certificate", s.opcUaCertificate},
        {"opcUaKey", "OPC UA key", s.opcUaKey},
        {"usersFile", "Users file", s.usersFile},
        {"coreCertificate", "Core certificate", s.coreCertificate},
        {"coreKey", "Core key", s.coreKey},
        {"trustList", "Trust list folder", s.trustList},
        {"issuers", "Issuers folder", s.issuers},
        {"revocation", "Revocation folder", s.revocation},
        {"rejected", "Rejected folder", s.rejected},
    };
    QJsonObject pathsJson;
    m_out->line(QStringLiteral("Instance %1 under %2").arg(s.instanceVersion, QDir(root()).absolutePath()));
    for (const auto& path : paths) {
        pathsJson.insert(QLatin1String(path.key), pathJson(path.state));
        const QString state = !path.state.configured ? QStringLiteral("not configured")
                              : path.state.exists    ? QStringLiteral("present")
                                                     : QStringLiteral("missing");
        m_out->line(QStringLiteral("%1 %2 %3")
                        .arg(QLatin1String(path.label) + QLatin1Char(':'), -20)
                        .arg(state, -8)
                        .arg(path.state.path)
                        .trimmed());
    }
    m_out->data().insert(QStringLiteral("paths"), pathsJson);
    m_out->data().insert(QStringLiteral("usersFileLoaded"), s.usersFileLoaded);
    m_out->data().insert(QStringLiteral("passphraseConfigured"), s.passphraseConfigured);
}

void StatusCommand::listProblems()
{
    const ConfigSnapshot& s = m_snapshot;
    m_out->record(s.errors, s.warnings);
    const struct
    {
        const char* title;
        const Problems& problems;
    } groups[] = {{"Errors:", s.errors}, {"Warnings:", s.warnings}};
    for (const auto& group : groups) {
        if (group.problems.isEmpty())
            continue;
        m_out->line(QLatin1String(group.title));
        for (const Problem& problem : group.problems) {
            m_out->line(QStringLiteral("  ") + problem.message);
            if (!problem.detail.isEmpty())
                m_out->line(QStringLiteral("    ") + problem.detail);
        }
    }
}
