#include "folderGuard.h"

#include <QDir>
#include <QFileInfo>

namespace {

// True when path is folder itself or lies anywhere below it; both resolved.
bool holds(const QString& folder, const QString& path)
{
    if (path.isEmpty())
        return false;
    const QString target = FolderGuard::resolved(path);
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return target == folder || target.startsWith(prefix);
}

} // namespace

FolderGuard::FolderGuard(const QString& opcUaConfigFile, const QString& coreConfigFile,
                         const QString& authFile)
    : m_opcUaConfigFile(opcUaConfigFile), m_coreConfigFile(coreConfigFile), m_authFile(authFile)
{}

QString FolderGuard::resolved(const QString& path)
{
    // Resolve the deepest part that exists and keep the rest as written, so a link higher up still counts.
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/")) {
        rest = QFileInfo(existing).fileName() + (rest.isEmpty() ? QString() : QLatin1Char('/') + rest);
        existing = QFileInfo(existing).absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    const QString base = canonical.isEmpty() ? existing : canonical;
    return rest.isEmpty() ? base : QDir::cleanPath(base + QLatin1Char('/') + rest);
}

QString FolderGuard::keepReason(const QString& folder) const
{
    const QString target = resolved(folder);
    QString why;
    if (target == QLatin1String("/"))
        why = tr("it is the file system's root.");
    else if (holds(target, QDir::homePath()))
        why = tr("it is or holds the user's home folder.");
    else if (holds(target, m_opcUaConfigFile))
        why = tr("it holds the OPC UA configuration.");
    else if (holds(target, m_coreConfigFile))
        why = tr("it holds the runtime core's configuration.");
    else if (holds(target, m_authFile))
        why = tr("it holds the UA authorization file.");
    else
        return QString();
    return tr("The folder '%1' was not deleted: %2").arg(folder, why);
}
