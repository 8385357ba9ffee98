// Help > Change log: every change the window or moxsec made or tried, as moxsec log shows it.
#pragma once

#include "ui_changeLogDialog.h"

#include <QDialog>

class IMoxInstEnumerator;
class QAction;

class ChangeLogDialog : public QDialog, private Ui::ChangeLogDialog
{
    Q_OBJECT

public:
    explicit ChangeLogDialog(QWidget* parent = nullptr);
    ~ChangeLogDialog() override;

    // The window's changes go into the log under its enumerator's root; action opens the dialog.
    static void attach(QAction* action, QWidget* window, IMoxInstEnumerator* enumerator);

public slots:
    // Reads the log again, newest first.
    void refresh();
};
