// The one look of a marked field in every dialog and the window: a red frame for a value that is refused, a
// yellow one for a value that differs from the configuration, red text for a path that does not exist. The
// reason is the field's tool tip; validation reads the mark back, so it must be set only here.
#pragma once

#include <QString>

class QWidget;

class FieldMarks
{
public:
    enum class Mark
    {
        None,
        Invalid,
        Warning,
        Missing
    };

    static QString style(Mark mark);
    // Sets the mark's style and reason on field; Mark::None clears both.
    static void set(QWidget* field, Mark mark, const QString& reason = QString());
    static void clear(QWidget* field) { set(field, Mark::None); }
    static bool has(const QWidget* field, Mark mark);
    // A rule's verdict on field: a reason marks it invalid and clears valid; none leaves both alone.
    static void refuse(QWidget* field, const QString& reason, bool& valid);
};
