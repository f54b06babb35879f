#include "HistoryTestSupport.h"

#include "history/UploadQueue.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <memory>

namespace {

UploadOutcome answer(int statusCode)
{
    return {true, statusCode, {}};
}

UploadOutcome noAnswer()
{
    return {false, 0, "connection refused"};
}

// The program's end, or the user's own file, cut the exchange off.
UploadOutcome cancelled()
{
    UploadOutcome outcome{false, 0, "cancelled while reading the answer"};
    outcome.cancelled = true;
    return outcome;
}

struct Sent
{
    QString fileName;
    QByteArray data;
    UploadCredentials credentials;
};

// What a program that dies mid-send leaves: the sender never returns.
struct Abandon
{
};

class UploadQueueTest : public testing::Test
{
protected:
    QTemporaryDir dir;
    QString databasePath = dir.filePath(QStringLiteral("history.sqlite"));
    HistoryStore store{databasePath};
    QDateTime now = utc(2026, 11, 12, 8, 0);
    std::vector<Sent> sent;
    std::deque<UploadOutcome> answers; // 200 when empty
    std::function<void()> duringSend; // runs inside the exchange, before the answer

    UploadSender sender()
    {
        return [this](const QByteArray &data, const QString &fileName, const UploadCredentials &credentials) {
            sent.push_back({fileName, data, credentials});
            if (duringSend)
                std::exchange(duringSend, {})();
            if (answers.empty())
                return answer(200);
            UploadOutcome next = answers.front();
            answers.pop_front();
            return next;
        };
    }

    std::unique_ptr<UploadQueue> makeQueue(HistoryStore &on)
    {
        auto queue = std::make_unique<UploadQueue>(on, sender());
        queue->setClock([this] { return now; });
        queue->setCredentials({QStringLiteral("firma"), QStringLiteral("user"), QStringLiteral("secret")});
        return queue;
    }

    // A download written to the folder and recorded, in the upload state given.
    qint64 addDownload(const QString &cardNumber, UploadState state = UploadState::NotOffered)
    {
        const QByteArray bytes = QByteArray("ddd of ") + cardNumber.toLatin1();
        DownloadRecord record = sampleDownload(cardNumber, now, dir.path(), bytes);
        record.uploadState = state;
        EXPECT_TRUE(writeFile(record.filePath(), bytes));
        const StoreResult<qint64> id = store.recordDownload(record);
        EXPECT_TRUE(id.ok()) << id.error.toStdString();
        return id.value;
    }

    DownloadRecord row(qint64 id) { return store.download(id).value.value_or(DownloadRecord{}); }

    std::vector<QString> sentNames() const
    {
        std::vector<QString> names;
        for (const Sent &s : sent)
            names.push_back(s.fileName);
        return names;
    }
};

TEST_F(UploadQueueTest, TheUsersUploadEndsOrIsQueuedByTheAnswer)
{
    struct Case
    {
        const char *name;
        UploadOutcome outcome;
        UploadState state;
        bool waits;
    };
    const Case cases[] = {
            {"200", answer(200), UploadState::Sent, false},
            {"409", answer(409), UploadState::Sent, false},
            {"503", answer(503), UploadState::Waiting, true},
            {"no answer", noAnswer(), UploadState::Waiting, true},
            {"401", answer(401), UploadState::Waiting, true},
            {"400", answer(400), UploadState::Failed, false},
            {"cancelled", cancelled(), UploadState::Waiting, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const qint64 id = addDownload(QString::fromLatin1(c.name));
        auto queue = makeQueue(store);
        sent.clear();
        answers = {c.outcome};
        const UploadOutcome outcome = queue->sendChosen(id, {}, {});
        EXPECT_EQ(outcome.statusCode, c.outcome.statusCode);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].data, QByteArray("ddd of ") + c.name);
        EXPECT_EQ(sent[0].credentials.password, QStringLiteral("secret"));
        const DownloadRecord stored = row(id);
        EXPECT_EQ(stored.uploadState, c.state);
        EXPECT_EQ(stored.uploadAttempts, 1);
        EXPECT_EQ(queue->waitingCount(), c.waits ? 1 : 0);
        // Settle it, so that the next case starts with an empty queue.
        store.finishAttempt(id, UploadState::Sent, 200, {}, {});
    }
}

// One pass over three waiting files: the server's answers, in the order they come, decide which
// files are tried, how each ends and whether the queue stops. Answers past the list are 200.
TEST_F(UploadQueueTest, APassGoesOnOrStopsByTheAnswers)
{
    struct Case
    {
        const char *name;
        std::vector<UploadOutcome> answers;
        std::vector<int> attempted;
        std::vector<UploadState> states;
        QString error; // of the last file attempted
        bool paused;
        int wakeUpMinutes; // -1: no timer
        const char *logged;
    };
    using enum UploadState;
    const Case cases[] = {
            {"no answer stops the pass",
             {noAnswer()},
             {0},
             {Waiting, Waiting, Waiting},
             "connection refused",
             false,
             1,
             "the server was not reached; 2 other files wait for the next attempt"},
            {"no answer after a 200",
             {answer(200), noAnswer()},
             {0, 1},
             {Sent, Waiting, Waiting},
             "connection refused",
             false,
             1,
             "1 other file waits"},
            {"no answer at the last file",
             {answer(200), answer(200), noAnswer()},
             {0, 1, 2},
             {Sent, Sent, Waiting},
             "connection refused",
             false,
             1,
             "next attempt in 1 min"},
            {"5xx goes on", {answer(503)}, {0, 1, 2}, {Waiting, Sent, Sent}, {}, false, 1, "the server answered 503"},
            {"3xx and 4xx end as failed",
             {answer(302), answer(403), answer(404)},
             {0, 1, 2},
             {Failed, Failed, Failed},
             "the server refused the file (404)",
             false,
             -1,
             "the server refused the file (403); it is not sent again"},
            {"401 holds", {answer(401)}, {0}, {Waiting, Waiting, Waiting}, {}, true, -1, "waits for new ones"},
            {"cancelled stops the pass, the server not judged",
             {cancelled()},
             {0},
             {Waiting, Waiting, Waiting},
             {},
             false,
             0,
             "the exchange was cancelled; next attempt in 1 min"},
    };
    int round = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<qint64> ids;
        for (int i = 0; i < 3; ++i)
            ids.push_back(addDownload(QStringLiteral("P%1F%2").arg(round).arg(i), UploadState::Waiting));
        ++round;
        auto queue = makeQueue(store);
        QSignalSpy lines(queue.get(), &UploadQueue::logLine);
        sent.clear();
        answers.assign(c.answers.begin(), c.answers.end());
        queue->processDue();

        std::vector<int> attempted;
        for (const QString &name : sentNames())
            for (int i = 0; i < 3; ++i)
                if (row(ids[i]).fileName == name)
                    attempted.push_back(i);
        EXPECT_EQ(attempted, c.attempted);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(row(ids[i]).uploadState, c.states[i]) << i;
            EXPECT_EQ(row(ids[i]).uploadAttempts, i <= c.attempted.back() ? 1 : 0) << i;
        }
        if (!c.error.isEmpty()) {
            EXPECT_EQ(row(ids[c.attempted.back()]).uploadError, c.error);
        }
        EXPECT_EQ(queue->isPaused(), c.paused);
        EXPECT_EQ(queue->nextWakeUp(), c.wakeUpMinutes < 0 ? QDateTime() : now.addSecs(c.wakeUpMinutes * 60));
        QStringList logged;
        for (const QList<QVariant> &line : lines)
            logged << line[0].toString();
        EXPECT_TRUE(logged.join(u'\n').contains(QString::fromLatin1(c.logged))) << logged.join(u'\n').toStdString();
        for (const qint64 id : ids)
            store.finishAttempt(id, UploadState::Sent, 200, {}, {});
    }
}

// Files the pass left waiting go at the first file's next attempt, not at once one by one.
TEST_F(UploadQueueTest, TheFilesAPassLeftGoAtTheNextAttempt)
{
    for (const char *card : {"CZ1", "CZ2", "CZ3"})
        addDownload(QString::fromLatin1(card), UploadState::Waiting);
    auto queue = makeQueue(store);
    answers = {noAnswer()};
    queue->start();
    ASSERT_EQ(sent.size(), 1u);
    const QDateTime next = now.addSecs(60);
    EXPECT_EQ(queue->nextWakeUp(), next);
    now = next.addSecs(-1);
    queue->processDue();
    EXPECT_EQ(sent.size(), 1u);
    now = next;
    queue->processDue();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1].fileName, sent[0].fileName);
    EXPECT_EQ(store.waitingCount().value, 0);
}

TEST_F(UploadQueueTest, RetriesBackOffUpToAnHour)
{
    const qint64 id = addDownload(QStringLiteral("CZ1"));
    auto queue = makeQueue(store);
    QSignalSpy counts(queue.get(), &UploadQueue::waitingCountChanged);
    answers = {noAnswer()};
    queue->sendChosen(id, {}, {});
    ASSERT_EQ(counts.size(), 1);
    EXPECT_EQ(counts.takeFirst().at(0).toInt(), 1);

    for (const int minutes : {1, 2, 4, 8, 16, 32, 60, 60}) {
        SCOPED_TRACE(minutes);
        const QDateTime due = now.addSecs(minutes * 60);
        ASSERT_EQ(queue->nextWakeUp(), due);
        const std::size_t before = sent.size();
        now = due.addSecs(-1);
        queue->processDue();
        EXPECT_EQ(sent.size(), before);
        now = due;
        answers = {answer(502)};
        queue->processDue();
        EXPECT_EQ(sent.size(), before + 1);
        EXPECT_EQ(sent.back().data, QByteArray("ddd of CZ1"));
    }
    now = queue->nextWakeUp();
    queue->processDue();
    EXPECT_EQ(row(id).uploadState, UploadState::Sent);
    EXPECT_EQ(row(id).uploadStatus, 200);
    EXPECT_FALSE(queue->nextWakeUp().isValid());
    ASSERT_EQ(counts.size(), 1);
    EXPECT_EQ(counts.takeFirst().at(0).toInt(), 0);

    // Recorded as taken: never sent again, by this queue or at a later start.
    now = now.addDays(1);
    queue->processDue();
    makeQueue(store)->start();
    EXPECT_EQ(sent.size(), 10u);
}

TEST_F(UploadQueueTest, UnauthorizedHoldsTheQueueUntilTheCredentialsChange)
{
    const qint64 first = addDownload(QStringLiteral("CZ1"), UploadState::Waiting);
    const qint64 second = addDownload(QStringLiteral("CZ2"), UploadState::Waiting);
    auto queue = makeQueue(store);
    answers = {answer(401)};
    queue->start();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(queue->isPaused());
    EXPECT_FALSE(queue->nextWakeUp().isValid());

    now = now.addSecs(3 * 3600);
    queue->processDue();
    queue->setCredentials({QStringLiteral("firma"), QStringLiteral("user"), QStringLiteral("secret")});
    EXPECT_EQ(sent.size(), 1u);

    queue->setCredentials({QStringLiteral("firma"), QStringLiteral("user"), QStringLiteral("correct")});
    EXPECT_FALSE(queue->isPaused());
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].fileName, row(first).fileName);
    EXPECT_EQ(sent[2].fileName, row(second).fileName);
    EXPECT_EQ(sent[2].credentials.password, QStringLiteral("correct"));
    EXPECT_EQ(row(first).uploadState, UploadState::Sent);
    EXPECT_EQ(row(second).uploadState, UploadState::Sent);
}

TEST_F(UploadQueueTest, AFileGoneOrChangedOnTheDiskIsNeverSent)
{
    struct Case
    {
        const char *name;
        std::function<void(const QString &path)> edit;
        UploadState state;
    };
    const Case cases[] = {
            {"removed", [](const QString &path) { QFile::remove(path); }, UploadState::Gone},
            {"one byte changed", [](const QString &path) { writeFile(path, "ddd of CX1"); }, UploadState::Changed},
            {"grown", [](const QString &path) { writeFile(path, "ddd of CZ1 and more"); }, UploadState::Changed},
            {"cut short", [](const QString &path) { writeFile(path, "ddd"); }, UploadState::Changed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const qint64 id = addDownload(QStringLiteral("CZ1"), UploadState::Waiting);
        c.edit(row(id).filePath());
        auto queue = makeQueue(store);
        QSignalSpy lines(queue.get(), &UploadQueue::logLine);
        queue->start();
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(row(id).uploadState, c.state);
        EXPECT_EQ(queue->waitingCount(), 0);
        EXPECT_FALSE(queue->nextWakeUp().isValid());
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0][0].toString().contains(QStringLiteral("not sent")));
    }
}

TEST_F(UploadQueueTest, OnlyWhatTheUserChoseIsSent)
{
    for (const UploadState state : {UploadState::NotOffered, UploadState::Declined, UploadState::Sent,
                                    UploadState::Failed, UploadState::Gone, UploadState::Changed})
        addDownload(QStringLiteral("CZ%1").arg(static_cast<int>(state)), state);
    const qint64 declined = addDownload(QStringLiteral("LATE"));
    ASSERT_TRUE(store.setUploadDeclined(declined).ok());
    auto queue = makeQueue(store);
    queue->start();
    now = now.addDays(2);
    queue->processDue();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(queue->sendChosen(declined, {}, {}).statusCode, 0);
    EXPECT_TRUE(sent.empty());
}

// The program holds the queue through a download run and its upload question: nothing due is
// sent meanwhile, not even when new credentials lift a 401, but the user's own choice is; what fell
// due goes out once the hold ends, all of it when a start came during the hold.
TEST_F(UploadQueueTest, AHeldQueueSendsOnlyTheUsersChoiceUntilLetGo)
{
    const qint64 waiting = addDownload(QStringLiteral("CZ1"), UploadState::Waiting);
    const qint64 chosen = addDownload(QStringLiteral("CZ2"));
    auto queue = makeQueue(store);
    queue->setHeld(true);
    queue->start();
    now = now.addDays(1);
    queue->processDue();
    EXPECT_TRUE(sent.empty());

    answers = {answer(401)};
    queue->sendChosen(chosen, {}, {});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(queue->isPaused());
    queue->setCredentials({QStringLiteral("firma"), QStringLiteral("user"), QStringLiteral("correct")});
    EXPECT_EQ(sent.size(), 1u);

    queue->setHeld(false);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].fileName, row(waiting).fileName);
    EXPECT_EQ(sent[2].fileName, row(chosen).fileName);
    EXPECT_EQ(row(waiting).uploadState, UploadState::Sent);
    EXPECT_EQ(row(chosen).uploadState, UploadState::Sent);
    EXPECT_EQ(queue->waitingCount(), 0);
}

// From the history the user sends a complete download that never reached the server: it goes as a
// retry does, its attempts counted afresh. Any other row, such as one another instance has sent or
// queued since the tab showed it, is left as it is.
TEST_F(UploadQueueTest, TheHistorySendsOnlyACompleteDownloadThatWasNeverSent)
{
    struct Case
    {
        const char *name;
        DownloadOutcome outcome;
        UploadState state;
        bool sends;
    };
    using enum UploadState;
    constexpr DownloadOutcome Complete = DownloadOutcome::Complete;
    const Case cases[] = {
            {"not offered", Complete, NotOffered, true},
            {"declined", Complete, Declined, true},
            {"refused", Complete, Failed, true},
            {"sent", Complete, Sent, false},
            {"waiting", Complete, Waiting, false},
            {"gone", Complete, Gone, false},
            {"changed", Complete, Changed, false},
            {"incomplete declined", DownloadOutcome::Incomplete, Declined, false},
            {"incomplete not offered", DownloadOutcome::Incomplete, NotOffered, false},
            {"not written", DownloadOutcome::NotWritten, NotOffered, false},
    };
    auto queue = makeQueue(store);
    QSignalSpy lines(queue.get(), &UploadQueue::logLine);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes = QByteArray("ddd of ") + c.name;
        DownloadRecord record = sampleDownload(QString::fromLatin1(c.name), now, dir.path(), bytes);
        record.outcome = c.outcome;
        record.uploadState = c.state;
        record.uploadStatus = 404;
        record.uploadAttempts = 3;
        record.uploadError = QStringLiteral("the server refused the file (404)");
        if (c.state == Waiting)
            record.nextAttemptUtc = now.addSecs(600);
        ASSERT_TRUE(writeFile(record.filePath(), bytes));
        const qint64 id = store.recordDownload(record).value;
        EXPECT_EQ(HistoryStore::canSendFromHistory(row(id)), c.sends);
        sent.clear();
        lines.clear();

        queue->sendFromHistory(id);
        const DownloadRecord after = row(id);
        ASSERT_FALSE(lines.isEmpty());
        if (c.sends) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].data, bytes);
            EXPECT_EQ(lines.front()[0].toString(),
                      QStringLiteral("Upload queue: %1: queued again by the user").arg(record.fileName));
            EXPECT_EQ(after.uploadState, Sent);
            EXPECT_EQ(after.uploadStatus, 200);
            EXPECT_EQ(after.uploadAttempts, 1);
        } else {
            EXPECT_TRUE(sent.empty());
            EXPECT_TRUE(lines.front()[0].toString().endsWith(QStringLiteral("it is not queued again")));
            EXPECT_EQ(after.uploadState, c.state);
            EXPECT_EQ(after.uploadStatus, 404);
            EXPECT_EQ(after.uploadAttempts, 3);
            EXPECT_EQ(after.nextAttemptUtc, record.nextAttemptUtc);
            EXPECT_EQ(after.uploadError, record.uploadError);
        }
        // Settled, so that no later case's pass sends it.
        store.finishAttempt(id, Sent, 200, {}, {});
    }
}

// Sent from the history during a run or its question, the file is counted as waiting and goes when
// the hold ends; a failure then queues it as any retry.
TEST_F(UploadQueueTest, AFileSentFromTheHistoryWaitsForTheHoldToEnd)
{
    const qint64 id = addDownload(QStringLiteral("CZ1"), UploadState::Declined);
    auto queue = makeQueue(store);
    queue->setHeld(true);
    queue->sendFromHistory(id);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(row(id).uploadState, UploadState::Waiting);
    EXPECT_EQ(queue->waitingCount(), 1);

    answers = {answer(503)};
    queue->setHeld(false);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(row(id).uploadState, UploadState::Waiting);
    EXPECT_EQ(row(id).nextAttemptUtc, now.addSecs(60));
    now = now.addSecs(60);
    queue->processDue();
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(row(id).uploadState, UploadState::Sent);
}

// Two programs on one database, each with its own connection and queue. The second starts while
// the first is in the middle of sending: every waiting file goes out once.
TEST_F(UploadQueueTest, TwoInstancesSendEachWaitingFileOnce)
{
    for (const char *card : {"CZ1", "CZ2", "CZ3"})
        addDownload(QString::fromLatin1(card), UploadState::Waiting);
    HistoryStore otherStore(databasePath);
    auto first = makeQueue(store);
    auto second = makeQueue(otherStore);
    duringSend = [&] {
        second->start();
        second->processDue();
    };
    first->start();
    first->processDue();
    second->start();

    std::vector<QString> names = sentNames();
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u) << testing::PrintToString(sentNames().size());
    EXPECT_TRUE(names[0].endsWith(QStringLiteral("CZ1.ddd")));
    EXPECT_TRUE(names[1].endsWith(QStringLiteral("CZ2.ddd")));
    EXPECT_TRUE(names[2].endsWith(QStringLiteral("CZ3.ddd")));
    EXPECT_EQ(store.waitingCount().value, 0);
}

// The program dies after the server took the file and before the answer was recorded: the next
// start sends it once more (the server's 409 then ends it), and never again after that.
TEST_F(UploadQueueTest, ACrashBetweenSendingAndRecordingSendsOnceMoreAtTheNextStart)
{
    const qint64 id = addDownload(QStringLiteral("CZ1"), UploadState::Waiting);
    {
        HistoryStore dyingStore(databasePath);
        auto dying = makeQueue(dyingStore);
        duringSend = [&] {
            EXPECT_EQ(row(id).uploadState, UploadState::Sending);
            // While the dying program still holds the file, nobody else sends it.
            makeQueue(store)->start();
            throw Abandon{};
        };
        EXPECT_THROW(dying->start(), Abandon);
        EXPECT_EQ(sent.size(), 1u);
        EXPECT_EQ(row(id).uploadState, UploadState::Sending);
    }
    auto next = makeQueue(store);
    answers = {answer(409)};
    next->start();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].data, QByteArray("ddd of CZ1"));
    EXPECT_EQ(row(id).uploadState, UploadState::Sent);
    EXPECT_EQ(row(id).uploadStatus, 409);
    makeQueue(store)->start();
    EXPECT_EQ(sent.size(), 2u);
}

// The history is a record, never a condition: without a row the chosen file is sent all the same.
TEST_F(UploadQueueTest, WithoutTheHistoryTheChosenFileIsStillSent)
{
    QByteArray junk(4096, 'j');
    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("broken.sqlite")), junk));
    HistoryStore broken(dir.filePath(QStringLiteral("broken.sqlite")));
    auto queue = makeQueue(broken);
    QSignalSpy lines(queue.get(), &UploadQueue::logLine);
    const UploadOutcome outcome = queue->sendChosen(0, "the bytes", QStringLiteral("C_x.ddd"));
    EXPECT_EQ(outcome.statusCode, 200);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, QByteArray("the bytes"));
    queue->start();
    EXPECT_EQ(sent.size(), 1u);
    for (const QList<QVariant> &line : lines)
        EXPECT_FALSE(line[0].toString().contains(QStringLiteral("secret")));
}

TEST(UploadQueueDelay, DoublesToAnHour)
{
    const int expected[] = {1, 1, 2, 4, 8, 16, 32, 60, 60, 60};
    for (int failures = 0; failures < 10; ++failures)
        EXPECT_EQ(UploadQueue::retryDelay(failures).count(), expected[failures]) << failures;
    EXPECT_EQ(UploadQueue::retryDelay(1000).count(), 60);
}

} // namespace
