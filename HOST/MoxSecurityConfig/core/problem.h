// One error or warning of the configuration or of an action, as the user sees it.
#pragma once

#include <QList>
#include <QString>

struct Problem
{
    QString message; // word for word: scripts and tests match it
    QString detail;  // the file, line, key or cause it concerns; empty when there is nothing to add

    // The message, and the detail on a second line when there is one.
    QString text() const { return detail.isEmpty() ? message : message + QLatin1Char('\n') + detail; }
    bool operator==(const Problem& other) const { return message == other.message && detail == other.detail; }
};

using Problems = QList<Problem>;
