// The built-in runtime instance placed under a root folder: with the root DIR its paths become DIR/mox/...,
// the layout that scripts/install-sample.sh DIR lays down. The root "/" gives the installed runtime.
#pragma once

#include "MoxInstEnumerator.h"

#include <QString>

class RootedInstEnumerator : public MoxLInstEnumerator
{
public:
    explicit RootedInstEnumerator(const QString& root = QStringLiteral("/"));

    bool Refresh() override;

    const QString& root() const { return m_root; }
    // A path of the built-in instance moved under the root.
    static std::string rooted(const QString& root, const std::string& path);

private:
    QString m_root;
};
