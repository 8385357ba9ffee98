// moxsec: the security configuration of the Mox runtime on the command line.
#include "moxsec.h"

#include "core/auditTrail.h"
#include "core/versionInfo.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("moxsec"));
    QCoreApplication::setApplicationVersion(VersionInfo::version());
    AuditTrail::setFrontEnd(QStringLiteral("moxsec"));
    return Moxsec::run(QCoreApplication::arguments(), stdin, stdout, stderr);
}
