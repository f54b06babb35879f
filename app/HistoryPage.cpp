#include "app/HistoryPage.h"

#include "app/WindowScale.h"
#include "history/DownloadsModel.h"
#include "history/DriversModel.h"
#include "history/HistorySnapshot.h"
#include "history/HistorySortModel.h"
#include "history/HistoryStore.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QTableView *historyView(const char *name, QWidget *parent, QAbstractItemModel *model, int sortColumn)
{
    auto *view = new QTableView(parent);
    view->setObjectName(QLatin1String(name));
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    // Fixed heights, and widths measured on the first rows only: measuring ten thousand rows would
    // make the user wait.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setResizeContentsPrecision(100);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setSortIndicator(sortColumn, Qt::DescendingOrder);
    view->setSortingEnabled(true);
    view->resizeColumnsToContents();
    return view;
}

} // namespace

HistoryPage::HistoryPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("HistorySheet"));
    HistoryErrorLabel = new QLabel(
            QStringLiteral("Historii vyčítání nelze načíst, podrobnosti jsou v ladících informacích."), this);
    HistoryErrorLabel->setObjectName(QStringLiteral("HistoryErrorLabel"));
    HistoryErrorLabel->setWordWrap(true);
    HistoryErrorLabel->hide();

    auto *splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName(QStringLiteral("HistorySplitter"));
    splitter->setChildrenCollapsible(false);
    m_driversModel = new DriversModel(this);
    m_driversModel->setObjectName(QStringLiteral("HistoryDriversModel"));
    m_sortedDrivers = new HistorySortModel(this);
    m_sortedDrivers->setSourceModel(m_driversModel);
    // Most overdue first: never downloaded, then the oldest download.
    HistoryDriversView = historyView("HistoryDriversView", splitter, m_sortedDrivers, DriversModel::DaysSince);
    m_downloadsModel = new DownloadsModel(this);
    m_downloadsModel->setObjectName(QStringLiteral("HistoryDownloadsModel"));
    m_sortedDownloads = new HistorySortModel(this);
    m_sortedDownloads->setSourceModel(m_downloadsModel);
    HistoryDownloadsView = historyView("HistoryDownloadsView", splitter, m_sortedDownloads, DownloadsModel::Time);

    HistoryFolderButton = new QPushButton(QStringLiteral("Otevřít složku"), this);
    HistoryFolderButton->setObjectName(QStringLiteral("HistoryFolderButton"));
    HistoryFolderButton->setEnabled(false);
    HistorySendButton = new QPushButton(QStringLiteral("Odeslat na server"), this);
    HistorySendButton->setObjectName(QStringLiteral("HistorySendButton"));
    HistorySendButton->setEnabled(false);
    m_sendAction = new QAction(HistorySendButton->text(), this);
    m_sendAction->setEnabled(false);
    HistoryDownloadsView->addAction(m_sendAction);
    HistoryDownloadsView->setContextMenuPolicy(Qt::ActionsContextMenu);

    m_layout = new QVBoxLayout(this);
    m_layout->addWidget(HistoryErrorLabel);
    m_layout->addWidget(splitter, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(HistorySendButton);
    buttons->addWidget(HistoryFolderButton);
    m_layout->addLayout(buttons);
    applyScale(1.0);

    connect(HistoryFolderButton, &QPushButton::clicked, this, &HistoryPage::openDownloadFolder);
    connect(HistoryDownloadsView, &QAbstractItemView::doubleClicked, this, &HistoryPage::openDownloadFolder);
    connect(HistorySendButton, &QPushButton::clicked, this, &HistoryPage::sendSelected);
    connect(m_sendAction, &QAction::triggered, this, &HistoryPage::sendSelected);
    connect(HistoryDownloadsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryPage::updateButtons);
}

void HistoryPage::applyScale(double scale)
{
    const int margin = WindowScale::scaled(4, scale);
    m_layout->setContentsMargins(margin, margin, margin, margin);
    m_layout->setSpacing(margin);
}

void HistoryPage::markStale()
{
    m_stale = true;
    if (m_current)
        requestLoad();
}

void HistoryPage::setCurrent(bool current)
{
    m_current = current;
    if (m_current && m_stale)
        requestLoad();
}

void HistoryPage::requestLoad()
{
    // One load at a time: a change meanwhile loads again when this one has come.
    if (m_loadRequested)
        return;
    m_loadRequested = true;
    m_stale = false;
    emit loadRequested();
}

void HistoryPage::showSnapshot(const HistorySnapshot &snapshot)
{
    m_loadRequested = false;
    HistoryErrorLabel->setVisible(!snapshot.error.isEmpty());
    // The selected download stays selected across a reload.
    const DownloadRecord *selected = selectedDownload();
    const qint64 selectedId = selected != nullptr ? selected->id : 0;
    m_driversModel->setRows(snapshot.drivers);
    m_downloadsModel->setRows(snapshot.downloads);
    if (!m_columnsFitted && (!snapshot.drivers.empty() || !snapshot.downloads.empty())) {
        m_columnsFitted = true;
        HistoryDriversView->resizeColumnsToContents();
        HistoryDownloadsView->resizeColumnsToContents();
    }
    if (selectedId != 0)
        selectDownload(selectedId);
    updateButtons();
    if (m_stale && m_current)
        requestLoad();
}

void HistoryPage::selectDownload(qint64 id)
{
    for (int row = 0; row < m_downloadsModel->rowCount(); ++row) {
        if (m_downloadsModel->row(row).id == id) {
            HistoryDownloadsView->selectRow(m_sortedDownloads->mapFromSource(m_downloadsModel->index(row, 0)).row());
            return;
        }
    }
}

const DownloadRecord *HistoryPage::selectedDownload() const
{
    const QModelIndexList selected = HistoryDownloadsView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return nullptr;
    return &m_downloadsModel->row(m_sortedDownloads->mapToSource(selected.front()).row());
}

void HistoryPage::updateButtons()
{
    const DownloadRecord *selected = selectedDownload();
    HistoryFolderButton->setEnabled(selected != nullptr);
    // The snapshot may be behind the database: the queue checks again before it changes anything.
    const bool sendable = selected != nullptr && HistoryStore::canSendFromHistory(*selected);
    HistorySendButton->setEnabled(sendable);
    m_sendAction->setEnabled(sendable);
}

void HistoryPage::sendSelected()
{
    const DownloadRecord *selected = selectedDownload();
    if (selected == nullptr || !HistoryStore::canSendFromHistory(*selected))
        return;
    const qint64 id = selected->id;
    // Until the history says otherwise, the row is on its way: a second press sends nothing twice.
    HistorySendButton->setEnabled(false);
    m_sendAction->setEnabled(false);
    emit sendRequested(id);
}

void HistoryPage::openDownloadFolder()
{
    const QModelIndexList selected = HistoryDownloadsView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const QString folder = selected.front().data(DownloadsModel::FolderRole).toString();
    if (folder.isEmpty() || !QDir(folder).exists()) {
        emit statusMessage(QStringLiteral("Složka %1 už neexistuje").arg(folder));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        emit statusMessage(QStringLiteral("Složku %1 nelze otevřít").arg(folder));
}
