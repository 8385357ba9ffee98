#include "confirmDialog.h"

ConfirmDialog::ConfirmDialog(QString caption, bool canCancel, QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    setWindowFlags(Qt::Popup);
    label->setText(caption);
    if (!canCancel)
        buttonBox->setStandardButtons(QDialogButtonBox::Ok);
    adjustSize();
    setMinimumSize(size());
    setMaximumSize(size());
}

ConfirmDialog::~ConfirmDialog() = default;
