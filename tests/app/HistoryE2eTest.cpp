// The history and the upload queue of the real window on the real stack, with the local fleet
// server: the card tab's line after downloads, the 28-day rule, a file that waits for the server
// or for new credentials, and a history that cannot be used.
#include "WindowE2e.h"
#include "app/SettingsCodec.h"
#include "history/CardIdentity.h"
#include "history/DownloadsModel.h"
#include "history/HistoryStore.h"
#include "support/FleetServer.h"
#include "support/ModalAnswerer.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <unistd.h>

namespace {

const QDateTime FirstDay(QDate(2025, 6, 1), QTime(12, 0));
const QString ServerCredentials = QStringLiteral("FIRMA:řidič:heslo");

class HistoryE2e : public WindowE2e
{
protected:
    void TearDown() override
    {
        WindowE2e::TearDown();
        server.reset();
        qunsetenv("KORVAN_UPLOAD_URL");
        qunsetenv("SSL_CERT_FILE");
    }

    void writeCredentials(const QString &password)
    {
        writeSettingsFile(QStringLiteral("[Settings]\nCompany=%1\nUser=%2\nPassword=%3\n")
                                  .arg(EncodeSettingValue(QStringLiteral("FIRMA")),
                                       EncodeSettingValue(QStringLiteral("řidič")), EncodeSettingValue(password)));
    }

    void startServer(std::vector<std::string> options)
    {
        server = std::make_unique<FleetServer>(std::move(options));
        ASSERT_TRUE(server->running()) << server->error();
        qputenv("KORVAN_UPLOAD_URL", QByteArray::fromStdString(server->url()));
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server->caFile()));
    }

    TMainForm &openWindowAt(const QDateTime &time)
    {
        clock = time;
        openWindow();
        form->setDownloadClock([this] { return clock; });
        return *form;
    }

    // The card out and in again: identified afresh.
    void reinsert(VirtualCard &card)
    {
        ASSERT_TRUE(card.remove());
        ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
        ASSERT_TRUE(insertedAndSeen(card, 0));
        ASSERT_TRUE(waitForIdentification());
    }

    QString cardLine()
    {
        waitUntil([this] { return !form->CardHistoryLabel->text().isEmpty(); });
        return form->CardHistoryLabel->text();
    }

    std::vector<DownloadRecord> historyRows() const
    {
        HistoryStore store(HistoryStore::defaultPath(), {.access = HistoryStore::Access::ReadOnly});
        return store.downloads().value;
    }

    std::unique_ptr<FleetServer> server;
    QDateTime clock;
};

TEST_F(HistoryE2e, TwoDownloadsOfOneCardShowTheFirstOnesDateOnIdentification)
{
    VirtualCard &card = startCard({"--seed", "81"});
    openWindowAt(FirstDay);
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(cardLine(), QStringLiteral("dosud nevyčtena, kartu je nutné vyčíst"));
    runDownload(QMessageBox::No);

    reinsert(card);
    EXPECT_EQ(cardLine(), QStringLiteral("naposledy vyčteno 1. 6. 2025"));
    clock = FirstDay.addDays(3);
    runDownload(QMessageBox::No);
    reinsert(card);
    EXPECT_EQ(cardLine(), QStringLiteral("naposledy vyčteno 4. 6. 2025"));

    const std::vector<DownloadRecord> rows = historyRows();
    ASSERT_EQ(rows.size(), 2u);
    const CardIdentity identity = cardIdentityFromDownload(
            QByteArrayView(card.expectedDownload().data(), static_cast<qsizetype>(card.expectedDownload().size())));
    for (const DownloadRecord &row : rows) {
        EXPECT_EQ(row.card, identity);
        EXPECT_EQ(row.outcome, DownloadOutcome::Complete);
        EXPECT_EQ(row.uploadState, UploadState::Declined);
        EXPECT_EQ(row.folder, downloadFolder.path());
        EXPECT_TRUE(QFileInfo::exists(row.filePath()));
        EXPECT_EQ(row.size, QFileInfo(row.filePath()).size());
        EXPECT_TRUE(row.verdict.has_value());
    }
    EXPECT_EQ(rows.front().timeUtc, FirstDay.addDays(3).toUTC());

    form->PageControl1->setCurrentWidget(form->HistorySheet);
    EXPECT_TRUE(waitUntil([this] { return form->HistoryDownloadsView->model()->rowCount() == 2; }));
    EXPECT_EQ(form->HistoryDriversView->model()->rowCount(), 1);
}

TEST_F(HistoryE2e, ACardLastDownloaded29DaysAgoIsDue)
{
    VirtualCard &card = startCard({"--seed", "82"});
    const auto bytes = card.expectedDownload();
    DownloadRecord seeded;
    seeded.card = cardIdentityFromDownload(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    ASSERT_TRUE(seeded.card.known());
    seeded.timeUtc = FirstDay.addDays(-29).toUTC();
    seeded.outcome = DownloadOutcome::Complete;
    seeded.fileName = QStringLiteral("C_old.ddd");
    {
        HistoryStore store(HistoryStore::defaultPath());
        ASSERT_TRUE(store.recordDownload(seeded).ok());
    }
    openWindowAt(FirstDay);
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(cardLine(), QStringLiteral("naposledy vyčteno 3. 5. 2025, kartu je nutné vyčíst"));
    EXPECT_TRUE(form->CardReadButton->isEnabled());
}

// The server is down when the user answers Yes: the file waits, counted in the status bar. With
// the server back, the next start sends it once, and the history says it was sent.
TEST_F(HistoryE2e, AFileThatFoundTheServerDownIsSentOnceWhenItIsBack)
{
    const std::uint16_t port = UnusedLoopbackPort();
    qputenv("KORVAN_UPLOAD_URL", QStringLiteral("https://127.0.0.1:%1/vorkany.php").arg(port).toLatin1());
    writeCredentials(QStringLiteral("heslo"));
    VirtualCard &card = startCard({"--seed", "83"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload(QMessageBox::Yes);
    EXPECT_EQ(statusText(), QStringLiteral("Odeslání souboru na server selhalo"));
    ASSERT_TRUE(waitUntil([this] { return form->uploadsWaiting() == 1; }));
    ASSERT_EQ(historyRows().size(), 1u);
    EXPECT_EQ(historyRows().front().uploadState, UploadState::Waiting);
    closeWindow();

    startServer(
            {"--listen", "127.0.0.1:" + std::to_string(port), "--expect-credentials", ServerCredentials.toStdString()});
    openWindow();
    ASSERT_TRUE(waitUntil([this] { return form->uploadsWaiting() == 0 && !server->recordedRequests().empty(); }, 30000))
            << logText().toStdString();
    // Time for a second request that must not come.
    QTest::qWait(1500);
    const auto requests = server->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    const auto expected = card.expectedDownload();
    EXPECT_NE(requests.front().find(std::string(expected.begin(), expected.end())), std::string::npos);
    const std::vector<DownloadRecord> rows = historyRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows.front().uploadState, UploadState::Sent);
    EXPECT_EQ(rows.front().uploadStatus, 200);
    EXPECT_EQ(rows.front().uploadAttempts, 2);
}

// 401: the file waits and the queue sends nothing more until the credentials are changed in the
// settings; then the file goes once. A change counts when the user commits it, with Enter or by
// leaving the edit: a password half typed, however long the pauses, never reaches the server.
TEST_F(HistoryE2e, UnauthorizedHoldsTheQueueUntilTheCredentialsChange)
{
    startServer({"--expect-credentials", ServerCredentials.toStdString()});
    writeCredentials(QStringLiteral("spatne"));
    startCard({"--seed", "84"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload(QMessageBox::Yes);
    EXPECT_EQ(statusText(), QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje"));
    ASSERT_TRUE(waitUntil([this] { return form->uploadsWaiting() == 1; }));
    EXPECT_TRUE(logText().contains(QStringLiteral("the queue waits for new ones")));
    QTest::qWait(2000);
    EXPECT_EQ(server->recordedRequests().size(), 1u);

    form->PageControl1->setCurrentWidget(form->SettingsSheet);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QLineEdit *password = form->SettingsPasswordEdit;
    password->setFocus();
    password->selectAll();
    for (const QChar typed : QStringLiteral("hes")) {
        QTest::keyClick(password, typed.toLatin1());
        QTest::qWait(1200);
    }
    EXPECT_EQ(server->recordedRequests().size(), 1u);
    // Enter commits the half: refused like the first.
    QTest::keyClick(password, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([this] { return server->recordedRequests().size() == 2u; }));
    ASSERT_TRUE(waitUntil([this] { return logText().count(QStringLiteral("the queue waits for new ones")) == 2; }));

    QTest::keyClicks(password, QStringLiteral("lo"));
    QTest::qWait(1500);
    EXPECT_EQ(server->recordedRequests().size(), 2u);
    form->SettingsUserEdit->setFocus();
    ASSERT_TRUE(waitUntil([this] { return form->uploadsWaiting() == 0; }, 30000));
    EXPECT_EQ(server->recordedRequests().size(), 3u);
    ASSERT_EQ(historyRows().size(), 1u);
    EXPECT_EQ(historyRows().front().uploadState, UploadState::Sent);
    // The retry left the status bar to the user's own work.
    EXPECT_EQ(statusText(), QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje"));
}

struct BrokenCase
{
    const char *name;
    std::function<void(const QString &path)> breakIt;
    bool needsNonRoot;
};

class BrokenHistory : public HistoryE2e, public testing::WithParamInterface<BrokenCase>
{
protected:
    void TearDown() override
    {
        HistoryE2e::TearDown();
        if (QSqlDatabase::contains(QStringLiteral("locker"))) {
            QSqlDatabase::database(QStringLiteral("locker")).close();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        }
    }
};

// The history is a record, never a condition: the download is written and sent all the same,
// and the log names the history's problem.
TEST_P(BrokenHistory, DownloadsAndUploadsWorkAndTheLogSaysWhy)
{
    if (GetParam().needsNonRoot && geteuid() == 0)
        GTEST_SKIP() << "root writes to read-only files";
    const QString path = HistoryStore::defaultPath();
    {
        HistoryStore store(path);
        ASSERT_TRUE(store.open().ok());
    }
    GetParam().breakIt(path);
    startServer({"--expect-credentials", ServerCredentials.toStdString()});
    writeCredentials(QStringLiteral("heslo"));
    VirtualCard &card = startCard({"--seed", "85"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload(QMessageBox::Yes);

    EXPECT_EQ(statusText(), QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server"));
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_EQ(readDownload(downloadedFiles().front()), card.expectedDownload());
    EXPECT_EQ(server->recordedRequests().size(), 1u);
    EXPECT_TRUE(logText().contains(QStringLiteral("history ") + path)) << logText().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, BrokenHistory,
                         testing::Values(BrokenCase{"Damaged",
                                                    [](const QString &path) {
                                                        QFile file(path);
                                                        ASSERT_TRUE(
                                                                file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                                                        file.write(QByteArray(8192, '\x5a'));
                                                    },
                                                    false},
                                         BrokenCase{"ReadOnly",
                                                    [](const QString &path) {
                                                        QFile::remove(path + QStringLiteral("-wal"));
                                                        QFile::remove(path + QStringLiteral("-shm"));
                                                        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner));
                                                    },
                                                    true},
                                         BrokenCase{"LockedByAnotherProgram",
                                                    [](const QString &path) {
                                                        // Held until the test ends.
                                                        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                                                            QStringLiteral("locker"));
                                                        db.setDatabaseName(path);
                                                        ASSERT_TRUE(db.open());
                                                        QSqlQuery query(db);
                                                        ASSERT_TRUE(query.exec(QStringLiteral("BEGIN EXCLUSIVE")));
                                                    },
                                                    false}),
                         [](const testing::TestParamInfo<BrokenCase> &param) { return std::string(param.param.name); });

} // namespace
