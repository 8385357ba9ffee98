#include "changeLogDialog.h"

#include "core/auditTrail.h"
#include "core/rootedEnumerator.h"

#include <QAction>
#include <QHeaderView>

ChangeLogDialog::ChangeLogDialog(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    logTableWidget->horizontalHeader()->setStretchLastSection(true);
    connect(refreshPushButton, &QPushButton::clicked, this, &ChangeLogDialog::refresh);
    refresh();
}

ChangeLogDialog::~ChangeLogDialog() = default;

void ChangeLogDialog::attach(QAction* action, QWidget* window, IMoxInstEnumerator* enumerator)
{
    const auto* rooted = dynamic_cast<const RootedInstEnumerator*>(enumerator);
    AuditTrail::setRoot(rooted ? rooted->root() : QString());
    QObject::connect(action, &QAction::triggered, window, [window] { ChangeLogDialog(window).exec(); });
}

void ChangeLogDialog::refresh()
{
    Problems problems;
    const QList<AuditTrail::Record> records = AuditTrail::read(AuditTrail::logPath(), QDateTime(), &problems);
    logTableWidget->clearContents();
    logTableWidget->setRowCount(records.size());
    for (int row = 0; row < records.size(); ++row) {
        const AuditTrail::Record& record = records.at(records.size() - 1 - row);
        const QString user =
            record.realUid == record.uid ? record.user : tr("%1 as %2").arg(record.realUser, record.user);
        const QStringList cells{record.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                user,
                                record.frontEnd,
                                record.event.action,
                                record.event.subject,
                                record.ok ? tr("ok") : tr("failed: %1").arg(record.reason),
                                record.event.files.join(QStringLiteral(", "))};
        for (int column = 0; column < cells.size(); ++column)
            logTableWidget->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
    logTableWidget->resizeColumnsToContents();
    QStringList lines;
    for (const Problem& problem : problems)
        lines << problem.text();
    problemsLabel->setText(records.isEmpty() && problems.isEmpty()
                               ? tr("No changes recorded in %1.").arg(AuditTrail::logPath())
                               : lines.join(QLatin1Char('\n')));
    problemsLabel->setVisible(!problemsLabel->text().isEmpty());
}
