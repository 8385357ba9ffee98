// An instance enumerator whose instances point into a folder of the test's own, never /mox.
#pragma once

#include "MoxInstEnumerator.h"

#include <QDir>
#include <QString>

class TestEnumerator : public IMoxInstEnumerator
{
public:
    // root/OpcUa/MoxOpcUa.ini, root/OpenSSL, root/moxcore/exec.mox, like the built-in instance under /mox.
    explicit TestEnumerator(const QString& root, int count = 1) : m_root(root), m_count(count) {}

    bool Refresh() override
    {
        InstActive = nullptr;
        Installs.clear();
        for (int i = 0; i < m_count; ++i) {
            MoxInstInstance instance("MOX_2_50_9_" + std::to_string(10679 + i));
            instance.Active = i == 0;
            instance.Latest = i == 0;
            const QDir root(i == 0 ? m_root : m_root + QString("/instance%1").arg(i));
            instance.OpcUaDefaultConfigPath = root.filePath("OpcUa/MoxOpcUa.ini").toStdString();
            instance.OpensslDir = root.filePath("OpenSSL").toStdString();
            instance.CoreDefaultConfigPath = root.filePath("moxcore/exec.mox").toStdString();
            instance.CoreFullPath = root.filePath("bin/MoxCore").toStdString();
            instance.FullPath = root.path().toStdString();
            Installs.push_back(instance);
        }
        if (!Installs.empty())
            InstActive = &Installs.front();
        return true;
    }

private:
    QString m_root;
    int m_count;
};
