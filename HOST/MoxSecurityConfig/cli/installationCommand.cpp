#include "installationCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/auditScope.h"
#include "core/rootedEnumerator.h"
#include "core/securityActions.h"

#include <QDir>

#include <algorithm>

InstallationCommand::InstallationCommand(const QString& name, const QString& synopsis, int minArguments,
                                         int maxArguments, const Options& options, const QString& summary)
    : Command(name, synopsis, minArguments, maxArguments, options, summary)
{}

InstallationCommand::~InstallationCommand() = default;

int InstallationCommand::execute()
{
    m_root = m_line->isSet(s_root) ? m_line->value(s_root) : QStringLiteral("/");
    const int exitCode = executeSteps();
    reportWarnings();
    return exitCode;
}

int InstallationCommand::executeSteps()
{
    int exitCode = Output::Success;
    if (!checkArguments(exitCode))
        return exitCode;
    if (needsInstallation()) {
        if (!load() &&
            !(reportsWithoutConfig() && m_snapshot.stop == ConfigSnapshot::Stop::None && !m_noInstallation))
            return Output::Failure;
        if (const std::optional<ActionRules::Action> locked = action(); locked && !allowed(*locked))
            return Output::Failure;
    }
    return executeWithInstallation();
}

bool InstallationCommand::checkArguments(int&)
{
    return true;
}

QStringList InstallationCommand::concernedPaths(const ConfigSnapshot&) const
{
    return {};
}

bool InstallationCommand::load()
{
    const QString root = QDir::cleanPath(QDir(m_root).absolutePath());
    m_out->data().insert(QStringLiteral("root"), root);
    // A root that is not there, or holds no installation, is all there is to say.
    if (!QFileInfo(root).isDir()) {
        m_noInstallation = true;
        m_out->error(Problem{QStringLiteral("The folder given with --root does not exist."), root});
        return false;
    }
    m_enumerator = std::make_unique<RootedInstEnumerator>(m_root);
    m_enumerator->Refresh();
    m_snapshot = ConfigSnapshot::load(m_enumerator->GetActiveInstance(), nullptr, checksKey(), m_root,
                                      expiryWarnDays());
    m_out->data().insert(QStringLiteral("instance"), m_snapshot.instanceVersion);
    if (m_snapshot.stop == ConfigSnapshot::Stop::None && m_snapshot.configExists)
        return true;
    if (m_snapshot.stop == ConfigSnapshot::Stop::None && !QFileInfo::exists(m_snapshot.opensslDir) &&
        !QFileInfo::exists(m_snapshot.coreConfigPath)) {
        m_noInstallation = true;
        m_out->error(Problem{QStringLiteral("There is no installation under %1.").arg(root),
                             QStringLiteral("%1 does not exist.").arg(m_snapshot.configPath)});
        return false;
    }
    // Without the instance or its configuration there is nothing any command could work on.
    for (const Problem& problem : m_snapshot.errors)
        m_out->error(problem);
    if (m_snapshot.stop == ConfigSnapshot::Stop::None)
        m_out->error(
            Problem{QStringLiteral("The OPC UA config file does not exist."), m_snapshot.configPath});
    return false;
}

void InstallationCommand::reportWarnings()
{
    // status lists every warning itself; the others name only those about what they worked on.
    if (!m_enumerator || concernedPaths(m_snapshot).isEmpty())
        return;
    if (m_out->changed() && !m_out->dryRun()) {
        // As the files stand now: a warning the command cleared is gone, one it caused is there.
        const bool keyConcerned = concernedPaths(m_snapshot).contains(m_snapshot.opcUaKey.path);
        m_snapshot = ConfigSnapshot::load(m_enumerator->GetActiveInstance(), nullptr, keyConcerned);
    }
    const QStringList concerned = concernedPaths(m_snapshot);
    for (const Problem& warning : m_snapshot.warnings) {
        // The detail names the file, or "key / certificate" for the pair.
        const QStringList files = warning.detail.split(QStringLiteral(" / "));
        if (std::any_of(files.begin(), files.end(),
                        [&](const QString& file) { return !file.isEmpty() && concerned.contains(file); }))
            m_out->warning(warning);
    }
}

bool InstallationCommand::allowed(ActionRules::Action action)
{
    const ActionRules rules(m_snapshot);
    return rules.allows(action, m_line->isSet(s_force)) || refuse(rules.verdict(action));
}

bool InstallationCommand::refuse(const ActionRules::Verdict& verdict)
{
    m_out->error(verdict.why);
    // A change the rule book refuses was still asked for: the trail records it as failed.
    if (!m_out->dryRun())
        showWarnings(AuditScope::run({name(), concernedPaths(m_snapshot), {}}, [&] {
                         return ActionResult{false, false, {verdict.why}, {}, {}};
                     }).warnings);
    QString next = verdict.forcible
                       ? QStringLiteral("Nothing was changed: give --force to go ahead all the same.")
                       : QStringLiteral("Nothing was changed: the configuration has errors (moxsec status).");
    if (!verdict.unwritable.isEmpty())
        next = QStringLiteral("Nothing was changed: run it with sudo (sudo moxsec ...) or as root.");
    m_out->error(Problem{next, {}});
    return false;
}

QString InstallationCommand::backupQuestion(const QStringList& paths) const
{
    const QStringList places = SecurityActions(m_snapshot).backupPlaces(paths);
    return backup() && !places.isEmpty()
               ? QStringLiteral(" The backup goes to %1.").arg(places.join(QStringLiteral(", ")))
               : QString();
}
