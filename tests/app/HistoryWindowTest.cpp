// The history in the window, on the fake PC/SC layer: the card tab's line under the holder, the
// Historie tab, the files waiting at start, and a history that cannot be used.
#include "app/MainUnit.h"
#include "app/SettingsLocation.h"
#include "history/DownloadsModel.h"
#include "history/DriversModel.h"
#include "history/DueRule.h"
#include "history/FileFingerprint.h"
#include "history/HistoryStore.h"
#include "support/FakePcsc.h"
#include "support/FleetServer.h"
#include "support/ModelCard.h"
#include "support/QtPrinters.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

// Takes the URLs the window would open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

namespace {

constexpr DWORD Present = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
constexpr DWORD Empty = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;
const QString CardNumber = QStringLiteral("CZ12345678901234");

DownloadRecord download(const QString &cardNumber, const QDateTime &timeUtc, const QString &folder,
                        DownloadOutcome outcome = DownloadOutcome::Complete)
{
    DownloadRecord record;
    record.timeUtc = timeUtc;
    record.card = {0, cardNumber, QStringLiteral("NOVAK"), QStringLiteral("JAN")};
    record.generation = 1;
    record.fileName = QStringLiteral("C_%1_%2.ddd").arg(timeUtc.toString(QStringLiteral("yyyyMMdd_HHmm")), cardNumber);
    record.folder = folder;
    record.outcome = outcome;
    return record;
}

class HistoryWindow : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(data.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        FakePcsc::reset();
        card.files[0x0520] = identificationFile();
        FakePcsc::setCard([this](const std::vector<std::uint8_t> &command) { return card.answer(command); });
    }

    void TearDown() override
    {
        form.reset();
        qunsetenv("KORVAN_UPLOAD_URL");
        qunsetenv("SSL_CERT_FILE");
        // A window that was given credentials wrote them into the settings file: the next case
        // starts without them.
        QFile::remove(settingsFilePath());
    }

    QString databasePath() const { return HistoryStore::defaultPath(); }

    void seed(const std::vector<DownloadRecord> &records)
    {
        HistoryStore store(databasePath());
        ASSERT_TRUE(store.recordDownloads(records).ok());
    }

    void openWindow()
    {
        form = std::make_unique<TMainForm>();
        form->setDownloadClock([this] { return now.toLocalTime(); });
        ASSERT_TRUE(QTest::qWaitFor([] { return FakePcsc::waitingCalls() == 1; }));
    }

    void notice(DWORD state)
    {
        const int before = FakePcsc::countCalls("SCardGetStatusChange");
        FakePcsc::queueStatusEvent({SCARD_S_SUCCESS, state});
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return FakePcsc::countCalls("SCardGetStatusChange") > before && FakePcsc::waitingCalls() == 1;
        }));
        QCoreApplication::processEvents();
        ASSERT_TRUE(QTest::qWaitFor([this] { return !form->isBusy(); }));
    }

    QString logText() const
    {
        form->flushLog();
        return form->LogMemo->toPlainText();
    }

    QTemporaryDir data;
    QTemporaryDir downloads;
    QDateTime now = QDateTime(QDate(2026, 12, 10), QTime(9, 30), Qt::LocalTime).toUTC();
    ModelCard card;
    std::unique_ptr<TMainForm> form;
};

TEST_F(HistoryWindow, TheCardTabShowsTheLastCompleteDownloadAndWhetherItIsDue)
{
    struct Case
    {
        const char *name;
        std::optional<int> daysAgo; // of a complete download
        bool incompleteYesterday;
    };
    const Case cases[] = {
            {"never downloaded", std::nullopt, false},
            {"27 days ago", 27, false},
            {"28 days ago", 28, false},
            {"29 days ago, incomplete since", 29, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(databasePath());
        std::vector<DownloadRecord> records;
        std::optional<QDateTime> last;
        if (c.daysAgo) {
            last = now.addDays(-*c.daysAgo);
            records.push_back(download(CardNumber, *last, downloads.path()));
        }
        if (c.incompleteYesterday)
            records.push_back(download(CardNumber, now.addDays(-1), downloads.path(), DownloadOutcome::Incomplete));
        // A card of the same number from another state is another card.
        DownloadRecord other = download(CardNumber, now.addDays(-2), downloads.path());
        other.card.issuingState = 7;
        records.push_back(other);
        seed(records);

        openWindow();
        notice(Present | 0x10000);
        ASSERT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
        ASSERT_TRUE(QTest::qWaitFor([this] { return !form->CardHistoryLabel->text().isEmpty(); }));
        EXPECT_EQ(form->CardHistoryLabel->text(), cardHistoryLine(last, now));
        EXPECT_EQ(form->CardHistoryLabel->text().contains(QStringLiteral("kartu je nutné vyčíst")),
                  !c.daysAgo || *c.daysAgo >= 28);
        EXPECT_TRUE(form->CardReadButton->isEnabled());

        notice(Empty | 0x20000);
        EXPECT_EQ(form->CardHistoryLabel->text(), QString());
        form.reset();
    }
}

TEST_F(HistoryWindow, TheHistoryTabListsTheDriversMostOverdueFirstAndOpensAFolder)
{
    std::vector<DownloadRecord> records{
            download(QStringLiteral("CZ0000000000005"), now.addDays(-5), downloads.path()),
            download(QStringLiteral("CZ0000000000040"), now.addDays(-40), downloads.path())};
    DownloadRecord gone = download(QStringLiteral("CZ0000000000005"), now.addDays(-1), downloads.path() + "/gone");
    gone.uploadState = UploadState::Declined;
    records.push_back(gone);
    seed(records);
    {
        HistoryStore store(databasePath());
        ASSERT_TRUE(store.noteIdentified({0, QStringLiteral("CZ0000000000NEW"), QStringLiteral("NOVA"), {}}, now).ok());
    }
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    openWindow();
    form->show();
    form->PageControl1->setCurrentWidget(form->HistorySheet);
    QAbstractItemModel *drivers = form->HistoryDriversView->model();
    QAbstractItemModel *rows = form->HistoryDownloadsView->model();
    ASSERT_TRUE(QTest::qWaitFor([&] { return drivers->rowCount() == 3 && rows->rowCount() == 3; }));

    const auto driverCell = [&](int row, int column) {
        return drivers->index(row, column).data().toString();
    };
    EXPECT_EQ(driverCell(0, DriversModel::CardNumber), QStringLiteral("CZ0000000000NEW"));
    EXPECT_EQ(driverCell(1, DriversModel::CardNumber), QStringLiteral("CZ0000000000040"));
    EXPECT_EQ(driverCell(1, DriversModel::DaysSince), QStringLiteral("40"));
    EXPECT_EQ(driverCell(1, DriversModel::Due), QStringLiteral("ano"));
    EXPECT_EQ(driverCell(2, DriversModel::CardNumber), QStringLiteral("CZ0000000000005"));
    EXPECT_EQ(driverCell(2, DriversModel::Due), QStringLiteral("ne"));
    // Newest first, each with its upload state.
    EXPECT_EQ(rows->index(0, DownloadsModel::Upload).data().toString(), uploadStateText(gone));

    // Sorted by a click on a header, and kept so when the history changes.
    form->HistoryDriversView->sortByColumn(DriversModel::CardNumber, Qt::AscendingOrder);
    EXPECT_EQ(driverCell(0, DriversModel::CardNumber), QStringLiteral("CZ0000000000005"));

    EXPECT_FALSE(form->HistoryFolderButton->isEnabled());
    form->HistoryDownloadsView->selectRow(1);
    ASSERT_TRUE(form->HistoryFolderButton->isEnabled());
    form->HistoryFolderButton->click();
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.front(), QUrl::fromLocalFile(downloads.path()));

    // A folder removed since is said so, not opened.
    form->HistoryDownloadsView->selectRow(0);
    form->HistoryFolderButton->click();
    EXPECT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(form->statusText(0), QStringLiteral("Složka %1 už neexistuje").arg(downloads.path() + "/gone"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

// Enlarged to what a 1366 × 768 screen holds, the tab gives both tables the room: no column title,
// card number, time or file name is cut.
TEST_F(HistoryWindow, TheTablesUseTheRoomOfALargerWindow)
{
    DownloadRecord record = download(QStringLiteral("CZ0000000000040"), now.addDays(-40), downloads.path());
    record.generation = 2;
    record.version = 2;
    seed({record});
    openWindow();
    form->show();
    form->resize(1300, 680);
    form->PageControl1->setCurrentWidget(form->HistorySheet);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->HistoryDownloadsView->model()->rowCount() == 1; }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->HistoryDownloadsView->width() > 1200; }));
    for (QTableView *view : {form->HistoryDriversView, form->HistoryDownloadsView}) {
        const QHeaderView *header = view->horizontalHeader();
        int used = 0;
        for (int column = 0; column < header->count(); ++column) {
            const std::string name = view->model()->headerData(column, Qt::Horizontal).toString().toStdString();
            EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column)) << name << " is elided";
            QStyleOptionViewItem option;
            option.initFrom(view);
            const QModelIndex cell = view->model()->index(0, column);
            EXPECT_GE(header->sectionSize(column), view->itemDelegate()->sizeHint(option, cell).width())
                    << name << " cuts its cells";
            used += header->sectionSize(column);
        }
        EXPECT_LE(used, view->viewport()->width()) << "a table scrolls sideways";
    }
}

// At start the waiting files are tried in their order: one gone from the disk is marked so and
// never sent, one the server cannot take yet stays and is counted in the status bar.
TEST_F(HistoryWindow, FilesWaitingAtStartAreTriedAndCounted)
{
    qputenv("KORVAN_UPLOAD_URL",
            QStringLiteral("https://127.0.0.1:%1/vorkany.php").arg(UnusedLoopbackPort()).toLatin1());
    const QByteArray bytes("the written download");
    DownloadRecord waiting = download(QStringLiteral("CZ1"), now.addDays(-1), downloads.path());
    const FileFingerprint fingerprint = fingerprintOf(bytes);
    waiting.size = fingerprint.size;
    waiting.sha256 = fingerprint.sha256;
    waiting.uploadState = UploadState::Waiting;
    QFile file(waiting.filePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    DownloadRecord gone = waiting;
    gone.fileName = QStringLiteral("gone.ddd");
    // The gone one first: the pass ends at the exchange that finds no server.
    seed({gone, waiting});

    openWindow();
    ASSERT_TRUE(QTest::qWaitFor([this] { return logText().contains(QStringLiteral("no longer on the disk")); }));
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->uploadsWaiting() == 1; }));
    EXPECT_TRUE(logText().contains(QStringLiteral("HTTP Upload failed: ")));
    EXPECT_TRUE(logText().contains(QStringLiteral("next attempt in 1 min")));
    auto *panel = form->StatusBar->findChild<QWidget *>(QStringLiteral("UploadsWaitingPanel"));
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->toolTip().endsWith(QStringLiteral(": 1")));
    // A retry never takes the status bar.
    EXPECT_EQ(form->statusText(0), QString());

    HistoryStore store(databasePath());
    const auto rows = store.downloads();
    ASSERT_EQ(rows.value.size(), 2u);
    for (const DownloadRecord &row : rows.value)
        EXPECT_EQ(row.uploadState, row.fileName == gone.fileName ? UploadState::Gone : UploadState::Waiting);
}

// "Odeslat na server" sends a declined complete download with the committed credentials, and the
// row then shows it sent; it cannot be pressed for a sent or an incomplete download.
TEST_F(HistoryWindow, ADeclinedDownloadIsSentFromTheHistoryTab)
{
    FleetServer server({"--expect-credentials", "FIRMA:řidič:heslo"});
    ASSERT_TRUE(server.running()) << server.error();
    qputenv("KORVAN_UPLOAD_URL", QByteArray::fromStdString(server.url()));
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server.caFile()));
    const QByteArray bytes("the declined download");
    const FileFingerprint fingerprint = fingerprintOf(bytes);
    DownloadRecord declined = download(QStringLiteral("CZ1"), now.addDays(-1), downloads.path());
    declined.size = fingerprint.size;
    declined.sha256 = fingerprint.sha256;
    declined.uploadState = UploadState::Declined;
    QFile file(declined.filePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    DownloadRecord sent = download(QStringLiteral("CZ2"), now.addDays(-2), downloads.path());
    sent.uploadState = UploadState::Sent;
    sent.uploadStatus = 200;
    DownloadRecord incomplete =
            download(QStringLiteral("CZ3"), now.addDays(-3), downloads.path(), DownloadOutcome::Incomplete);
    incomplete.uploadState = UploadState::Declined;
    seed({declined, sent, incomplete});

    openWindow();
    form->show();
    for (auto [edit, text] : {std::pair{form->SettingsCompanyEdit, "FIRMA"}, std::pair{form->SettingsUserEdit, "řidič"},
                              std::pair{form->SettingsPasswordEdit, "heslo"}}) {
        edit->setText(QString::fromUtf8(text));
        emit edit->editingFinished();
    }
    form->PageControl1->setCurrentWidget(form->HistorySheet);
    QAbstractItemModel *rows = form->HistoryDownloadsView->model();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows->rowCount() == 3; }));
    auto *sendButton = form->HistorySheet->findChild<QPushButton *>(QStringLiteral("HistorySendButton"));
    ASSERT_NE(sendButton, nullptr);
    EXPECT_EQ(sendButton->text(), QStringLiteral("Odeslat na server"));
    EXPECT_FALSE(sendButton->isEnabled());
    const auto select = [&](const DownloadRecord &record) {
        for (int row = 0; row < rows->rowCount(); ++row) {
            if (rows->index(row, DownloadsModel::File).data().toString() == record.fileName)
                form->HistoryDownloadsView->selectRow(row);
        }
    };
    for (const DownloadRecord *record : {&sent, &incomplete}) {
        select(*record);
        EXPECT_FALSE(sendButton->isEnabled()) << record->fileName.toStdString();
    }

    select(declined);
    ASSERT_TRUE(sendButton->isEnabled());
    sendButton->click();
    // The row stays selected across the reloads and shows the server's answer.
    EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const QModelIndexList selected =
                        form->HistoryDownloadsView->selectionModel()->selectedRows(DownloadsModel::Upload);
                return !selected.isEmpty() && selected.front().data().toString() == QStringLiteral("odesláno (200)");
            },
            20000));
    EXPECT_FALSE(sendButton->isEnabled());
    const std::vector<std::string> requests = server.recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find(bytes.toStdString()), std::string::npos);
    EXPECT_TRUE(
            logText().contains(QStringLiteral("Upload queue: %1: queued again by the user").arg(declined.fileName)));
    EXPECT_TRUE(logText().contains(
            QStringLiteral("Upload queue: %1: sent, the server answered 200").arg(declined.fileName)));
}

// A history that cannot be used is named in the log; the card is identified and can be read.
TEST_F(HistoryWindow, ADamagedHistoryIsLoggedAndNothingElseChanges)
{
    QDir().mkpath(QFileInfo(databasePath()).path());
    QFile junk(databasePath());
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, '\x5a'));
    junk.close();

    openWindow();
    form->show();
    notice(Present | 0x10000);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
    EXPECT_TRUE(form->CardReadButton->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([this] { return logText().contains(QStringLiteral("history ") + databasePath()); }));
    EXPECT_EQ(form->CardHistoryLabel->text(), QString());

    form->PageControl1->setCurrentWidget(form->HistorySheet);
    EXPECT_TRUE(QTest::qWaitFor([this] { return form->HistoryErrorLabel->isVisible(); }));
}

} // namespace

#include "HistoryWindowTest.moc"
