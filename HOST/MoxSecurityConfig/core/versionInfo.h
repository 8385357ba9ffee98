// The versions a bug report needs: the tool's, and the Qt and OpenSSL in use.
#pragma once

#include <QString>

class VersionInfo
{
public:
    static QString version(); // "1.0.0"
    // "<program> <version>", then Qt's, OpenSSL's library and the openssl tool's version, one a line.
    static QString report(const QString& program);
};
