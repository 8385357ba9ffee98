// moxsec from its arguments to its exit status, on given streams: the program's main and tests that run a
// command in their own process share it.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>

namespace Moxsec {

// arguments begin with the program's name. Reads secrets and answers from in, writes to out and err.
int run(const QStringList& arguments, FILE* in, FILE* out, FILE* err);

struct Result
{
    int exitCode = -1;
    QByteArray out, err;
    QJsonObject json; // standard output as a JSON object, empty when it is none
};

// Runs moxsec in this process with input as its standard input (never a terminal).
Result runInProcess(const QStringList& arguments, const QByteArray& input = QByteArray());

} // namespace Moxsec
