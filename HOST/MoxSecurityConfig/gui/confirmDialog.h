// A question with OK and Cancel before a destructive action: a real dialog with a frame and a title, Cancel
// the default, and where something is deleted, a choice to keep a backup.
#pragma once

#include "ui_confirmDialog.h"

#include <QDialog>

class ConfigSnapshot;

class ConfirmDialog : public QDialog, private Ui::ConfirmDialog
{
    Q_OBJECT

public:
    // Without canCancel only OK is offered. The first line of caption is the question; further lines say
    // what goes.
    ConfirmDialog(QString caption, bool canCancel, QWidget* parent = nullptr);
    ~ConfirmDialog() override;

    // Shows "Keep a backup" (ticked); off lets an administrator throw a compromised key away for good.
    void setBackupOffered(bool offered);
    bool keepBackup() const;

    // Asks question in a modal dialog; true for OK. With keepBackup the dialog offers "Keep a backup" and
    // stores the choice there.
    static bool ask(QWidget* parent, const QString& question, bool* keepBackup = nullptr);
    // Every place a backup of paths uses, so nothing of it lands where the question did not say.
    static QString backupNote(const ConfigSnapshot& snapshot, const QStringList& paths);
    // Certificates and CRLs a client-certificate folder holds (its files, sub-folders included).
    static int filesIn(const QString& folder);
};
