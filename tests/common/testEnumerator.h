// Instances in a test's own folder (the first, active one at root, the others at root/instance<i>), never
// /mox.
#pragma once

#include "MoxInstEnumerator.h"

#include <QDir>

class TestEnumerator : public IMoxInstEnumerator
{
public:
    explicit TestEnumerator(const QString& root, int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            const QDir dir(i == 0 ? root : root + QString("/instance%1").arg(i));
            MoxInstInstance& instance = Installs.emplace_back("MOX_2_50_9_" + std::to_string(10679 + i));
            instance.Active = i == 0;
            instance.FullPath = dir.path().toStdString();
            instance.OpcUaDefaultConfigPath = dir.filePath("OpcUa/MoxOpcUa.ini").toStdString();
            instance.OpensslDir = dir.filePath("OpenSSL").toStdString();
            instance.CoreDefaultConfigPath = dir.filePath("moxcore/exec.mox").toStdString();
        }
        InstActive = Installs.empty() ? nullptr : &Installs.front();
    }

    bool Refresh() override { return true; } // a test's instances never change, nor do their addresses
};
