// The card presence's decisions, fed notices directly: which is a card inserted, which a card
// removed, which waits for work and which is dropped.
#include "app/CardPresence.h"
#include "card/WinSCard.h"

#include <QStringList>

#include "support/CaseName.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

enum class Event {
    Card, // a notice that shows a card under the given counter
    CardUnchanged, // the same, without the change flag
    Empty,
    Stale, // a card, from a monitor already replaced
    Lost,
    Back, // the service answers again, with a card under the given counter
    ReadersChanged,
    Busy,
    Idle,
    AfterWork,
    Choosing,
    Closed,
};

struct Step
{
    Event event;
    std::uint32_t counter = 0;
};

struct PresenceCase
{
    const char *name;
    std::vector<Step> steps;
    QStringList signalsSeen;
    bool present;
    bool pending;
};

std::uint32_t cardState(std::uint32_t counter, bool changed = true)
{
    return counter << 16 | SCARD_STATE_PRESENT | (changed ? SCARD_STATE_CHANGED : 0);
}

void PrintTo(const PresenceCase &c, std::ostream *os)
{
    *os << c.name;
}

class CardPresenceTable : public testing::TestWithParam<PresenceCase>
{
};

TEST_P(CardPresenceTable, DecidesFromTheNotices)
{
    CardPresence presence;
    QStringList seen;
    QObject::connect(&presence, &CardPresence::cardRemoved, [&] { seen << "removed"; });
    QObject::connect(&presence, &CardPresence::cardInserted,
                     [&](bool deferred) { seen << (deferred ? "inserted later" : "inserted"); });
    QObject::connect(&presence, &CardPresence::serviceLost, [&] { seen << "service lost"; });
    QObject::connect(&presence, &CardPresence::serviceBack, [&] { seen << "service back"; });
    QObject::connect(&presence, &CardPresence::readersChanged, [&] { seen << "readers"; });
    const std::uint32_t tag = presence.newMonitor();
    presence.newMonitor();
    const std::uint32_t current = presence.monitorTag();
    ASSERT_NE(tag, current);

    const auto lostResult = TachoCard::resultCode(SCARD_E_NO_SERVICE);
    for (const Step &step : GetParam().steps) {
        switch (step.event) {
        case Event::Card:
            presence.handle({0, cardState(step.counter), current});
            break;
        case Event::CardUnchanged:
            presence.handle({0, cardState(step.counter, false), current});
            break;
        case Event::Empty:
            presence.handle({0, SCARD_STATE_EMPTY | SCARD_STATE_CHANGED, current});
            break;
        case Event::Stale:
            presence.handle({0, cardState(step.counter), tag});
            break;
        case Event::Lost:
            presence.handle({lostResult, 0, current});
            break;
        case Event::Back:
            presence.handle({0, cardState(step.counter), current, true});
            break;
        case Event::ReadersChanged:
            presence.handle({0, 0, current, true});
            break;
        case Event::Busy:
            presence.setBusy(true);
            break;
        case Event::Idle:
            presence.setBusy(false);
            break;
        case Event::AfterWork:
            presence.takePendingInsertion();
            break;
        case Event::Choosing:
            presence.setChoosingReader(true);
            break;
        case Event::Closed:
            presence.close();
            break;
        }
    }
    EXPECT_EQ(seen, GetParam().signalsSeen);
    EXPECT_EQ(presence.present(), GetParam().present);
    EXPECT_EQ(presence.insertionPending(), GetParam().pending);
}

using E = Event;
const PresenceCase presenceCases[] = {
        {"CardInserted", {{E::Card, 1}}, {"inserted"}, true, false},
        {"RepeatedNoticeOfTheSameCard", {{E::Card, 1}, {E::Card, 1}}, {"inserted"}, true, false},
        {"NoticeWithoutChange", {{E::CardUnchanged, 1}}, {}, false, false},
        {"AnotherCardUnderANewCounter", {{E::Card, 1}, {E::Card, 3}}, {"inserted", "removed", "inserted"}, true, false},
        {"RemovedOnce", {{E::Card, 1}, {E::Empty}, {E::Empty}}, {"inserted", "removed"}, false, false},
        {"InsertedWhileBusyWaits", {{E::Busy}, {E::Card, 1}}, {}, false, true},
        {"WaitingCardTakenAfterWork",
         {{E::Busy}, {E::Card, 1}, {E::Card, 1}, {E::Idle}, {E::AfterWork}},
         {"inserted later"},
         true,
         false},
        {"WaitingCardPulledBeforeWorkEnds",
         {{E::Busy}, {E::Card, 1}, {E::Empty}, {E::Idle}, {E::AfterWork}},
         {},
         false,
         false},
        {"CardSwappedDuringWork", {{E::Card, 1}, {E::Busy}, {E::Card, 3}}, {"inserted", "removed"}, false, true},
        {"IgnoredWhileAReaderIsChosen", {{E::Choosing}, {E::Card, 1}}, {}, false, false},
        {"StaleMonitorDropped", {{E::Stale, 1}}, {}, false, false},
        {"ServiceLostForgetsTheCardOnce",
         {{E::Card, 1}, {E::Lost}, {E::Lost}},
         {"inserted", "removed", "service lost"},
         false,
         false},
        {"ServiceLostDropsTheWaitingCard",
         {{E::Busy}, {E::Card, 1}, {E::Lost}, {E::Idle}, {E::AfterWork}},
         {"service lost"},
         false,
         false},
        {"ServiceBackWithACard",
         {{E::Lost}, {E::Back, 2}},
         {"service lost", "service back", "inserted", "readers"},
         true,
         false},
        {"ReadersChanged", {{E::ReadersChanged}}, {"readers"}, false, false},
        {"NothingAfterClose", {{E::Closed}, {E::Card, 1}}, {}, false, false},
};

INSTANTIATE_TEST_SUITE_P(Notices, CardPresenceTable, testing::ValuesIn(presenceCases), CaseName());
;

} // namespace
