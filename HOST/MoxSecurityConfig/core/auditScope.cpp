#include "core/auditScope.h"

namespace {

// Per thread: the window generates keys in a thread of its own.
thread_local int s_depth = 0;

} // namespace

AuditScope::AuditScope(const AuditTrail::Event& event) : m_event(event), m_outermost(s_depth == 0)
{
    ++s_depth;
}

AuditScope::~AuditScope()
{
    --s_depth;
}

Problem AuditScope::finish(bool ok, bool changed, const QString& reason)
{
    if (!m_outermost || m_finished || AuditTrail::frontEnd().isEmpty())
        return Problem();
    m_finished = true;
    QString why;
    if (AuditTrail::append(AuditTrail::recordOf(m_event, ok, changed, reason), &why))
        return Problem();
    return Problem{ok ? AuditTrail::tr("The change was made, but the change log could not be written.")
                      : AuditTrail::tr("The failure could not be written into the change log."),
                   AuditTrail::tr("%1: %2").arg(AuditTrail::logPath(), why)};
}

ActionResult AuditScope::finish(ActionResult result)
{
    const Problem warning = finish(result.ok, result.changed, reasonOf(result.problems));
    if (!warning.message.isEmpty())
        result.warnings << warning;
    return result;
}

QString AuditScope::reasonOf(const Problems& problems)
{
    if (problems.isEmpty())
        return QString();
    const Problem& first = problems.first();
    return first.detail.isEmpty() ? first.message
                                  : first.message + QStringLiteral(" (") + first.detail + QLatin1Char(')');
}
