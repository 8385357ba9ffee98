// Reload: MainWindow::reloadData on a sample installation whose authorization file holds many users, on the
// offscreen platform.
// Usage: bench_reload SAMPLE_ROOT [USERS] [RUNS]   (the folder that holds mox/; its users.ini is replaced)
#include "IniAuth.h"
#include "benchClock.h"
#include "mainWindow.h"
#include "testEnumerator.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTableView>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kDefaultSalt[] = "k7ud30";

// Written by the store itself, so the file is in the form the window reads every day.
bool writeUsers(const QString& file, int count)
{
    QFile::remove(file);
    bool loaded = false;
    Mox::Ini::IniAuth store(file.toStdString(), loaded, kDefaultSalt);
    const Mox::Ini::AuthRole roles[] = {Mox::Ini::eAuthRole_Admin, Mox::Ini::eAuthRole_Operator,
                                        Mox::Ini::eAuthRole_Guest};
    for (int i = 0; i < count; ++i)
        if (Mox::Ini::IniAuth::isBad(
                store.addUser("user" + std::to_string(i), "password" + std::to_string(i), roles[i % 3])))
            return false;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_reload SAMPLE_ROOT [USERS] [RUNS]\n");
        return 2;
    }
    const QDir mox(QDir(QString::fromLocal8Bit(argv[1])).filePath("mox"));
    const int users = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 20;
    if (!writeUsers(mox.filePath("OpcUa/users.ini"), users)) {
        std::fprintf(stderr, "bench_reload: cannot write the authorization file\n");
        return 1;
    }

    MainWindow window(nullptr, new TestEnumerator(QString::fromLocal8Bit(argv[1])));
    window.show();
    QApplication::processEvents();
    window.finishStartup(); // every reload from here on opens the key too
    auto* table = window.findChild<QTableView*>("usersList_uaAuth");
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const std::int64_t start = monotonicNs();
        window.reloadData();
        ms.push_back(double(monotonicNs() - start) / 1e6);
        // A figure for a table that did not load would be meaningless.
        if (!table || table->model()->rowCount() != users) {
            std::fprintf(stderr, "bench_reload: the users table does not show the %d users\n", users);
            return 1;
        }
        QApplication::processEvents();
    }
    std::printf("reloadData with %d users (median of %d): %.2f ms\n", users, runs, medianOf(ms));
    return 0;
}
