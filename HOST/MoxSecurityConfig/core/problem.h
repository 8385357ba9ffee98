// One error or warning of the configuration or of an action, as the user sees it.
#pragma once

#include <QList>
#include <QString>

struct Problem
{
    // What an error of the configuration concerns: the rule book (ActionRules) locks by it, never by the
    // error's place in the list.
    enum class Concern
    {
        Configuration, // no instance, no or an unreadable configuration: everything depends on it
        Setting,       // a required setting is missing
        OpenSsl,       // no OpenSSL folder: only generation needs it
        OpcUaKey,      // the key does not open; what mends it must stay usable
        OpcUaPair,     // half of the OPC UA pair is missing
        CorePair,      // half of the runtime core's pair is missing
        UsersFile,     // the users file cannot be read
        UsersSection,  // the users file holds a section that is no role
    };

    QString message; // word for word: scripts and tests match it
    QString detail;  // the file, line, key or cause it concerns; empty when there is nothing to add
    Concern concern = Concern::Configuration;

    // The message, and the detail on a second line when there is one.
    QString text() const { return detail.isEmpty() ? message : message + QLatin1Char('\n') + detail; }
    bool operator==(const Problem& other) const { return message == other.message && detail == other.detail; }
};

using Problems = QList<Problem>;
