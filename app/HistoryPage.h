#pragma once

// The "Historie" tab: the drivers with their last download and the downloads with their upload
// state, from snapshots the history's owner sends. The tab asks for a snapshot when it is shown
// and the one it has is stale.

#include <QWidget>

class DownloadsModel;
class DriversModel;
class QAction;
class HistorySortModel;
class QLabel;
class QPushButton;
class QTableView;
class QVBoxLayout;
struct DownloadRecord;
struct HistorySnapshot;

class HistoryPage : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryPage(QWidget *parent = nullptr);

    void applyScale(double scale);
    // The history has changed: the current tab asks for it at once, another when it becomes current.
    void markStale();
    void setCurrent(bool current);
    void showSnapshot(const HistorySnapshot &snapshot);

    QTableView *HistoryDriversView = nullptr;
    QTableView *HistoryDownloadsView = nullptr;
    QPushButton *HistoryFolderButton = nullptr;
    // "Odeslat na server": a complete download that was never sent goes to the upload queue.
    QPushButton *HistorySendButton = nullptr;
    QLabel *HistoryErrorLabel = nullptr;

signals:
    void loadRequested();
    // Why the selected download's folder could not be opened.
    void statusMessage(const QString &text);
    void sendRequested(qint64 downloadId);

private:
    void requestLoad();
    void openDownloadFolder();
    void selectDownload(qint64 id);
    // The selected download; none when no row is selected.
    const DownloadRecord *selectedDownload() const;
    void updateButtons();
    void sendSelected();

    DriversModel *m_driversModel = nullptr;
    DownloadsModel *m_downloadsModel = nullptr;
    HistorySortModel *m_sortedDrivers = nullptr;
    HistorySortModel *m_sortedDownloads = nullptr;
    QAction *m_sendAction = nullptr;
    QVBoxLayout *m_layout = nullptr;
    bool m_loadRequested = false;
    bool m_stale = true;
    bool m_current = false;
    // The columns are fitted to the first rows that come, not at every reload.
    bool m_columnsFitted = false;
};
