#include "logCommand.h"

#include "commandLine.h"
#include "output.h"

#include "core/auditTrail.h"

#include <QJsonArray>

namespace {

// An ISO date or date and time; local time unless it names its zone ("Z", "+01:00").
QDateTime parseSince(const QString& text)
{
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0));
    return time;
}

QString userText(const AuditTrail::Record& record)
{
    return record.realUid == record.uid ? record.user
                                        : record.realUser + QStringLiteral(" as ") + record.user;
}

} // namespace

LogCommand::LogCommand()
    : Command("log", QString(), 0, 0, {&s_since},
              "Shows the change log: every change the window or moxsec made or tried, oldest first, with its "
              "time (UTC), the user behind sudo or pkexec and the one it ran as, the front end, the action, "
              "what it concerned and how it went. With --since only changes from TIME on. The log is "
              "/var/log/moxsecurityconfig/audit.jsonl (under --root DIR: DIR/var/log/...); a damaged line is "
              "reported and skipped.")
{}

int LogCommand::execute()
{
    QDateTime since;
    if (m_line->isSet(s_since)) {
        since = parseSince(m_line->value(s_since));
        if (!since.isValid())
            return usage(QStringLiteral("--since takes an ISO date or date and time, such as 2026-03-01 or "
                                        "2026-03-01T08:00:00Z."));
    }
    Problems problems;
    const QList<AuditTrail::Record> records = AuditTrail::read(AuditTrail::logPath(), since, &problems);
    for (const Problem& problem : problems)
        m_out->warning(problem);
    QJsonArray array;
    for (const AuditTrail::Record& record : records) {
        array.append(AuditTrail::toJson(record));
        m_out->line(QStringLiteral("%1  %2  %3  %4  %5  %6")
                        .arg(record.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), userText(record),
                             record.frontEnd, record.event.action,
                             record.ok ? QStringLiteral("ok") : QStringLiteral("failed"),
                             record.event.subject)
                        .trimmed());
        if (!record.ok)
            m_out->line(QStringLiteral("    %1").arg(record.reason));
    }
    if (records.isEmpty())
        m_out->line(QStringLiteral("No changes recorded."));
    m_out->data().insert(QStringLiteral("records"), array);
    m_out->data().insert(QStringLiteral("log"), AuditTrail::logPath());
    return Output::Success;
}
