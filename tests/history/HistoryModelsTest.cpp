#include "HistoryTestSupport.h"

#include "history/DownloadsModel.h"
#include "history/DriversModel.h"
#include "history/HistorySortModel.h"

#include <QPersistentModelIndex>

#include <gtest/gtest.h>

namespace {

DriverRow driver(const QString &number, std::optional<int> daysAgo)
{
    DriverRow row;
    row.card = {0x0C, number, QStringLiteral("NOVÁK"), QStringLiteral("JAN")};
    const QDateTime now = utc(2026, 12, 1);
    if (daysAgo)
        row.lastComplete = now.addDays(-*daysAgo);
    row.daysSince = daysAgo;
    row.due = !daysAgo || *daysAgo >= 28;
    return row;
}

TEST(DriversModel, ShowsAndSortsTheCardsKeepingTheSelection)
{
    DriversModel model;
    model.setRows({driver(QStringLiteral("NEVER"), std::nullopt), driver(QStringLiteral("OLD"), 40),
                   driver(QStringLiteral("NEW"), 3)});
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.headerData(DriversModel::DaysSince, Qt::Horizontal).toString(), QStringLiteral("Dní od vyčtení"));
    EXPECT_EQ(model.data(model.index(0, DriversModel::LastDownload)).toString(), QStringLiteral("nikdy"));
    EXPECT_EQ(model.data(model.index(1, DriversModel::DaysSince)).toInt(), 40);
    EXPECT_EQ(model.data(model.index(1, DriversModel::Due)).toString(), QStringLiteral("ano"));
    EXPECT_EQ(model.data(model.index(2, DriversModel::Holder)).toString(), QStringLiteral("JAN NOVÁK"));

    HistorySortModel sorted;
    sorted.setSourceModel(&model);
    const auto cardAt = [&sorted](int row) {
        return sorted.index(row, DriversModel::CardNumber).data().toString();
    };
    const QPersistentModelIndex selected(sorted.index(1, DriversModel::CardNumber));
    // Fewer days first; never downloaded counts as the most days.
    sorted.sort(DriversModel::DaysSince, Qt::AscendingOrder);
    EXPECT_EQ(cardAt(0), QStringLiteral("NEW"));
    EXPECT_EQ(cardAt(1), QStringLiteral("OLD"));
    EXPECT_EQ(cardAt(2), QStringLiteral("NEVER"));
    EXPECT_EQ(selected.data().toString(), QStringLiteral("OLD"));
    sorted.sort(DriversModel::LastDownload, Qt::AscendingOrder);
    EXPECT_EQ(cardAt(0), QStringLiteral("NEVER"));
    EXPECT_EQ(cardAt(2), QStringLiteral("NEW"));
    EXPECT_EQ(selected.row(), 1);
}

TEST(DownloadsModel, GivesTheFolderOfADownload)
{
    DownloadsModel model;
    DownloadRecord waiting = sampleDownload(QStringLiteral("CZ1"), utc(2026, 11, 12, 8, 5), QStringLiteral("/data/a"));
    waiting.uploadState = UploadState::Waiting;
    DownloadRecord sent = sampleDownload(QStringLiteral("CZ2"), utc(2026, 11, 13, 8, 5), QStringLiteral("/data/b"));
    sent.uploadState = UploadState::Sent;
    sent.uploadStatus = 409;
    model.setRows({waiting, sent});
    EXPECT_EQ(model.columnCount(), DownloadsModel::ColumnCount);
    EXPECT_EQ(model.headerData(DownloadsModel::Upload, Qt::Horizontal).toString(), QStringLiteral("Odeslání"));
    EXPECT_EQ(model.data(model.index(0, DownloadsModel::Upload)).toString(), QStringLiteral("čeká na odeslání"));
    EXPECT_EQ(model.data(model.index(1, DownloadsModel::Upload)).toString(),
              QStringLiteral("odesláno (server již měl)"));
    EXPECT_EQ(model.data(model.index(0, DownloadsModel::Generation)).toString(), QStringLiteral("2 v2"));
    HistorySortModel sorted;
    sorted.setSourceModel(&model);
    sorted.sort(DownloadsModel::Time, Qt::DescendingOrder);
    EXPECT_EQ(sorted.index(0, 0).data(DownloadsModel::FolderRole).toString(), QStringLiteral("/data/b"));
    EXPECT_EQ(sorted.index(1, 0).data(DownloadsModel::FolderRole).toString(), QStringLiteral("/data/a"));
    EXPECT_EQ(sorted.index(1, 0).data(DownloadsModel::FilePathRole).toString(),
              QStringLiteral("/data/a/") + waiting.fileName);
}

} // namespace
