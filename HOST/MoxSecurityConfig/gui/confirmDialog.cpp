#include "confirmDialog.h"

#include "core/securityActions.h"

#include <QDirIterator>
#include <QPushButton>
#include <QStyle>

ConfirmDialog::ConfirmDialog(QString caption, bool canCancel, QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    iconLabel->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(iconSize, iconSize));
    label->setText(caption);
    // Wide enough that a path reads on one line where it can, narrow enough for a panel's screen.
    label->setMinimumWidth(caption.contains(QLatin1Char('\n')) ? 440 : label->sizeHint().width());
    backupCheckBox->hide();
    if (!canCancel) {
        buttonBox->setStandardButtons(QDialogButtonBox::Ok);
    } else {
        // Anything asked here deletes: Enter must not confirm by accident.
        buttonBox->button(QDialogButtonBox::Ok)->setAutoDefault(false);
        QPushButton* cancel = buttonBox->button(QDialogButtonBox::Cancel);
        cancel->setDefault(true);
        cancel->setFocus();
    }
    adjustSize();
    setMinimumSize(size());
    setMaximumSize(size());
}

ConfirmDialog::~ConfirmDialog() = default;

void ConfirmDialog::setBackupOffered(bool offered)
{
    backupCheckBox->setVisible(offered);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    adjustSize();
    setMinimumSize(size());
    setMaximumSize(size());
}

bool ConfirmDialog::keepBackup() const
{
    return backupCheckBox->isHidden() || backupCheckBox->isChecked();
}

bool ConfirmDialog::ask(QWidget* parent, const QString& question, bool* keepBackup)
{
    ConfirmDialog dialog(question, true, parent);
    if (keepBackup)
        dialog.setBackupOffered(true);
    dialog.setModal(true);
    dialog.show();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (keepBackup)
        *keepBackup = dialog.keepBackup();
    return accepted;
}

QString ConfirmDialog::backupNote(const ConfigSnapshot& snapshot, const QStringList& paths)
{
    return tr("With a backup it is moved first into %1 (Data > Backups puts it back).")
        .arg(SecurityActions(snapshot).backupPlaces(paths).join(tr(", ")));
}

int ConfirmDialog::filesIn(const QString& folder)
{
    int count = 0;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();
         it.next())
        ++count;
    return count;
}
