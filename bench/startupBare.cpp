// Start-up benchmark child: a bare application with an empty main window of the given size, ended at its
// first paint. Usage: bench_startup_bare WIDTH HEIGHT
#include "firstPaintProbe.h"

#include <QApplication>
#include <QMainWindow>

#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 3)
        return 2;
    QMainWindow window;
    window.resize(std::atoi(argv[1]), std::atoi(argv[2]));
    FirstPaintProbe probe(&window);
    window.show();
    return application.exec();
}
