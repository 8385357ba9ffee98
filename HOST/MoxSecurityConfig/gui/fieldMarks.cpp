#include "fieldMarks.h"

#include <QWidget>

QString FieldMarks::style(Mark mark)
{
    switch (mark) {
    case Mark::Invalid:
        return QStringLiteral(
            "border-radius: 3px;\nborder: 1px solid red; padding-top: 1px; margin-bottom: 1px;");
    case Mark::Warning:
        return QStringLiteral(
            "border-radius: 3px;\nborder: 1px solid #FFFF44; padding-top: 1px; margin-bottom: 1px;");
    case Mark::Missing:
        return QStringLiteral("color: red;");
    case Mark::None:
        break;
    }
    return QString();
}

void FieldMarks::set(QWidget* field, Mark mark, const QString& reason)
{
    field->setStyleSheet(style(mark));
    field->setToolTip(mark == Mark::None ? QString() : reason);
}

bool FieldMarks::has(const QWidget* field, Mark mark)
{
    return field->styleSheet() == style(mark);
}

void FieldMarks::refuse(QWidget* field, const QString& reason, bool& valid)
{
    if (reason.isEmpty())
        return;
    set(field, Mark::Invalid, reason);
    valid = false;
}
