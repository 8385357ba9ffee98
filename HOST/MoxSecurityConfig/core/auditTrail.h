// Who changed what, when, from which front end, and how it went: one JSON line per change in an append-only
// file, and the same as one line to the system logger when one listens. The record never holds a password,
// a pass phrase, a hash or a key: only names, paths and thumbprints.
#pragma once

#include "core/problem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class AuditTrail
{
    Q_DECLARE_TR_FUNCTIONS(AuditTrail)

public:
    // What one change concerns, as the action knows it before it starts.
    struct Event
    {
        QString action;    // "users add", "cert delete", ... as moxsec names the command
        QStringList files; // the paths the action changes or would have changed
        QString subject;   // the user name or certificate thumbprint concerned; may be empty
    };

    struct Record
    {
        QDateTime time; // UTC
        uint realUid = 0, uid = 0;
        QString realUser, user;
        QString frontEnd;
        Event event;
        bool ok = true;
        bool changed = false;
        QString reason; // why it failed; empty when it did not
    };

    // Each main says which front end it is. Without one nothing is recorded, so tests of the core alone
    // never write a log.
    static void setFrontEnd(const QString& frontEnd);
    static QString frontEnd();
    // The installation's root ("/" or moxsec's --root DIR): the log and the logger's socket lie under it.
    static void setRoot(const QString& root);
    static QString logPath();
    static QString socketPath();

    // A record of now, with the users behind this process.
    static Record recordOf(const Event& event, bool ok, bool changed, const QString& reason);
    // Appends the record to the log (and sends it to the logger); false with why the log was not written.
    static bool append(const Record& record, QString* why);

    static QJsonObject toJson(const Record& record);
    static bool fromJson(const QByteArray& line, Record& record, QString* why);
    // The logger's line: key=value pairs, quoted where a value holds blanks, quotes or '='.
    static QByteArray keyValues(const Record& record);

    // The records at or after since (all when invalid), oldest first. Only the last s_maxRead bytes are read;
    // a damaged line is a problem, not the end.
    static QList<Record> read(const QString& path, const QDateTime& since, Problems* problems);
    static constexpr qint64 s_maxRead = 16 * 1024 * 1024;

    // The SHA-1 thumbprint of the certificate in path; empty when there is none to read.
    static QString thumbprintOf(const QString& path);
};
