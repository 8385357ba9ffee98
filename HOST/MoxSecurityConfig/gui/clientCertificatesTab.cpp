#include "clientCertificatesTab.h"

#include "certificateDetailsDialog.h"
#include "confirmDialog.h"

#include "core/backup.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QSet>
#include <QShortcut>
#include <QStyle>

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
    certificatesTable->viewport()->installEventFilter(this);
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

ClientCertificatesTab::~ClientCertificatesTab()
{
    stopFilling();
}

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
    stopFilling();
    m_keepSelected.clear();
    for (const TrustStore::Entry& entry : selectedEntries())
        m_keepSelected.insert(entry.path);
    const int generation = ++m_generation;
    const TrustStore store(m_folders);
    Problems problems;
    QList<TrustStore::Entry> listed = store.listNames(&problems);
    watch();
    certificatesTable->clearSelection();
    certificatesTable->setRowCount(0);
    m_entries.clear();
    // The first rows at once, so the tab opens with them; a large folder's rest in a worker thread.
    const int first = std::min(int(listed.size()), s_firstRows);
    store.readEntries(listed, 0, first);
    m_filling = true;
    appendRows(generation, listed.mid(0, first));
    measureColumns();
    if (first == listed.size()) {
        filled(generation);
    } else {
        // One core less than all for the worker, so the window keeps one to react with.
        TrustStore worker(m_folders);
        worker.setThreads(std::max(1, int(std::thread::hardware_concurrency()) - 1));
        m_filler = std::thread([this, worker, generation, rest = listed.mid(first)]() mutable {
            for (int from = 0; from < rest.size() && m_generation == generation; from += s_batchRows) {
                worker.readEntries(rest, from, from + s_batchRows);
                QMetaObject::invokeMethod(
                    this,
                    [this, generation, batch = rest.mid(from, s_batchRows)] {
                        appendRows(generation, batch);
                    },
                    Qt::QueuedConnection);
            }
            QMetaObject::invokeMethod(
                this, [this, generation] { filled(generation); }, Qt::QueuedConnection);
        });
    }

    QStringList lines;
    for (const Problem& problem : problems)
        lines << problem.text();
    problemsLabel->setText(lines.join(QLatin1Char('\n')));
    problemsLabel->setVisible(!lines.isEmpty());
}

void ClientCertificatesTab::stopFilling()
{
    ++m_generation;
    if (m_filler.joinable())
        m_filler.join();
}

void ClientCertificatesTab::appendRows(int generation, const QList<TrustStore::Entry>& entries)
{
    if (generation != m_generation || entries.isEmpty())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int first = certificatesTable->rowCount();
    certificatesTable->setUpdatesEnabled(false);
    certificatesTable->setRowCount(first + entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        m_entries.append(entries[i]);
        setRow(first + i, entries[i], now);
        if (m_keepSelected.contains(entries[i].path))
            certificatesTable->selectRow(first + i);
    }
    certificatesTable->setUpdatesEnabled(true);
    updateButtons();
}

void ClientCertificatesTab::filled(int generation)
{
    if (generation != m_generation)
        return;
    m_filling = false;
    if (m_filler.joinable())
        m_filler.join(); // it has posted its last batch
    const auto waiting = std::move(m_whenFilled);
    m_whenFilled.clear();
    for (const auto& then : waiting)
        QTimer::singleShot(0, this, then);
}

void ClientCertificatesTab::whenFilled(std::function<void()> then)
{
    if (m_filling)
        m_whenFilled.push_back(std::move(then));
    else
        QTimer::singleShot(0, this, std::move(then));
}

void ClientCertificatesTab::setRow(int row, const TrustStore::Entry& entry, const QDateTime& now)
{
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
        // Whole, however narrow the column: the text and the file it comes from.
        item->setToolTip(unreadable                ? entry.reason
                         : texts[column].isEmpty() ? entry.path
                                                   : texts[column] + QLatin1Char('\n') + entry.path);
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
}

void ClientCertificatesTab::measureColumns()
{
    // Measured on the first rows only: measuring many costs more than the listing.
    if (m_entries.size() < s_firstRows || m_contentWidths.isEmpty()) {
        certificatesTable->resizeColumnsToContents();
        m_contentWidths.clear();
        for (int column = 0; column < certificatesTable->columnCount(); ++column)
            m_contentWidths << certificatesTable->horizontalHeader()->sectionSize(column);
        updateGeometry();
    }
    fitColumns();
}

int ClientCertificatesTab::wholeWidth() const
{
    int width = 2 * certificatesTable->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (const int column : m_contentWidths)
        width += column;
    return width;
}

void ClientCertificatesTab::fitColumns()
{
    if (m_contentWidths.size() != certificatesTable->columnCount())
        return;
    QVector<int> widths = m_contentWidths;
    const int longColumns[] = {NameColumn, UriColumn, ThumbprintColumn, FileColumn};
    int room = certificatesTable->viewport()->width() - widths[FolderColumn] - widths[ValidUntilColumn];
    // The longest columns give way first: each is cut to one cap, the others keep their width.
    QVector<int> sorted;
    for (const int column : longColumns)
        sorted << widths[column];
    std::sort(sorted.begin(), sorted.end());
    int cap = sorted.last();
    for (int i = 0; i < sorted.size(); ++i) {
        const int share = room / int(sorted.size() - i);
        if (sorted[i] > share) {
            cap = share;
            break;
        }
        room -= sorted[i];
    }
    // Below a few characters an elided text says nothing: the table scrolls instead.
    cap = std::max(cap, fontMetrics().averageCharWidth() * 10);
    for (const int column : longColumns)
        widths[column] = std::min(widths[column], cap);
    for (int column = 0; column < widths.size(); ++column)
        certificatesTable->horizontalHeader()->resizeSection(column, widths[column]);
}

bool ClientCertificatesTab::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == certificatesTable->viewport() && event->type() == QEvent::Resize)
        fitColumns();
    return QWidget::eventFilter(watched, event);
}

QSize ClientCertificatesTab::sizeHint() const
{
    QSize hint = QWidget::sizeHint();
    if (!isVisible())
        return hint; // the other tabs keep the window as narrow as they need
    const QWidget* top = window();
    const QScreen* screen = top->screen();
    // What the window may grow to, less its frame and what lies around this tab.
    const int around = top->frameGeometry().width() - width();
    const int room = screen ? screen->availableGeometry().width() - around : hint.width();
    const int wanted = hint.width() - certificatesTable->sizeHint().width() + wholeWidth();
    hint.setWidth(std::max(hint.width(), std::min(wanted, room)));
    return hint;
}

void ClientCertificatesTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateGeometry();
    QWidget* top = window();
    if (top == this)
        return;
    const int missing = sizeHint().width() - width();
    if (missing <= 0)
        return;
    top->resize(top->width() + missing, top->height());
    // Kept on the screen: a window near its right edge moves left as it widens.
    if (const QScreen* screen = top->screen()) {
        const QRect available = screen->availableGeometry();
        const int overshoot = top->frameGeometry().right() - available.right();
        if (overshoot > 0)
            top->move(std::max(available.left(), top->x() - overshoot), top->y());
    }
}

void ClientCertificatesTab::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateGeometry();
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
    for (QPushButton* button : {trustPushButton, rejectPushButton, deletePushButton, importPushButton}) {
        button->setEnabled(button->isEnabled() && m_refusal.isEmpty());
        button->setToolTip(m_refusal);
    }
}

void ClientCertificatesTab::setRefusal(const QString& why)
{
    m_refusal = why;
    updateButtons();
}

void ClientCertificatesTab::finish(const ActionResult& result)
{
    refresh();
    QStringList lines;
    for (const Problem& problem : result.problems)
        lines << problem.text();
    m_lastFailure = lines.join(QLatin1Char('\n'));
    for (const Problem& warning : result.warnings)
        lines << warning.text();
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
    if (!mayChange())
        return;
    finish(TrustStore(m_folders).trust(selectedEntries()));
}

void ClientCertificatesTab::rejectSelected()
{
    if (!mayChange())
        return;
    finish(TrustStore(m_folders).reject(selectedEntries()));
}

void ClientCertificatesTab::deleteSelected()
{
    const QList<TrustStore::Entry> selected = selectedEntries();
    if (selected.isEmpty())
        return;
    QStringList what, places;
    for (const TrustStore::Entry& entry : selected) {
        what << entry.path;
        const QString place = QDir(Backup::backupRoot(QFileInfo(entry.path).absolutePath()))
                                  .filePath(QStringLiteral("<date-time>"));
        if (!places.contains(place))
            places << place;
    }
    places << QDir(Backup::backupRoot(m_folders.backups)).filePath(QStringLiteral("<date-time>.json"));
    ConfirmDialog dialog(tr("Delete %n file(s)?", nullptr, int(selected.size())) + QLatin1Char('\n') +
                             what.join(QLatin1Char('\n')) + QLatin1Char('\n') +
                             tr("With a backup they are moved first into %1 (Data > Backups puts them back).")
                                 .arg(places.join(tr(", "))),
                         true, this);
    dialog.setBackupOffered(!m_folders.backups.isEmpty());
    dialog.setModal(true);
    if (dialog.exec() != QDialog::Accepted || !mayChange())
        return;
    finish(TrustStore(m_folders).remove(selected, dialog.keepBackup()));
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
    if (!mayChange())
        return;
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
