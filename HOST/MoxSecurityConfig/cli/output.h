// What a command tells its caller: human lines on standard output, failures and warnings on standard error,
// or with --json exactly one object {"ok", "changed", "errors", "warnings", "data"} on standard output.
#pragma once

#include "core/problem.h"

#include <QJsonObject>
#include <QString>

class Output
{
public:
    enum Exit
    {
        Success = 0,
        Failure = 1, // something failed, or errors were found
        Usage = 2    // bad usage or input refused; nothing was done
    };

    void setJson(bool json) { m_json = json; }
    void setQuiet(bool quiet) { m_quiet = quiet; }
    bool json() const { return m_json; }

    // A line of the command's human report (not with --json or --quiet).
    void line(const QString& text) const;
    // Recorded and written to standard error: the failure, with its cause on the next line.
    void error(const Problem& problem);
    void warning(const Problem& problem);
    // Recorded only: a report that shows the problems itself (status).
    void record(const Problems& errors, const Problems& warnings);

    void setChanged(bool changed) { m_changed = m_changed || changed; }
    QJsonObject& data() { return m_data; }
    // A member of data given as JSON text, for long lists that QJsonObject builds too slowly.
    void setRawData(const QString& key, const QByteArray& json) { m_raw.append({key, json}); }
    // A JSON string literal, quotes included, of UTF-8 text.
    static void appendJsonString(QByteArray& out, const char* utf8, int size);
    static QByteArray jsonString(const QString& text);

    // Writes the JSON object (with --json) and returns exitCode; "ok" is true exactly for Success.
    int finish(int exitCode) const;

private:
    bool m_json = false;
    bool m_quiet = false;
    bool m_changed = false;
    Problems m_errors, m_warnings;
    QJsonObject m_data;
    QList<QPair<QString, QByteArray>> m_raw;
};
