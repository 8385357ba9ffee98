#include "core/rootedEnumerator.h"

#include <QDir>

RootedInstEnumerator::RootedInstEnumerator(const QString& root) : m_root(root) {}

std::string RootedInstEnumerator::rooted(const QString& root, const std::string& path)
{
    if (path.empty())
        return path;
    const QString base = QDir::cleanPath(QDir(root).absolutePath());
    if (base == QLatin1String("/"))
        return path;
    return QDir::cleanPath(base + QLatin1Char('/') + QString::fromStdString(path)).toStdString();
}

bool RootedInstEnumerator::Refresh()
{
    const bool refreshed = MoxLInstEnumerator::Refresh();
    // The list keeps its storage, so the active instance keeps its address across refreshes.
    for (MoxInstInstance& instance : Installs) {
        instance.OpensslDir = rooted(m_root, instance.OpensslDir);
        instance.OpcUaDefaultConfigPath = rooted(m_root, instance.OpcUaDefaultConfigPath);
        instance.CoreDefaultConfigPath = rooted(m_root, instance.CoreDefaultConfigPath);
    }
    return refreshed;
}
