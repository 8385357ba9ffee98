// The yardstick for moxsec's start-up: a QCoreApplication that starts and exits. With a users file as
// argument it also reads that file as moxsec does, so the file's read time is part of the yardstick.
// Usage: bench_cli_bare [USERS_FILE]
#include "IniAuth.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc > 1) {
        bool ok = false;
        Mox::Ini::IniAuth store(argv[1], ok, "k7ud30");
        std::vector<Mox::Ini::User> users;
        if (!ok || Mox::Ini::IniAuth::isBad(store.getListOfUsers(users)))
            return 1;
    }
    return 0;
}
