#include "mainWindow.h"

#include "core/auditTrail.h"
#include "core/versionInfo.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    // Answered before any display is opened, so it works over SSH too.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs(VersionInfo::report(QStringLiteral("MoxSecurityConfig")).toLocal8Bit().constData(),
                       stdout);
            return 0;
        }
    }
    QApplication application(argc, argv);
    AuditTrail::setFrontEnd(QStringLiteral("window"));
    MainWindow window;
    window.show();
    return application.exec();
}
