#include "clientCertificatesTab.h"

#include "certificateDetailsDialog.h"
#include "confirmDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QSet>
#include <QShortcut>

namespace {

// Light shades, so the date stays readable in every style.
const QColor s_expired(255, 170, 170);
const QColor s_expiresSoon(255, 236, 150);

QString folderLabel(TrustStore::Folder folder)
{
    switch (folder) {
    case TrustStore::Folder::Trusted:
        return ClientCertificatesTab::tr("Trusted");
    case TrustStore::Folder::Issuers:
        return ClientCertificatesTab::tr("Issuers");
    case TrustStore::Folder::Revocation:
        return ClientCertificatesTab::tr("Revocation");
    case TrustStore::Folder::Rejected:
        break;
    }
    return ClientCertificatesTab::tr("Rejected");
}

} // namespace

ClientCertificatesTab::ClientCertificatesTab(QWidget* parent) : QWidget(parent)
{
    setupUi(this);
    problemsLabel->hide();
    certificatesTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_refreshLater.setSingleShot(true);
    m_refreshLater.setInterval(200);
    connect(&m_refreshLater, &QTimer::timeout, this, &ClientCertificatesTab::refresh);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_refreshLater.start(); });
    connect(trustPushButton, &QPushButton::clicked, this, &ClientCertificatesTab::trustSelected);
    connect(rejectPushButton, &QPushButton::clicked, this, &ClientCertificatesTab::rejectSelected);
    connect(deletePushButton, &QPushButton::clicked, this, &ClientCertificatesTab::deleteSelected);
    connect(importPushButton, &QPushButton::clicked, this, &ClientCertificatesTab::importFiles);
    connect(detailsPushButton, &QPushButton::clicked, this, &ClientCertificatesTab::showDetails);
    connect(certificatesTable, &QTableWidget::itemSelectionChanged, this,
            &ClientCertificatesTab::updateButtons);
    connect(certificatesTable, &QTableWidget::itemDoubleClicked, this, &ClientCertificatesTab::showDetails);
    // As in the users table: Delete asks, then deletes the selected files.
    auto* deleteKey = new QShortcut(QKeySequence::Delete, certificatesTable);
    deleteKey->setContext(Qt::WidgetShortcut);
    connect(deleteKey, &QShortcut::activated, this, &ClientCertificatesTab::deleteSelected);
    updateButtons();
}

ClientCertificatesTab::~ClientCertificatesTab() = default;

void ClientCertificatesTab::setFolders(const TrustStore::Folders& folders)
{
    m_folders = folders;
    refresh();
}

void ClientCertificatesTab::watch()
{
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    QStringList existing;
    for (const QString& folder :
         {m_folders.trusted, m_folders.issuers, m_folders.revocation, m_folders.rejected}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            existing << folder;
    }
    if (!existing.isEmpty())
        m_watcher.addPaths(existing);
}

void ClientCertificatesTab::refresh()
{
    QSet<QString> selected;
    for (const TrustStore::Entry& entry : selectedEntries())
        selected.insert(entry.path);
    Problems problems;
    m_entries = TrustStore(m_folders).list(&problems);
    watch();

    const QDateTime now = QDateTime::currentDateTimeUtc();
    certificatesTable->setUpdatesEnabled(false);
    certificatesTable->clearSelection();
    certificatesTable->setRowCount(m_entries.size());
    for (int row = 0; row < m_entries.size(); ++row) {
        const TrustStore::Entry& entry = m_entries[row];
        const bool unreadable = entry.kind == TrustStore::Kind::Unreadable;
        QString name = unreadable ? tr("(unreadable)") : entry.name;
        if (entry.kind == TrustStore::Kind::CaCertificate)
            name += tr(" (CA)");
        else if (entry.kind == TrustStore::Kind::Crl)
            name += tr(" (CRL)");
        const QString texts[] = {
            folderLabel(entry.folder),
            name,
            entry.uri,
            entry.validUntil.isValid() ? entry.validUntil.toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))
                                       : QString(),
            entry.thumbprint,
            entry.fileName + (entry.link ? tr(" (link to %1)").arg(entry.linkTarget) : QString())};
        for (int column = 0; column < 6; ++column) {
            auto* item = new QTableWidgetItem(texts[column]);
            item->setToolTip(unreadable ? entry.reason : entry.path);
            certificatesTable->setItem(row, column, item);
        }
        if (entry.validUntil.isValid()) {
            QTableWidgetItem* item = certificatesTable->item(row, ValidUntilColumn);
            if (entry.validUntil < now)
                item->setBackground(s_expired);
            else if (now.addDays(30) > entry.validUntil)
                item->setBackground(s_expiresSoon);
            if (entry.validUntil < now.addDays(30))
                item->setForeground(Qt::black);
        }
        if (selected.contains(entry.path))
            certificatesTable->selectRow(row);
    }
    certificatesTable->setUpdatesEnabled(true);
    if (m_entries.size() < 200) // measuring many rows costs more than the listing
        certificatesTable->resizeColumnsToContents();

    QStringList lines;
    for (const Problem& problem : problems)
        lines << problem.text();
    problemsLabel->setText(lines.join(QLatin1Char('\n')));
    problemsLabel->setVisible(!lines.isEmpty());
    updateButtons();
}

QList<TrustStore::Entry> ClientCertificatesTab::selectedEntries() const
{
    QList<TrustStore::Entry> selected;
    const QModelIndexList rows = certificatesTable->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        if (index.row() < m_entries.size())
            selected << m_entries[index.row()];
    }
    return selected;
}

void ClientCertificatesTab::updateButtons()
{
    const QList<TrustStore::Entry> selected = selectedEntries();
    auto allIn = [&](TrustStore::Folder folder) {
        return !selected.isEmpty() &&
               std::all_of(selected.begin(), selected.end(),
                           [&](const TrustStore::Entry& e) { return e.folder == folder; });
    };
    trustPushButton->setEnabled(allIn(TrustStore::Folder::Rejected));
    rejectPushButton->setEnabled(allIn(TrustStore::Folder::Trusted));
    deletePushButton->setEnabled(!selected.isEmpty());
    detailsPushButton->setEnabled(selected.size() == 1 &&
                                  (selected.first().kind == TrustStore::Kind::Certificate ||
                                   selected.first().kind == TrustStore::Kind::CaCertificate));
    importPushButton->setEnabled(!m_folders.trusted.isEmpty() || !m_folders.issuers.isEmpty() ||
                                 !m_folders.revocation.isEmpty());
}

void ClientCertificatesTab::finish(const ActionResult& result)
{
    refresh();
    QStringList lines;
    for (const Problem& problem : result.problems)
        lines << problem.text();
    m_lastFailure = lines.join(QLatin1Char('\n'));
    if (lines.isEmpty())
        return;
    // Not modal to the application: the server may drop files in meanwhile, and the table keeps following.
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Client certificates"), lines.first(),
                                QMessageBox::Ok, this);
    box->setInformativeText(lines.mid(1).join(QLatin1Char('\n')));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void ClientCertificatesTab::trustSelected()
{
    finish(TrustStore(m_folders).trust(selectedEntries()));
}

void ClientCertificatesTab::rejectSelected()
{
    finish(TrustStore(m_folders).reject(selectedEntries()));
}

void ClientCertificatesTab::deleteSelected()
{
    const QList<TrustStore::Entry> selected = selectedEntries();
    if (selected.isEmpty())
        return;
    QStringList what;
    for (const TrustStore::Entry& entry : selected)
        what << entry.path;
    ConfirmDialog dialog(tr("Delete %n file(s) for good?", nullptr, int(selected.size())) +
                             QLatin1Char('\n') + what.join(QLatin1Char('\n')),
                         true, this);
    dialog.setModal(true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    finish(TrustStore(m_folders).remove(selected));
}

void ClientCertificatesTab::importFiles()
{
    const QStringList paths = QFileDialog::getOpenFileNames(
        this, tr("Import certificates or CRLs"), QString(),
        tr("Certificates and CRLs (*.der *.pem *.cer *.crt *.cert *.crl);;All files (*)"));
    if (!paths.isEmpty())
        importPaths(paths);
}

void ClientCertificatesTab::importPaths(const QStringList& paths)
{
    finish(TrustStore(m_folders).importFiles(paths, TrustStore::Target::ByContent));
}

void ClientCertificatesTab::showDetails()
{
    const QList<TrustStore::Entry> selected = selectedEntries();
    if (selected.size() != 1 || selected.first().kind == TrustStore::Kind::Unreadable ||
        selected.first().kind == TrustStore::Kind::Crl)
        return;
    CertificateDetailsDialog dialog(selected.first().path, this);
    dialog.setModal(true);
    dialog.exec();
}
