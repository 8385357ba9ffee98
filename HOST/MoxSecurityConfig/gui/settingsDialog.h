// Chooses the runtime instance the tool works on and shows that instance's paths, marking missing ones.
#pragma once

#include "ui_settingsDialog.h"

#include <QDialog>

class IMoxInstEnumerator;
class MoxInstInstance;

class SettingsDialog : public QDialog, private Ui::SettingsDialog
{
    Q_OBJECT

public:
    // *instance points into the enumerator's list, which the dialog refreshes once: it then points to the
    // same instance in the new list (null when it is gone), and on acceptance to the chosen one.
    SettingsDialog(IMoxInstEnumerator* enumerator, MoxInstInstance** instance, QWidget* parent = nullptr);
    ~SettingsDialog() override;

public slots:
    void accept() override;
    virtual void instanceChanged(int index);

public:
    void checkFiles();

private:
    IMoxInstEnumerator* m_enumerator;
    MoxInstInstance** m_instance;
};
