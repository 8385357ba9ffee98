// One record per change, at the outermost action only: an action that calls another (adopting a
// configuration writes its values one by one) is recorded once, as what the user asked for.
#pragma once

#include "core/auditTrail.h"
#include "core/securityActions.h"

class AuditScope
{
public:
    explicit AuditScope(const AuditTrail::Event& event);
    ~AuditScope();
    AuditScope(const AuditScope&) = delete;
    AuditScope& operator=(const AuditScope&) = delete;

    // Paths or subject known only once the action ran (a generated certificate's thumbprint).
    AuditTrail::Event& event() { return m_event; }
    // Records how it went (when outermost and a front end is set). The warning when the log could not be
    // written, else an empty problem: the change stands either way.
    Problem finish(bool ok, bool changed, const QString& reason);
    // The same for an ActionResult, its warning added to it.
    ActionResult finish(ActionResult result);

    // The first problem of problems as one line: message and detail.
    static QString reasonOf(const Problems& problems);

    // Runs body, an action giving an ActionResult, as one recorded change.
    template <typename Body> static ActionResult run(const AuditTrail::Event& event, Body body)
    {
        AuditScope scope(event);
        return scope.finish(body());
    }

private:
    AuditTrail::Event m_event;
    bool m_outermost;
    bool m_finished = false;
};
