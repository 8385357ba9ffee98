#include "core/versionInfo.h"

#include "core/openSslTool.h"

#include <QtGlobal>

QString VersionInfo::version()
{
    return QStringLiteral(MOX_VERSION);
}

QString VersionInfo::report(const QString& program)
{
    const QString tool = OpenSslTool::toolVersion();
    return QStringLiteral("%1 %2\nQt %3\n%4 (library)\n%5\n")
        .arg(program, version(), QString::fromLatin1(qVersion()), OpenSslTool::libraryVersion(),
             tool.isEmpty() ? QStringLiteral("openssl tool not found") : tool + QStringLiteral(" (tool)"));
}
