// The client-certificate folders in one table: trust a client the server refused, reject or delete one,
// import partners' certificates and CRLs. The table follows the folders as the server writes into them.
#pragma once

#include "core/trustStore.h"

#include "ui_clientCertificatesTab.h"

#include <QFileSystemWatcher>
#include <QSet>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

class ClientCertificatesTab : public QWidget, private Ui::ClientCertificatesTab
{
    Q_OBJECT

public:
    enum Column
    {
        FolderColumn,
        NameColumn,
        UriColumn,
        ValidUntilColumn,
        ThumbprintColumn,
        FileColumn
    };

    explicit ClientCertificatesTab(QWidget* parent = nullptr);
    ~ClientCertificatesTab() override;

    // While shown: wide enough for every column whole, as far as the screen allows.
    QSize sizeHint() const override;

    // The folders to show and watch (empty paths are not configured), then lists them.
    void setFolders(const TrustStore::Folders& folders);
    const QList<TrustStore::Entry>& entries() const { return m_entries; }
    QList<TrustStore::Entry> selectedEntries() const;
    // Asked before each change; false stops it (the asker has said why).
    void setBeforeChange(std::function<bool()> check) { m_beforeChange = std::move(check); }
    // Why no file may be trusted, rejected, deleted or imported now (the rule book's reason), empty when they
    // may: their buttons are disabled with it as their tool tip.
    void setRefusal(const QString& why);
    // What the last action or listing could not do, one line per file; empty when all went well.
    QString lastFailure() const { return m_lastFailure; }
    // Rows still being added: a large folder is read in a worker thread after the first rows are shown.
    bool filling() const { return m_filling; }
    // Calls then (queued) once every row of the listing is in, at once when none is pending.
    void whenFilled(std::function<void()> then);

    // Rows read before the table is first shown; the rest follow in batches of s_batchRows.
    static constexpr int s_firstRows = 60;
    static constexpr int s_batchRows = 100;

public slots:
    // Lists the folders again, keeping the selection.
    void refresh();
    void trustSelected();
    void rejectSelected();
    // Asks first, naming every file that goes.
    void deleteSelected();
    void importFiles();
    void importPaths(const QStringList& paths);
    void showDetails();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Shown: the window widens, once, as far as the columns need and the screen allows.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // The columns share the table's width; long names, URIs, thumbprints and files are elided in the middle
    // (their tool tips hold them whole).
    void fitColumns();
    // The table's width with every column whole.
    int wholeWidth() const;
    void updateButtons();
    // Rows for entries listed by the listing numbered generation; an older listing's rows are dropped.
    void appendRows(int generation, const QList<TrustStore::Entry>& entries);
    void filled(int generation);
    void setRow(int row, const TrustStore::Entry& entry, const QDateTime& now);
    void measureColumns();
    // Stops a worker of an earlier listing, waiting for its current batch.
    void stopFilling();
    // Lists again and shows what failed, naming each file and the reason.
    void finish(const ActionResult& result);
    void watch();
    bool mayChange() const { return !m_beforeChange || m_beforeChange(); }

    TrustStore::Folders m_folders;
    QList<TrustStore::Entry> m_entries;
    QFileSystemWatcher m_watcher;
    QTimer m_refreshLater; // the server writes a file in steps: one listing after the last change
    QString m_lastFailure;
    std::function<bool()> m_beforeChange;
    QString m_refusal;
    QVector<int> m_contentWidths; // each column's width for its longest text
    QSet<QString> m_keepSelected; // paths selected before the listing, selected again as their rows come
    std::thread m_filler;
    std::atomic<int> m_generation{0}; // the current listing; a worker of another one stops
    bool m_filling = false;
    std::vector<std::function<void()>> m_whenFilled;
};
