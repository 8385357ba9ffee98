// What a command tells its caller: human lines on standard output, failures and warnings on standard error,
// or with --json exactly one object {"ok", "changed", "errors", "warnings", "data"} on standard output.
#pragma once

#include "core/problem.h"

#include <QJsonObject>
#include <QString>

#include <cstdio>

class Output
{
public:
    enum Exit
    {
        Success = 0,
        Failure = 1, // something failed, or errors were found
        Usage = 2    // bad usage or input refused; nothing was done
    };

    // The command's standard output and standard error.
    explicit Output(FILE* out = stdout, FILE* err = stderr) : m_stdout(out), m_stderr(err) {}

    void setJson(bool json) { m_json = json; }
    void setQuiet(bool quiet) { m_quiet = quiet; }
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    bool json() const { return m_json; }
    bool dryRun() const { return m_dryRun; }

    // A line of the command's human report (not with --json or --quiet). Every line, error and warning is
    // shown escaped (escaped()): a line break inside it is shown, not obeyed.
    void line(const QString& text) const;
    // Recorded and written to standard error: the failure, with its cause on the next line. A warning goes
    // to standard error only without --json, where the object's warnings carry it.
    void error(const Problem& problem);
    void warning(const Problem& problem);
    // Recorded only: a report that shows the problems itself (status).
    void record(const Problems& errors, const Problems& warnings);

    void setChanged(bool changed) { m_changed = m_changed || changed; }
    bool changed() const { return m_changed; }
    // With --dry-run: one change the real run would make ("add the user bob ..."), shown as "Would ..." and
    // listed in data's would_change; "changed" then says what the real run would say.
    void wouldChange(const QString& change);
    QJsonObject& data() { return m_data; }
    // A member of data given as JSON text, for long lists that QJsonObject builds too slowly. It is written
    // unchecked: its strings must come from appendJsonString or jsonString, the rest be ASCII.
    void setRawData(const QString& key, const QByteArray& json) { m_raw.append({key, json}); }
    // A JSON string literal, quotes included, of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
    static void appendJsonString(QByteArray& out, const char* utf8, int size);
    static QByteArray jsonString(const QString& text);
    // Printable ASCII without quote or backslash: the string literal is the text between quotes.
    static bool needsNoEscape(const char* utf8, int size);
    // Text for a terminal, as ls shows names: control characters as \r, \n, \t, \033 (octal for the
    // others), bidirectional controls as \u202e, and the backslash doubled. Names come from certificates and
    // files that anyone may have made; raw, they could redraw or reorder what is shown.
    static QString escaped(const QString& text);
    // The message in moxsec's words where the window's read oddly on a terminal: the users file's own
    // sentences and the dialogs' "This field ...". The window keeps its texts.
    static QString terminalWording(const QString& message);
    // The JSON document with every invalid UTF-8 sequence and every unpaired surrogate escape replaced by
    // U+FFFD, so that strict parsers take it.
    static QByteArray validUtf8(const QByteArray& json);

    // Writes the JSON object (with --json) and returns exitCode; "ok" is true exactly for Success.
    int finish(int exitCode) const;

private:
    FILE* m_stdout;
    FILE* m_stderr;
    bool m_json = false;
    bool m_quiet = false;
    bool m_changed = false;
    bool m_dryRun = false;
    QStringList m_wouldChange;
    Problems m_errors, m_warnings;
    QJsonObject m_data;
    QList<QPair<QString, QByteArray>> m_raw;
};
