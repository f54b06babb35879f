// The download history with 10,000 downloads of 600 cards: the lookup that identification adds
// (record the card, find its last complete download, make the card tab's line; target under 5 ms)
// and the loading of the history tab (a reading connection of its own, both lists, both models;
// target under 100 ms), and the same tab opened in the real window, from the click on the tab to
// the first painted table, which includes the way through the worker thread.
#include "support/BenchOptions.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"

#include "app/MainUnit.h"
#include "history/DownloadsModel.h"
#include "history/DriversModel.h"
#include "history/DueRule.h"
#include "history/HistorySortModel.h"
#include "history/HistoryStore.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTabWidget>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

QString cardNumber(long card)
{
    return QStringLiteral("CZ%1").arg(card, 14, 10, QLatin1Char('0'));
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options("Fills a history database and times the identification's lookup and the history tab's load.",
                         {{"downloads", "N", "10000", "rows of the downloads table"},
                          {"cards", "N", "600", "cards they belong to"},
                          {"runs", "N", "50", "loads of the tab (lookups: ten times as many)"}});
    options.parse(argc, argv);
    const long downloads = options.integer("downloads");
    const long cards = options.integer("cards");
    const long runs = options.integer("runs");
    if (downloads <= 0 || cards <= 0 || runs <= 0) {
        std::fprintf(stderr, "--downloads, --cards and --runs must be positive\n");
        return 2;
    }
    TemporaryDirectory directory("korvan-history-bench");
    if (!directory.valid()) {
        std::fprintf(stderr, "cannot make a temporary directory\n");
        return 1;
    }
    // The window keeps its settings and history here, and finds no card service.
    setenv("XDG_DATA_HOME", (directory.path() + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (directory.path() + "/config").c_str(), 1);
    setenv("PCSCLITE_CSOCK_NAME", (directory.path() + "/no-pcscd").c_str(), 1);
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    const QString path = HistoryStore::defaultPath();
    QDir().mkpath(QFileInfo(path).path());

    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::mt19937 random(20261112);
    std::vector<DownloadRecord> records;
    records.reserve(static_cast<std::size_t>(downloads));
    for (long i = 0; i < downloads; ++i) {
        DownloadRecord record;
        const long card = static_cast<long>(random() % static_cast<unsigned long>(cards));
        record.timeUtc = now.addSecs(-static_cast<qint64>(random() % (3 * 365 * 86400)));
        record.card = {0x0C, cardNumber(card), QStringLiteral("NOVÁK%1").arg(card), QStringLiteral("JAN")};
        record.generation = 2;
        record.version = 2;
        record.fileName = QStringLiteral("C_20261112_0830_J_NOVAK_%1.ddd").arg(record.card.cardNumber);
        record.folder = QStringLiteral("/home/office/karty");
        record.size = 123456;
        record.sha256 = QByteArray(32, 'h');
        record.outcome = random() % 10 == 0 ? DownloadOutcome::Incomplete : DownloadOutcome::Complete;
        record.verdict = Overall::VerifiedEuropeanRoot;
        record.uploadState = UploadState::Sent;
        record.uploadStatus = 200;
        records.push_back(std::move(record));
    }
    HistoryStore writer(path);
    const Clock::time_point filling = Clock::now();
    if (const StoreStatus filled = writer.recordDownloads(records); !filled.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(filled.error));
        return 1;
    }
    std::fprintf(stderr, "%ld downloads of %ld cards recorded in %.0f ms\n", downloads, cards,
                 millisecondsSince(filling));

    std::vector<double> lookups;
    for (long run = 0; run < runs * 10; ++run) {
        const CardIdentity card{0x0C, cardNumber(static_cast<long>(random() % static_cast<unsigned long>(cards))),
                                QStringLiteral("NOVÁK"), QStringLiteral("JAN")};
        const Clock::time_point start = Clock::now();
        writer.noteIdentified(card, now);
        const auto last = writer.lastCompleteDownload(card.issuingState, card.cardNumber);
        const QString line = cardHistoryLine(last.value, now);
        lookups.push_back(millisecondsSince(start));
        if (!last.ok() || line.isEmpty()) {
            std::fprintf(stderr, "lookup failed: %s\n", qPrintable(last.error));
            return 1;
        }
    }

    std::vector<double> loads;
    std::vector<double> driverReads;
    std::vector<double> downloadReads;
    std::vector<double> sorts;
    for (long run = 0; run < runs; ++run) {
        const Clock::time_point start = Clock::now();
        HistoryStore reader(path, {.access = HistoryStore::Access::ReadOnly});
        const Clock::time_point driversStart = Clock::now();
        auto drivers = reader.drivers(now);
        driverReads.push_back(millisecondsSince(driversStart));
        const Clock::time_point downloadsStart = Clock::now();
        auto rows = reader.downloads();
        downloadReads.push_back(millisecondsSince(downloadsStart));
        DriversModel driversModel;
        driversModel.setRows(std::move(drivers.value));
        DownloadsModel downloadsModel;
        downloadsModel.setRows(std::move(rows.value));
        loads.push_back(millisecondsSince(start));
        if (!drivers.ok() || !rows.ok() || downloadsModel.rowCount() != downloads) {
            std::fprintf(stderr, "load failed: %s%s\n", qPrintable(drivers.error), qPrintable(rows.error));
            return 1;
        }
        const Clock::time_point sortStart = Clock::now();
        HistorySortModel sortedDownloads;
        sortedDownloads.setSourceModel(&downloadsModel);
        sortedDownloads.sort(DownloadsModel::Holder, Qt::AscendingOrder);
        sorts.push_back(millisecondsSince(sortStart));
    }

    // The window opened afresh each time, so that its first load of the tab is measured.
    std::vector<double> tabOpenings;
    for (long run = 0; run < std::max(1L, runs / 10); ++run) {
        TMainForm form;
        form.show();
        while (form.state() == TMainForm::FormState::Starting)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const Clock::time_point start = Clock::now();
        form.PageControl1->setCurrentWidget(form.HistorySheet);
        while (form.HistoryDownloadsView->model()->rowCount() != downloads)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        form.HistorySheet->grab();
        tabOpenings.push_back(millisecondsSince(start));
    }

    std::printf("History of %ld downloads of %ld cards (SQLite, WAL).\n\n", downloads, cards);
    TextTable table({"step", "runs", "median ms", "min ms", "max ms", "target"});
    table.addRow({"identification's lookup", std::to_string(lookups.size()), TextTable::format("%.3f", median(lookups)),
                  TextTable::format("%.3f", minimum(lookups)), TextTable::format("%.3f", maximum(lookups)), "< 5 ms"});
    table.addRow({"history tab load", std::to_string(loads.size()), TextTable::format("%.1f", median(loads)),
                  TextTable::format("%.1f", minimum(loads)), TextTable::format("%.1f", maximum(loads)), "< 100 ms"});
    table.addRow({"  of it: drivers list", std::to_string(driverReads.size()),
                  TextTable::format("%.1f", median(driverReads)), TextTable::format("%.1f", minimum(driverReads)),
                  TextTable::format("%.1f", maximum(driverReads)), ""});
    table.addRow({"  of it: downloads list", std::to_string(downloadReads.size()),
                  TextTable::format("%.1f", median(downloadReads)), TextTable::format("%.1f", minimum(downloadReads)),
                  TextTable::format("%.1f", maximum(downloadReads)), ""});
    table.addRow({"history tab in the window", std::to_string(tabOpenings.size()),
                  TextTable::format("%.1f", median(tabOpenings)), TextTable::format("%.1f", minimum(tabOpenings)),
                  TextTable::format("%.1f", maximum(tabOpenings)), "< 100 ms"});
    table.addRow({"sort downloads by holder", std::to_string(sorts.size()), TextTable::format("%.1f", median(sorts)),
                  TextTable::format("%.1f", minimum(sorts)), TextTable::format("%.1f", maximum(sorts)), ""});
    table.print();
    const bool met = median(lookups) < 5 && median(loads) < 100 && median(tabOpenings) < 100;
    std::printf("\ntargets: %s\n", met ? "met" : "NOT MET");
    return met ? 0 : 1;
}
