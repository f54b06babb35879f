// The card presence monitor's thread hand-off, on the fake PC/SC layer (which, like pcsc-lite,
// loses a cancel that arrives while no wait is in progress).
#include "card/TachoCard.h"
#include "support/FakePcsc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Receiver : public TachoCard::CardStateReceiver
{
public:
    void PostCardState(const TachoCard::CardNotice &notice) override
    {
        std::lock_guard lock(m_mutex);
        m_results.push_back(notice.result);
        m_notices.push_back(notice);
    }
    std::vector<TachoCard::CardNotice> notices()
    {
        std::lock_guard lock(m_mutex);
        return m_notices;
    }
    std::vector<std::uint32_t> results()
    {
        std::lock_guard lock(m_mutex);
        return m_results;
    }

private:
    std::mutex m_mutex;
    std::vector<std::uint32_t> m_results;
    std::vector<TachoCard::CardNotice> m_notices;
};

template<typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = 5s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class CardMonitor : public testing::Test
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        std::vector<std::string> readers;
        ASSERT_TRUE(TachoCard::ListReaders(readers));
    }
    void TearDown() override { TachoCard::ReleaseCardContext(); }

    Receiver receiver;
};

TEST_F(CardMonitor, WithoutAWindowStartsNoThreadButKeepsTheReader)
{
    EXPECT_TRUE(TachoCard::StartCardMonitor("Reader B 00 00", nullptr));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(FakePcsc::countCalls("SCardGetStatusChange"), 0);
    EXPECT_EQ(TachoCard::currentReaderName(), "Reader B 00 00");
}

// Each notice carries the state its own wait left, the reader's event counter and the monitor's
// tag, so that a receiver that handles it late still sees what that wait saw.
TEST_F(CardMonitor, PostsEveryWaitAndWaitsAgainAfterACancel)
{
    TachoCard::StartCardMonitor("Fake Reader 00 00", &receiver, 7);
    ASSERT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));

    constexpr std::uint32_t inserted = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED | 0x30000;
    FakePcsc::queueStatusEvent({SCARD_S_SUCCESS, inserted});
    FakePcsc::queueStatusEvent({SCARD_S_SUCCESS, SCARD_STATE_EMPTY | SCARD_STATE_CHANGED | 0x40000});
    // The first notice, before any wait, has the window read the reader list of the new context.
    ASSERT_TRUE(waitFor([&] { return receiver.results().size() == 3; }));
    const auto notices = receiver.notices();
    EXPECT_TRUE(notices[0].readersChanged);
    EXPECT_EQ(notices[0].eventState & SCARD_STATE_CHANGED, 0u);
    EXPECT_EQ(notices[1].eventState, inserted);
    EXPECT_EQ(notices[1].eventCounter(), 3u);
    EXPECT_EQ(notices[1].monitor, 7u);
    EXPECT_FALSE(notices[1].readersChanged);
    EXPECT_EQ(notices[2].eventCounter(), 4u);

    ASSERT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));
    TachoCard::DisconnectCard();
    ASSERT_TRUE(waitFor([&] { return receiver.results().size() == 4; }));
    EXPECT_EQ(receiver.results().back(), 0x80100002u);
    EXPECT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));
}

// The same wait tells readers that come and go: a notice says so apart from the watched reader's
// state, also while no reader is watched yet.
TEST_F(CardMonitor, TellsReaderListChangesBesideTheReadersState)
{
    for (const std::string reader : {"Fake Reader 00 00", ""}) {
        SCOPED_TRACE("watched reader: \"" + reader + '"');
        Receiver watching;
        TachoCard::StartCardMonitor(reader, &watching, 3);
        ASSERT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));
        FakePcsc::queueStatusEvent({SCARD_S_SUCCESS, SCARD_STATE_EMPTY, true});
        FakePcsc::queueStatusEvent({SCARD_S_SUCCESS, SCARD_STATE_PRESENT | SCARD_STATE_CHANGED | 0x10000, false});
        ASSERT_TRUE(waitFor([&] { return watching.notices().size() == 3; }));
        const auto notices = watching.notices();
        EXPECT_TRUE(notices[1].readersChanged);
        EXPECT_FALSE(notices[2].readersChanged);
        EXPECT_EQ(notices[2].eventState, reader.empty() ? 0u : SCARD_STATE_PRESENT | SCARD_STATE_CHANGED | 0x10000u);
        TachoCard::ReleaseCardContext();
    }
}

// A restart may come before the old thread has reached its wait, where a single cancel is lost.
TEST_F(CardMonitor, QuickRestartsNeverLeaveTwoThreadsOrAHang)
{
    for (int cycle = 0; cycle < 300; ++cycle) {
        TachoCard::StartCardMonitor("Fake Reader 00 00", &receiver);
        if (cycle % 3 == 0)
            std::this_thread::yield();
        ASSERT_LE(FakePcsc::waitingCalls(), 1);
    }
    TachoCard::ReleaseCardContext();
    EXPECT_EQ(FakePcsc::waitingCalls(), 0);
    EXPECT_EQ(FakePcsc::openContexts(), 0);
}

TEST_F(CardMonitor, EndsBeforeTheContextsAreReleased)
{
    TachoCard::StartCardMonitor("Fake Reader 00 00", &receiver);
    ASSERT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));
    TachoCard::ReleaseCardContext();
    EXPECT_EQ(FakePcsc::waitingCalls(), 0);
    EXPECT_EQ(FakePcsc::openContexts(), 0);
    const auto calls = FakePcsc::calls();
    EXPECT_EQ(calls.back(), "SCardReleaseContext");
}

// A wait that fails at once must neither spin nor flood the window, and a lost service is
// reached again through a new context.
TEST_F(CardMonitor, PausesAfterAFailedWaitAndEstablishesANewContext)
{
    TachoCard::StartCardMonitor("Fake Reader 00 00", &receiver);
    ASSERT_TRUE(waitFor([] { return FakePcsc::waitingCalls() == 1; }));
    const int contextsBefore = FakePcsc::countCalls("SCardEstablishContext");
    for (int i = 0; i < 50; ++i)
        FakePcsc::queueStatusEvent({static_cast<LONG>(SCARD_E_NO_SERVICE), 0});

    std::this_thread::sleep_for(1500ms);
    // Each new context adds a notice with the list to read; the failed waits are the others.
    const auto results = receiver.results();
    const auto notices = static_cast<std::size_t>(
            std::count_if(results.begin(), results.end(), [](std::uint32_t r) { return r != 0; }));
    EXPECT_GE(notices, 1u);
    EXPECT_LE(notices, 3u);
    EXPECT_GT(FakePcsc::countCalls("SCardEstablishContext"), contextsBefore);

    // Stopping does not wait out the pause.
    const auto start = std::chrono::steady_clock::now();
    TachoCard::ReleaseCardContext();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

} // namespace
