#include "backupsDialog.h"

#include "confirmDialog.h"

#include "core/actionRules.h"
#include "core/securityActions.h"

#include <QHeaderView>

#include <algorithm>

BackupsDialog::BackupsDialog(const ConfigSnapshot& snapshot, QWidget* parent)
    : QDialog(parent), m_snapshot(snapshot)
{
    setupUi(this);
    backupsTableWidget->horizontalHeader()->setStretchLastSection(true);
    connect(restorePushButton, &QPushButton::clicked, this, &BackupsDialog::restoreSelected);
    connect(deletePushButton, &QPushButton::clicked, this, &BackupsDialog::deleteSelected);
    connect(backupsTableWidget, &QTableWidget::itemSelectionChanged, this, &BackupsDialog::selectionChanged);
    refresh();
}

void BackupsDialog::selectionChanged()
{
    const QString id = selectedId();
    const auto record = std::find_if(m_records.cbegin(), m_records.cend(),
                                     [&](const Backup::Record& r) { return r.id == id; });
    const ActionRules::Verdict verdict = record == m_records.cend()
                                             ? ActionRules::Verdict{false, false, {}, {}}
                                             : ActionRules::backupVerdict(m_snapshot, *record);
    for (QPushButton* button : {restorePushButton, deletePushButton}) {
        button->setEnabled(verdict.allowed);
        button->setToolTip(verdict.why.text());
    }
    if (!verdict.unwritable.isEmpty())
        showOutcome(QString(), {verdict.why});
}

BackupsDialog::~BackupsDialog() = default;

void BackupsDialog::refresh()
{
    Problems problems;
    m_records = SecurityActions(m_snapshot).listBackups(&problems);
    std::reverse(m_records.begin(), m_records.end());
    const QList<Backup::Record>& records = m_records;
    backupsTableWidget->clearContents();
    backupsTableWidget->setRowCount(records.size());
    for (int row = 0; row < records.size(); ++row) {
        const Backup::Record& record = records.at(row);
        QStringList places;
        for (const Backup::Item& item : record.items)
            places
                << tr("%1 (%2, mode %3)").arg(item.place, item.type).arg(item.mode, 4, 8, QLatin1Char('0'));
        const QStringList cells{record.id, record.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                record.kind, places.join(QLatin1Char('\n'))};
        for (int column = 0; column < cells.size(); ++column) {
            auto* item = new QTableWidgetItem(cells.at(column));
            item->setToolTip(cells.at(column));
            backupsTableWidget->setItem(row, column, item);
        }
    }
    backupsTableWidget->resizeRowsToContents();
    restorePushButton->setEnabled(false);
    deletePushButton->setEnabled(false);
    if (!problems.isEmpty())
        showOutcome(QString(), problems);
}

QString BackupsDialog::selectedId() const
{
    const QList<QTableWidgetItem*> items = backupsTableWidget->selectedItems();
    return items.isEmpty() ? QString() : backupsTableWidget->item(items.first()->row(), 0)->text();
}

void BackupsDialog::showOutcome(const QString& done, const Problems& problems)
{
    QStringList lines;
    for (const Problem& problem : problems)
        lines << problem.text();
    messageLabel->setStyleSheet(problems.isEmpty() ? QString() : QStringLiteral("color: red;"));
    messageLabel->setText(problems.isEmpty() ? done : lines.join(QLatin1Char('\n')));
}

void BackupsDialog::restoreSelected()
{
    const QString id = selectedId();
    if (id.isEmpty())
        return;
    const ActionResult result = SecurityActions(m_snapshot).restoreBackup(id, replaceCheckBox->isChecked());
    m_changed = m_changed || result.changed;
    Problems problems = result.problems;
    if (!result.ok && !replaceCheckBox->isChecked() && result.backups.isEmpty())
        problems << Problem{tr("Tick \"Replace\" to move what is there into a backup first."), {}};
    refresh();
    showOutcome(tr("Backup %1 restored.").arg(id), problems + result.warnings);
}

void BackupsDialog::deleteSelected()
{
    const QString id = selectedId();
    if (id.isEmpty())
        return;
    ConfirmDialog question(tr("Delete the backup %1 for good?").arg(id) + QLatin1Char('\n') +
                               tr("Its old keys and pass phrases cannot be restored afterwards."),
                           true, this);
    question.setModal(true);
    if (question.exec() != QDialog::Accepted)
        return;
    const ActionResult result = SecurityActions(m_snapshot).deleteBackup(id);
    m_changed = m_changed || result.changed;
    refresh();
    showOutcome(tr("Backup %1 deleted.").arg(id), result.problems + result.warnings);
}
