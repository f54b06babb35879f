// The order of a session's work without a window and without a worker: each case is a sequence
// of events (the worker's results, card notices, the user's actions) and what the session is left
// in: its state, a card waiting, the controls that can be used, the status text.
#include "app/SessionController.h"
#include "app/UploadRequest.h"
#include "card/WinSCard.h"

#include "support/CaseName.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

enum class Event {
    OneReader,
    TwoReaders,
    ChangeReader,
    Card, // a notice of a card under the given counter
    Empty,
    Stale, // a card, from a monitor already replaced
    Lost,
    Back,
    Identified,
    NotIdentified,
    Read,
    RunComplete,
    RunIncomplete,
    WriteFailed,
    Yes,
    YesWithoutCredentials,
    No,
    Uploaded,
    Status, // the worker reports the text
    CardInfo, // the worker reports the card tab's text
    CardHistory, // the worker reports the line of the card's history
    Close,
};

struct Step
{
    Event event;
    std::uint32_t counter = 0;
    const char *text = "";
};

constexpr EnabledControls None{};
constexpr EnabledControls PathOnly{false, false, false, true};
constexpr EnabledControls ReadAndPath{true, false, false, true};

struct SessionCase
{
    const char *name;
    std::vector<Step> steps;
    SessionState state;
    EnabledControls controls;
    bool cardWaiting = false;
    std::optional<QString> status = std::nullopt;
    bool closed = false;
    // The card tab: its text, and the history line last shown under it.
    std::optional<QString> cardInfo = std::nullopt;
    QString cardHistory = QString();
};

void PrintTo(const SessionCase &c, std::ostream *os)
{
    *os << c.name;
}

class SessionTable : public testing::TestWithParam<SessionCase>
{
};

TEST_P(SessionTable, EventsLeaveTheSessionIn)
{
    SessionController session;
    bool closed = false;
    QObject::connect(&session, &SessionController::closeReady, [&] { closed = true; });
    EnabledControls shown;
    QObject::connect(&session, &SessionController::controlsChanged,
                     [&](const EnabledControls &controls) { shown = controls; });
    QString cardHistory;
    QObject::connect(&session, &SessionController::cardInfoChanged, [&] { cardHistory.clear(); });
    QObject::connect(&session, &SessionController::cardHistoryFound, [&](const QString &line) { cardHistory = line; });
    UploadRequest request;
    request.company = QStringLiteral("FIRMA");
    request.user = QStringLiteral("řidič");
    request.password = QStringLiteral("heslo");
    request.fileName = QStringLiteral("C_20240131_0905_J_NOVAK_CZ12345678901234.DDD");
    DownloadRunResult run;
    run.fileName = request.fileName;
    session.start(QString());

    auto notice = [&](std::uint32_t state, std::uint32_t tag, std::uint32_t result = 0) {
        session.presence().handle({result, state, tag});
    };
    for (const Step &step : GetParam().steps) {
        const std::uint32_t tag = session.presence().monitorTag();
        switch (step.event) {
        case Event::OneReader:
            session.readersListed(true, {QStringLiteral("Reader A")});
            break;
        case Event::TwoReaders:
            session.readersListed(true, {QStringLiteral("Reader A"), QStringLiteral("Reader B")});
            break;
        case Event::ChangeReader:
            session.changeReader();
            break;
        case Event::Card:
            notice(step.counter << 16 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, tag);
            break;
        case Event::Empty:
            notice(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED, tag);
            break;
        case Event::Stale:
            notice(step.counter << 16 | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, tag - 1);
            break;
        case Event::Lost:
            notice(0, tag, TachoCard::resultCode(SCARD_E_NO_SERVICE));
            break;
        case Event::Back:
            notice(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED, tag);
            break;
        case Event::Identified:
        case Event::NotIdentified:
            session.identificationFinished(step.event == Event::Identified);
            break;
        case Event::Read:
            session.startRun(QStringLiteral("/tmp"));
            break;
        case Event::RunComplete:
        case Event::RunIncomplete:
        case Event::WriteFailed:
            run.outcome = step.event == Event::RunComplete ? DownloadRunResult::Outcome::Complete
                    : step.event == Event::RunIncomplete   ? DownloadRunResult::Outcome::Incomplete
                                                           : DownloadRunResult::Outcome::WriteFailed;
            session.runFinished(run);
            break;
        case Event::Yes:
            session.questionAnswered(true, request);
            break;
        case Event::YesWithoutCredentials: {
            UploadRequest without = request;
            without.password.clear();
            session.questionAnswered(true, without);
            break;
        }
        case Event::No:
            session.questionAnswered(false, request);
            break;
        case Event::Uploaded:
            session.uploadFinished();
            break;
        case Event::Status:
            session.setStatus(QString::fromUtf8(step.text));
            break;
        case Event::CardInfo:
            session.reportCardInfo(QString::fromUtf8(step.text));
            break;
        case Event::CardHistory:
            session.reportCardHistory(QString::fromUtf8(step.text));
            break;
        case Event::Close:
            session.closeWhenIdle();
            break;
        }
    }
    EXPECT_EQ(session.state(), GetParam().state);
    EXPECT_EQ(session.controls(), GetParam().controls);
    EXPECT_EQ(shown, GetParam().controls) << "the view was not told the controls";
    EXPECT_EQ(session.cardWaiting(), GetParam().cardWaiting);
    if (GetParam().status) {
        EXPECT_EQ(session.status(), *GetParam().status);
    }
    EXPECT_EQ(closed, GetParam().closed);
    if (GetParam().cardInfo) {
        EXPECT_EQ(session.cardInfo(), *GetParam().cardInfo);
    }
    EXPECT_EQ(cardHistory, GetParam().cardHistory);
}

using E = Event;
const char *const Incomplete = "Čtení karty neúplné, nepodařilo se načíst soubor Places";
const std::vector<Step> ReadyCard{{E::OneReader}, {E::Card, 1}, {E::Identified}};
std::vector<Step> operator+(std::vector<Step> steps, const std::vector<Step> &more)
{
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

// What an identification reports for the card tab, as the worker sends it: its start, the holder
// and the card's history line, each before the identification's end.
const std::vector<Step> HolderFound{{E::OneReader},
                                    {E::Card, 1},
                                    {E::CardInfo, 0, "načítám informace..."},
                                    {E::CardInfo, 0, "JAN NOVÁK"},
                                    {E::CardHistory, 0, "naposledy vyčteno 2. 1. 2024"}};

const SessionCase sessionCases[] = {
        {"StartingWaitsForTheReaderList", {}, SessionState::Starting, None},
        {"OneReaderListed", {{E::OneReader}}, SessionState::Idle, PathOnly},
        {"TwoReadersCanBeChanged", {{E::TwoReaders}}, SessionState::Idle, {false, true, false, true}},
        {"ReaderBeingChosen", {{E::TwoReaders}, {E::ChangeReader}}, SessionState::Idle, {false, true, true, true}},
        {"CardInsertedIsIdentified", {{E::OneReader}, {E::Card, 1}}, SessionState::Identifying, None, false, ""},
        {"IdentifiedCardCanBeRead", ReadyCard, SessionState::Ready, ReadAndPath},
        {"UnrecognisedCard", {{E::OneReader}, {E::Card, 1}, {E::NotIdentified}}, SessionState::Idle, PathOnly},
        {"ReadyCardRemoved", ReadyCard + std::vector<Step>{{E::Empty}}, SessionState::Idle, PathOnly},
        {"CardPulledDuringIdentification",
         {{E::OneReader}, {E::Card, 1}, {E::Empty}, {E::Identified}},
         SessionState::Idle,
         PathOnly},
        // A holder on the card tab promises a card that can be read: it shows with the state.
        {"HolderWaitsForTheIdentificationsEnd", HolderFound, SessionState::Identifying, None, false, std::nullopt,
         false, QStringLiteral("načítám informace...")},
        {"HolderShownWithTheCardReady", HolderFound + std::vector<Step>{{E::Identified}}, SessionState::Ready,
         ReadAndPath, false, std::nullopt, false, QStringLiteral("JAN NOVÁK"),
         QStringLiteral("naposledy vyčteno 2. 1. 2024")},
        {"HolderOfACardPulledMeanwhileNeverShown", HolderFound + std::vector<Step>{{E::Empty}, {E::Identified}},
         SessionState::Idle, PathOnly, false, std::nullopt, false, QStringLiteral("není vložena žádná karta")},
        {"UnrecognisedCardSaysSoAtTheEnd",
         {{E::OneReader},
          {E::Card, 1},
          {E::CardInfo, 0, "načítám informace..."},
          {E::CardInfo, 0, "vložená karta nebyla rozpoznána"},
          {E::NotIdentified}},
         SessionState::Idle,
         PathOnly,
         false,
         std::nullopt,
         false,
         QStringLiteral("vložená karta nebyla rozpoznána")},
        {"NotReadyCardIsNotRead", {{E::OneReader}, {E::Read}}, SessionState::Idle, PathOnly},
        {"RunDisablesAll", ReadyCard + std::vector<Step>{{E::Read}}, SessionState::Running, None},
        {"CardInsertedDuringRunWaits", ReadyCard + std::vector<Step>{{E::Read}, {E::Card, 3}}, SessionState::Running,
         None, true},
        {"WaitingCardIdentifiedAfterTheRun", ReadyCard + std::vector<Step>{{E::Read}, {E::Card, 3}, {E::RunIncomplete}},
         SessionState::Identifying, None},
        {"RunOutcomeStaysAfterTheWaitingCard",
         ReadyCard
                 + std::vector<Step>{{E::Read},
                                     {E::Card, 3},
                                     {E::Status, 0, Incomplete},
                                     {E::RunIncomplete},
                                     {E::Identified}},
         SessionState::Ready, ReadAndPath, false, QString::fromUtf8(Incomplete)},
        {"WriteFailureEndsTheRun", ReadyCard + std::vector<Step>{{E::Read}, {E::WriteFailed}}, SessionState::Idle,
         PathOnly},
        {"CompleteRunAsks", ReadyCard + std::vector<Step>{{E::Read}, {E::RunComplete}}, SessionState::Asking, None},
        {"UploadDeclined", ReadyCard + std::vector<Step>{{E::Read}, {E::RunComplete}, {E::No}}, SessionState::Idle,
         PathOnly},
        {"UploadRuns", ReadyCard + std::vector<Step>{{E::Read}, {E::RunComplete}, {E::Yes}}, SessionState::Uploading,
         None},
        {"UploadEnds", ReadyCard + std::vector<Step>{{E::Read}, {E::RunComplete}, {E::Yes}, {E::Uploaded}},
         SessionState::Idle, PathOnly},
        {"UploadWithoutCredentials",
         ReadyCard + std::vector<Step>{{E::Read}, {E::RunComplete}, {E::YesWithoutCredentials}}, SessionState::Idle,
         PathOnly, false, QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje")},
        {"ServiceLostForgetsTheCard", ReadyCard + std::vector<Step>{{E::Status, 0, "Čtení karty dokončeno"}, {E::Lost}},
         SessionState::Idle, PathOnly, false, QStringLiteral("Služba čipových karet není dostupná")},
        {"ServiceBackRestoresTheStatus",
         ReadyCard + std::vector<Step>{{E::Status, 0, "Čtení karty dokončeno"}, {E::Lost}, {E::Back}},
         SessionState::Idle, PathOnly, false, QStringLiteral("Čtení karty dokončeno")},
        {"ServiceLostDropsTheWaitingCard",
         ReadyCard + std::vector<Step>{{E::Read}, {E::Card, 3}, {E::Lost}, {E::RunIncomplete}}, SessionState::Idle,
         PathOnly},
        {"StaleMonitorNoticeDropped", {{E::OneReader}, {E::Stale, 1}}, SessionState::Idle, PathOnly},
        {"CloseWaitsForTheRunAndSkipsTheQuestion",
         ReadyCard + std::vector<Step>{{E::Read}, {E::Close}, {E::RunComplete}}, SessionState::Idle, PathOnly, false,
         std::nullopt, true},
        {"CloseDuringRunLeavesTheWaitingCard",
         ReadyCard + std::vector<Step>{{E::Read}, {E::Card, 3}, {E::Close}, {E::RunIncomplete}}, SessionState::Idle,
         PathOnly, true, std::nullopt, true},
};

INSTANTIATE_TEST_SUITE_P(Events, SessionTable, testing::ValuesIn(sessionCases), CaseName());
;

TEST(SessionUploadQuestion, WarnsOnlyOfAFailedVerification)
{
    struct Case
    {
        bool performed;
        Overall overall;
        bool warning;
    };
    for (const Case &c : {Case{false, Overall::Failed, false}, Case{true, Overall::Failed, true},
                          Case{true, Overall::VerifiedEuropeanRoot, false}}) {
        SessionController session;
        DownloadRunResult run;
        run.outcome = DownloadRunResult::Outcome::Complete;
        run.verification.performed = c.performed;
        run.verification.overall = c.overall;
        run.verification.failedItem = QStringLiteral("CA Certificate");
        session.runFinished(run);
        const UploadQuestion question = session.uploadQuestion();
        EXPECT_EQ(question.warning, c.warning);
        EXPECT_EQ(question.text,
                  c.warning ? QStringLiteral("Podpisy souboru nejsou ověřeny (CA Certificate).\n"
                                             "Odeslat soubor na server?")
                            : QStringLiteral("Odeslat soubor na server?"));
    }
}

} // namespace
