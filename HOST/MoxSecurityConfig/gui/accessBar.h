// The bar atop the window while this user may not change the installation: it names the files it cannot
// write and offers to run the window again as an administrator through pkexec.
#pragma once

#include "ui_accessBar.h"

#include <QFrame>
#include <QStringList>

class ActionRules;

class AccessBar : public QFrame, private Ui::AccessBar
{
    Q_OBJECT

public:
    explicit AccessBar(QWidget* parent = nullptr);
    ~AccessBar() override;

    // Shown, naming them, while the rule book finds files this user may not write; hidden otherwise.
    void showFor(const ActionRules& rules);

    // What pkexec runs: this program again, by its full path, with the arguments it was started with.
    static QStringList restartCommand();

public slots:
    // Starts pkexec detached and closes the window once it runs; when pkexec is missing or does not start,
    // says why and the window stays.
    void restartAsAdministrator();
};
