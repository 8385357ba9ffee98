// The built-in instance rooted in a test's own folder (ROOT/mox/...), never /mox, with further instances at
// ROOT/mox/instance<i>/... for the settings dialog.
#pragma once

#include "core/rootedEnumerator.h"

#include <QDir>

class TestEnumerator : public RootedInstEnumerator
{
public:
    explicit TestEnumerator(const QString& root, int count = 1) : RootedInstEnumerator(root)
    {
        RootedInstEnumerator::Refresh();
        const QDir mox(QDir(root).filePath("mox"));
        for (int i = 1; i < count; ++i) {
            const QDir dir(mox.filePath(QString("instance%1").arg(i)));
            MoxInstInstance& instance = Installs.emplace_back("MOX_2_50_9_" + std::to_string(10679 + i));
            instance.FullPath = dir.path().toStdString();
            instance.OpcUaDefaultConfigPath = dir.filePath("OpcUa/MoxOpcUa.ini").toStdString();
            instance.OpensslDir = dir.filePath("OpenSSL").toStdString();
            instance.CoreDefaultConfigPath = dir.filePath("moxcore/exec.mox").toStdString();
        }
        InstActive = &Installs.front();
    }

    bool Refresh() override { return true; } // a test's instances never change, nor do their addresses
};
