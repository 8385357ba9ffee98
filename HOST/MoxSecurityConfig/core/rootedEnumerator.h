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
    // Where path, as a program confined to root would see it, lies: every link on the way is followed
    // inside root, an absolute target starts again at root and ".." stops there, as RESOLVE_IN_ROOT does.
    // A relative path counts from root. The root "/" (or none) leaves the path as it is. Empty, with why,
    // when links loop.
    static QString resolve(const QString& root, const QString& path, QString* why = nullptr);
    // The path as seen inside root of a path resolve() gave; empty when it lies outside.
    static QString inside(const QString& root, const QString& path);

private:
    QString m_root;
};
