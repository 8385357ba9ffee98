// Data > Backups: the backups that deletions kept, put back or deleted for good through the core, as
// moxsec backup does.
#pragma once

#include "ui_backupsDialog.h"

#include "core/backup.h"
#include "core/configSnapshot.h"

#include <QDialog>

class BackupsDialog : public QDialog, private Ui::BackupsDialog
{
    Q_OBJECT

public:
    BackupsDialog(const ConfigSnapshot& snapshot, QWidget* parent = nullptr);
    ~BackupsDialog() override;

    // Something on disk changed: the window reloads.
    bool changed() const { return m_changed; }

public slots:
    // Lists the backups again, newest first.
    void refresh();
    // Restores the selected backup; a taken name refuses unless "Replace" is ticked.
    void restoreSelected();
    // Deletes the selected backup for good, after a question.
    void deleteSelected();

private:
    QString selectedId() const;
    void showOutcome(const QString& done, const Problems& problems);
    // Both buttons follow the selection and what this user may write of the chosen backup.
    void selectionChanged();

    const ConfigSnapshot& m_snapshot;
    QList<Backup::Record> m_records; // as listed, newest first
    bool m_changed = false;
};
