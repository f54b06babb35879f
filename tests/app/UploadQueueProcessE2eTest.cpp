// The upload queue across whole programs: the real korvan executable started, killed and started
// again, and two of them started together, on one history, against the local fleet server. No
// card service runs: the queue needs none.
#include "history/HistoryStore.h"
#include "history/HistoryTestSupport.h"
#include "support/FleetServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class UploadQueueProcesses : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
        QDir().mkpath(home.filePath(QStringLiteral("config/Merkalo")));
        QDir().mkpath(home.filePath(QStringLiteral("downloads")));
        QFile settings(home.filePath(QStringLiteral("config/Merkalo/Korvan.ini")));
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write("[Settings]\nCompany=FIRMA\nUser=dispecer\nPassword=heslo\n");
    }

    void TearDown() override
    {
        for (auto &program : programs) {
            program->kill();
            program->waitForFinished();
        }
    }

    // A complete download of the card, written to the folder and recorded in the state given.
    qint64 addDownload(const QString &cardNumber, UploadState state, int status = 0)
    {
        const QByteArray bytes = QByteArray("download of card ") + cardNumber.toLatin1();
        DownloadRecord record =
                sampleDownload(cardNumber, utc(2026, 12, 1), home.filePath(QStringLiteral("downloads")), bytes);
        record.uploadState = state;
        record.uploadStatus = status;
        record.uploadAttempts = state == UploadState::NotOffered ? 0 : 1;
        if (state == UploadState::Waiting)
            record.nextAttemptUtc = record.timeUtc;
        EXPECT_TRUE(writeFile(record.filePath(), bytes));
        HistoryStore store(HistoryStore::defaultPath());
        const StoreResult<qint64> id = store.recordDownload(record);
        EXPECT_TRUE(id.ok()) << id.error.toStdString();
        return id.value;
    }

    DownloadRecord row(qint64 id) const
    {
        HistoryStore store(HistoryStore::defaultPath(), {.access = HistoryStore::Access::ReadOnly});
        return store.download(id).value.value_or(DownloadRecord{});
    }

    bool rowReaches(qint64 id, UploadState state, int milliseconds = 30000) const
    {
        return QTest::qWaitFor([&] { return row(id).uploadState == state; }, milliseconds);
    }

    QProcess &startProgram(const FleetServer &server)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("KORVAN_UPLOAD_URL"), QString::fromStdString(server.url()));
        environment.insert(QStringLiteral("SSL_CERT_FILE"), QString::fromStdString(server.caFile()));
        // A card service that another test may run is not this program's.
        environment.insert(QStringLiteral("PCSCLITE_CSOCK_NAME"), home.filePath(QStringLiteral("no-pcscd")));
        programs.push_back(std::make_unique<QProcess>());
        QProcess &program = *programs.back();
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.setStandardOutputFile(QProcess::nullDevice());
        program.start(QStringLiteral(KORVAN_PROGRAM_PATH), {});
        EXPECT_TRUE(program.waitForStarted()) << program.errorString().toStdString();
        return program;
    }

    // How many of the server's requests carry the download of that card.
    static int requestsFor(const FleetServer &server, const QString &cardNumber)
    {
        const std::string bytes = "download of card " + cardNumber.toStdString();
        int count = 0;
        for (const std::string &request : server.recordedRequests())
            count += request.find(bytes) != std::string::npos ? 1 : 0;
        return count;
    }

    QTemporaryDir home;
    std::vector<std::unique_ptr<QProcess>> programs;
};

// The program dies (SIGKILL) while a retry waits for the server's answer. The next start sends that
// file once more, and the server's answer ends it; a file whose 200 was recorded is never sent.
TEST_F(UploadQueueProcesses, AProgramKilledWhileARetryWaitsSendsThatFileOnceMoreAtTheNextStart)
{
    const qint64 sent = addDownload(QStringLiteral("CZ1"), UploadState::Sent, 200);
    const qint64 waiting = addDownload(QStringLiteral("CZ2"), UploadState::Waiting);

    const std::uint16_t port = UnusedLoopbackPort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    auto silent = std::make_unique<FleetServer>(std::vector<std::string>{"--listen", listen, "--no-answer"});
    ASSERT_TRUE(silent->running()) << silent->error();
    QProcess &dying = startProgram(*silent);
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent->recordedRequests().size() == 1; }, 30000));
    EXPECT_EQ(row(waiting).uploadState, UploadState::Sending);
    dying.kill();
    ASSERT_TRUE(dying.waitForFinished());
    EXPECT_EQ(requestsFor(*silent, QStringLiteral("CZ2")), 1);
    silent.reset();

    FleetServer answering({"--listen", listen});
    ASSERT_TRUE(answering.running()) << answering.error();
    startProgram(answering);
    ASSERT_TRUE(rowReaches(waiting, UploadState::Sent));
    // Time for a request that must not come.
    QTest::qWait(2000);
    EXPECT_EQ(answering.recordedRequests().size(), 1u);
    EXPECT_EQ(requestsFor(answering, QStringLiteral("CZ2")), 1);
    EXPECT_EQ(row(waiting).uploadStatus, 200);
    EXPECT_EQ(row(sent).uploadState, UploadState::Sent);
}

// A termination request while a retry waits for a server that never answers: the program ends
// within seconds, with its settings written, and the file stays waiting for the next start.
TEST_F(UploadQueueProcesses, ATerminationWhileARetryWaitsEndsWithinSecondsAndTheFileWaits)
{
    const qint64 waiting = addDownload(QStringLiteral("CZ1"), UploadState::Waiting);
    FleetServer silent({"--no-answer"});
    ASSERT_TRUE(silent.running()) << silent.error();
    QProcess &program = startProgram(silent);
    ASSERT_TRUE(QTest::qWaitFor([&] { return silent.recordedRequests().size() == 1; }, 30000));
    QElapsedTimer took;
    took.start();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(3000));
    EXPECT_LT(took.elapsed(), 3000);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(row(waiting).uploadState, UploadState::Waiting);
    QFile settings(home.filePath(QStringLiteral("config/Merkalo/Korvan.ini")));
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_TRUE(settings.readAll().contains("[Window]"));
}

// Two programs started at once on one history: each waiting file reaches the server once.
TEST_F(UploadQueueProcesses, TwoProgramsStartedTogetherSendEachWaitingFileOnce)
{
    const QStringList cards{QStringLiteral("CZ1"), QStringLiteral("CZ2"), QStringLiteral("CZ3")};
    std::vector<qint64> ids;
    for (const QString &card : cards)
        ids.push_back(addDownload(card, UploadState::Waiting));

    // A slow answer keeps each file in flight while the other program starts its queue.
    FleetServer server({"--delay-ms", "400"});
    ASSERT_TRUE(server.running()) << server.error();
    startProgram(server);
    startProgram(server);
    for (const qint64 id : ids)
        ASSERT_TRUE(rowReaches(id, UploadState::Sent));
    QTest::qWait(2000);
    EXPECT_EQ(server.recordedRequests().size(), 3u);
    for (const QString &card : cards)
        EXPECT_EQ(requestsFor(server, card), 1) << card.toStdString();
}

} // namespace
