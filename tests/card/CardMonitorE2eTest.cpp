// The card presence monitor on the real daemon: the thread hand-off through SCardCancel, notices
// of insertion and removal, and a resource manager that goes away and comes back.
#include "card/TachoCard.h"
#include "card/WinSCard.h"
#include "support/PcscdHarness.h"
#include "support/VirtualCard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Notice
{
    std::uint32_t result;
    std::uint32_t state;
};

class Receiver : public TachoCard::CardStateReceiver
{
public:
    void PostCardState(const TachoCard::CardNotice &notice) override
    {
        std::lock_guard lock(m_mutex);
        m_notices.push_back({notice.result, notice.eventState});
    }
    std::vector<Notice> notices()
    {
        std::lock_guard lock(m_mutex);
        return m_notices;
    }
    bool waitFor(const std::function<bool(const Notice &)> &match, std::chrono::milliseconds limit = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            for (const Notice &notice : notices()) {
                if (match(notice))
                    return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_notices.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Notice> m_notices;
};

bool present(const Notice &notice)
{
    return (notice.state & SCARD_STATE_CHANGED) && (notice.state & SCARD_STATE_PRESENT);
}

bool empty(const Notice &notice)
{
    return (notice.state & SCARD_STATE_CHANGED) && !(notice.state & SCARD_STATE_PRESENT);
}

class CardMonitorE2e : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(pcscd.start()) << pcscd.error(); }
    void TearDown() override { TachoCard::ReleaseCardContext(); }

    PcscdHarness pcscd{{{"Korvan Monitor", 36510}}};
    const std::string reader = PcscdHarness::readerName({"Korvan Monitor", 36510}, 0);
    Receiver receiver;
};

TEST_F(CardMonitorE2e, ReportsInsertionRemovalAndTheCancelOfADisconnect)
{
    VirtualCard card({"--port", "36510", "--removed"});
    ASSERT_TRUE(card.start()) << card.error();
    TachoCard::StartCardMonitor(reader, &receiver);
    ASSERT_TRUE(receiver.waitFor(empty));

    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(receiver.waitFor(present));

    receiver.clear();
    TachoCard::DisconnectCard();
    ASSERT_TRUE(receiver.waitFor([](const Notice &n) { return n.result == 0x80100002u; }));
    EXPECT_FALSE(receiver.notices().front().state & SCARD_STATE_CHANGED);

    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(receiver.waitFor(empty));
}

// A cancel that falls between two waits is lost: stopping must still end the thread every time.
TEST_F(CardMonitorE2e, ManyQuickRestartsEndEveryThread)
{
    for (int cycle = 0; cycle < 100; ++cycle) {
        TachoCard::StartCardMonitor(reader, &receiver);
        if (cycle % 4 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(cycle * 20));
    }
    const auto start = std::chrono::steady_clock::now();
    TachoCard::ReleaseCardContext();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// pcscd stopped while the monitor waits: its context stays dead even after the daemon is back,
// so the monitor pauses, establishes a new one and reports the card that is there.
TEST_F(CardMonitorE2e, SurvivesTheResourceManagerGoingAwayAndComingBack)
{
    VirtualCard card({"--port", "36510"});
    ASSERT_TRUE(card.start()) << card.error();
    TachoCard::StartCardMonitor(reader, &receiver);
    ASSERT_TRUE(receiver.waitFor(present));

    receiver.clear();
    ASSERT_TRUE(pcscd.stop());
    ASSERT_TRUE(receiver.waitFor([](const Notice &n) { return n.result != 0; }));
    std::this_thread::sleep_for(2500ms);
    EXPECT_LE(receiver.notices().size(), 5u) << "the monitor must not spin while the service is gone";

    receiver.clear();
    ASSERT_TRUE(pcscd.start()) << pcscd.error();
    EXPECT_TRUE(receiver.waitFor([](const Notice &n) { return n.result == 0 && present(n); }));
}

} // namespace
