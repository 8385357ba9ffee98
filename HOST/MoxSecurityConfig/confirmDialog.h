// A one-line question with OK and Cancel, shown as a frameless popup before a destructive action.
#pragma once

#include "ui_confirmDialog.h"

#include <QDialog>

class ConfirmDialog : public QDialog, public Ui::ConfirmDialog
{
    Q_OBJECT

public:
    // Without canCancel only OK is offered.
    ConfirmDialog(QString caption, bool canCancel, QWidget* parent = nullptr);
    ~ConfirmDialog() override;
};
