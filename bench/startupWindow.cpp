// Start-up benchmark child: the real main window on a sample installation, ended at its first paint.
// Usage: bench_startup_window SAMPLE_ROOT   (the folder that holds mox/)
#include "firstPaintProbe.h"
#include "mainWindow.h"
#include "testEnumerator.h"

#include <QApplication>
#include <QDir>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 2)
        return 2;
    MainWindow window(nullptr, new TestEnumerator(QString::fromLocal8Bit(argv[1])));
    FirstPaintProbe probe(&window);
    window.show();
    return application.exec();
}
