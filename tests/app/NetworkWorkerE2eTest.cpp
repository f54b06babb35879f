// The network on a thread of its own, with the real window on the real stack: a server that takes
// the connection and never answers holds no card work, and a termination request ends the program
// within seconds in whatever it is doing, with nothing lost.
#include "WindowE2e.h"
#include "app/SettingsCodec.h"
#include "app/TerminationSignals.h"
#include "history/HistoryStore.h"
#include "history/HistoryTestSupport.h"
#include "support/FleetServer.h"
#include "support/ModalAnswerer.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <csignal>

namespace {

using Clock = std::chrono::steady_clock;

class NetworkWorkerE2e : public WindowE2e
{
protected:
    void TearDown() override
    {
        WindowE2e::TearDown();
        server.reset();
        qunsetenv("KORVAN_UPLOAD_URL");
        qunsetenv("SSL_CERT_FILE");
    }

    // A server that accepts every connection and never answers.
    void startSilentServer()
    {
        server = std::make_unique<FleetServer>(std::vector<std::string>{"--no-answer"});
        ASSERT_TRUE(server->running()) << server->error();
        qputenv("KORVAN_UPLOAD_URL", QByteArray::fromStdString(server->url()));
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server->caFile()));
        writeSettingsFile(QStringLiteral("[Settings]\nCompany=FIRMA\nUser=%1\nPassword=heslo\n")
                                  .arg(EncodeSettingValue(QStringLiteral("řidič"))));
    }

    // Complete downloads of other cards, written and waiting for the server.
    std::vector<qint64> addWaitingFiles(int count)
    {
        HistoryStore store(HistoryStore::defaultPath());
        std::vector<qint64> ids;
        for (int i = 0; i < count; ++i) {
            const QString card = QStringLiteral("CZ%1").arg(i);
            const QByteArray bytes = QByteArray("download of card ") + card.toLatin1();
            DownloadRecord record = sampleDownload(card, utc(2026, 12, 1, 8, i), downloadFolder.path(), bytes);
            record.uploadState = UploadState::Waiting;
            record.uploadAttempts = 1;
            record.nextAttemptUtc = record.timeUtc;
            EXPECT_TRUE(writeFile(record.filePath(), bytes));
            const StoreResult<qint64> id = store.recordDownload(record);
            EXPECT_TRUE(id.ok()) << id.error.toStdString();
            ids.push_back(id.value);
        }
        return ids;
    }

    std::vector<DownloadRecord> historyRows() const
    {
        HistoryStore store(HistoryStore::defaultPath(), {.access = HistoryStore::Access::ReadOnly});
        return store.downloads().value;
    }

    bool serverHasRequests(std::size_t count, int milliseconds = 30000)
    {
        return waitUntil([&] { return server->recordedRequests().size() >= count; }, milliseconds);
    }

    std::unique_ptr<FleetServer> server;
};

// Ten files wait for a server that never answers. The card in the reader at the start, and a card
// put in while the queue still waits, are each identified within two seconds, and a run completes.
TEST_F(NetworkWorkerE2e, CardsAreServedWhileTheQueueWaitsForASilentServer)
{
    startSilentServer();
    const std::vector<qint64> waiting = addWaitingFiles(10);
    VirtualCard &card = startCard({"--seed", "91"});

    openWindow();
    const Clock::time_point shown = Clock::now();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_LT(Clock::now() - shown, std::chrono::seconds(2));
    ASSERT_TRUE(serverHasRequests(1));

    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pcscd->waitForCard(readerName(0), true));
    const Clock::time_point inserted = Clock::now();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_LT(Clock::now() - inserted, std::chrono::seconds(2));

    EXPECT_EQ(runDownload(QMessageBox::No), QStringList{QStringLiteral("Odeslat soubor na server?")});
    EXPECT_EQ(statusText(), CompleteAndVerified);
    // The queue still waits for the first answer: the others were never tried.
    EXPECT_EQ(server->recordedRequests().size(), 1u);

    const Clock::time_point closing = Clock::now();
    closeWindow();
    ASSERT_TRUE(waitUntil([this] { return !form->isVisible(); }, 5000));
    EXPECT_LT(Clock::now() - closing, std::chrono::seconds(3));
    form.reset();
    for (const DownloadRecord &row : historyRows()) {
        if (std::find(waiting.begin(), waiting.end(), row.id) != waiting.end()) {
            EXPECT_EQ(row.uploadState, UploadState::Waiting) << row.fileName.toStdString();
        }
    }
}

// --- A termination request in each state ---

enum class State { Idle, Identifying, MidRun, QuestionOpen, Uploading, Retrying, FolderChooser, WriteFailureBox };

struct TerminationCase
{
    const char *name;
    State state;
};

class TerminationE2e : public NetworkWorkerE2e, public testing::WithParamInterface<TerminationCase>
{
protected:
    // What each state needs before the window opens.
    void prepare(State state)
    {
        switch (state) {
        case State::Idle:
            break;
        case State::Identifying:
            // A slow link keeps the identification going long enough to be caught.
            startCard({"--seed", "92", "--baud", "1200"});
            break;
        case State::MidRun:
            // A run at the speed of a real card's link lasts long enough to be caught.
            startCard({"--seed", "93", "--baud", "9600"});
            break;
        case State::QuestionOpen:
        case State::WriteFailureBox:
            startCard({"--seed", "93"});
            break;
        case State::Uploading:
            startSilentServer();
            startCard({"--seed", "94"});
            break;
        case State::Retrying:
            startSilentServer();
            addWaitingFiles(1);
            break;
        case State::FolderChooser:
            break;
        }
    }

    // Brings the open window into the state; then SIGTERM is raised from inside its events.
    void reach(State state)
    {
        switch (state) {
        case State::Idle:
            ASSERT_TRUE(waitUntil([this] { return form->state() == TMainForm::FormState::Idle; }));
            requestTermination();
            break;
        case State::Identifying:
            ASSERT_TRUE(waitUntil([this] { return form->state() == TMainForm::FormState::Identifying; }));
            requestTermination();
            break;
        case State::MidRun:
            ASSERT_TRUE(waitForIdentification());
            whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [this] { requestTermination(); });
            form->CardReadButton->click();
            break;
        case State::QuestionOpen:
            ASSERT_TRUE(waitForIdentification());
            form->CardReadButton->click();
            ASSERT_TRUE(
                    waitUntil([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); }, 60000));
            requestTermination();
            break;
        case State::Uploading: {
            ASSERT_TRUE(waitForIdentification());
            ModalAnswerer user(QMessageBox::Yes);
            form->CardReadButton->click();
            ASSERT_TRUE(waitUntil([this] { return form->state() == TMainForm::FormState::Uploading; }, 60000));
            ASSERT_TRUE(serverHasRequests(1));
            requestTermination();
            break;
        }
        case State::Retrying:
            ASSERT_TRUE(serverHasRequests(1));
            requestTermination();
            break;
        case State::FolderChooser:
            QTimer::singleShot(200, [this] {
                if (qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
                    requestTermination();
            });
            form->PathButton->click();
            break;
        case State::WriteFailureBox:
            ASSERT_TRUE(waitForIdentification());
            // A folder that is a file: no user, not even root, can write there.
            ASSERT_TRUE(writeFile(downloadFolder.filePath(QStringLiteral("blocked")), "not a folder"));
            form->SettingsPathEdit->setText(downloadFolder.filePath(QStringLiteral("blocked")));
            boxWatch.callOnTimeout([this] {
                if (qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr) {
                    boxWatch.stop();
                    boxWasOpen = true;
                    requestTermination();
                }
            });
            boxWatch.start(5);
            form->CardReadButton->click();
            break;
        }
    }

    // SIGTERM through the program's own handler, as `kill` sends it.
    void requestTermination()
    {
        requestedAt = Clock::now();
        raise(SIGTERM);
    }

    QTimer boxWatch;
    bool boxWasOpen = false;
    Clock::time_point requestedAt;
};

TEST_P(TerminationE2e, EndsWithinSecondsWithNothingLost)
{
    const State state = GetParam().state;
    prepare(state);
    openWindow();
    closeOnTerminationSignals(*form);
    reach(state);
    ASSERT_TRUE(waitUntil([this] { return !form->isVisible(); }, 60000)) << GetParam().name;
    const auto took = Clock::now() - requestedAt;
    EXPECT_LT(took, std::chrono::seconds(3)) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=")));
    form.reset();

    const std::vector<DownloadRecord> rows = historyRows();
    switch (state) {
    case State::MidRun:
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].outcome, DownloadOutcome::Incomplete);
        EXPECT_TRUE(QFileInfo::exists(rows[0].filePath()));
        break;
    case State::QuestionOpen:
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].outcome, DownloadOutcome::Complete);
        // Not the user's No: the file can still be sent.
        EXPECT_EQ(rows[0].uploadState, UploadState::NotOffered);
        break;
    case State::Uploading:
    case State::Retrying:
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].uploadState, UploadState::Waiting);
        break;
    case State::WriteFailureBox:
        EXPECT_TRUE(boxWasOpen);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
        EveryState, TerminationE2e,
        testing::Values(TerminationCase{"Idle", State::Idle}, TerminationCase{"Identifying", State::Identifying},
                        TerminationCase{"MidRun", State::MidRun}, TerminationCase{"QuestionOpen", State::QuestionOpen},
                        TerminationCase{"Uploading", State::Uploading}, TerminationCase{"Retrying", State::Retrying},
                        TerminationCase{"FolderChooser", State::FolderChooser},
                        TerminationCase{"WriteFailureBox", State::WriteFailureBox}),
        [](const testing::TestParamInfo<TerminationCase> &param) { return param.param.name; });

} // namespace
