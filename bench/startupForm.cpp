// Start-up benchmark child: the main window's form alone (setupUi, no configuration read) at the given size,
// ended at its first paint. Splits the window's start-up into Qt's own, the form's and our logic's.
// Usage: bench_startup_form WIDTH HEIGHT
#include "firstPaintProbe.h"
#include "ui_mainWindow.h"

#include <QApplication>
#include <QMainWindow>

#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 3)
        return 2;
    QMainWindow window;
    Ui::MainWindow form;
    form.setupUi(&window);
    window.resize(std::atoi(argv[1]), std::atoi(argv[2]));
    FirstPaintProbe probe(&window);
    window.show();
    return application.exec();
}
