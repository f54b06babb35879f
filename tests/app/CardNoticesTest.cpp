// The window's handling of card notices, with the monitor thread waiting on the fake PC/SC layer.
#include "app/MainUnit.h"
#include "support/FakePcsc.h"
#include "support/ModelCard.h"
#include "support/QtPrinters.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "support/ModalAnswerer.h"

#include <QComboBox>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

constexpr DWORD Present = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
constexpr DWORD Empty = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;

class CardNotices : public testing::Test
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        card.files[0x0520] = identificationFile();
        FakePcsc::setCard([this](const std::vector<std::uint8_t> &command) {
            {
                // A test may hold the card in the middle of an exchange, as a slow card would.
                std::unique_lock lock(holdMutex);
                holdChanged.wait(lock, [this] { return !held; });
            }
            return card.answer(command);
        });
        form = std::make_unique<TMainForm>();
        ASSERT_TRUE(QTest::qWaitFor([] { return FakePcsc::waitingCalls() == 1; }));
    }

    void TearDown() override
    {
        hold(false);
        form.reset();
    }

    // Hands the monitor one wait result and lets the window handle the notice and, unless told
    // otherwise, the work it starts.
    void notice(DWORD state, LONG result = SCARD_S_SUCCESS, bool untilIdle = true)
    {
        const int before = FakePcsc::countCalls("SCardGetStatusChange");
        FakePcsc::queueStatusEvent({result, state});
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return FakePcsc::countCalls("SCardGetStatusChange") > before && FakePcsc::waitingCalls() == 1;
        }));
        QCoreApplication::processEvents();
        if (untilIdle) {
            ASSERT_TRUE(QTest::qWaitFor([this] { return !form->isBusy(); }));
        }
    }

    void hold(bool on)
    {
        std::lock_guard lock(holdMutex);
        held = on;
        holdChanged.notify_all();
    }

    QString panel1() const { return form->statusText(1); }

    ModelCard card;
    std::unique_ptr<TMainForm> form;
    std::mutex holdMutex;
    std::condition_variable holdChanged;
    bool held = false;
};

TEST_F(CardNotices, InsertionIdentifiesOnceAndRemovalResetsTheCardTab)
{
    notice(Present | 0x10000);
    EXPECT_TRUE(form->cardPresent());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
    EXPECT_EQ(panel1(), QStringLiteral("Karta připojena"));
    EXPECT_TRUE(form->CardReadButton->isEnabled());

    // The same card: the count of insertions and removals has not moved.
    notice(Present | 0x10000);
    notice(SCARD_STATE_PRESENT | 0x10000, static_cast<LONG>(SCARD_E_CANCELLED));
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 1);
    EXPECT_TRUE(form->CardReadButton->isEnabled());

    notice(Empty | 0x20000);
    EXPECT_FALSE(form->cardPresent());
    EXPECT_EQ(panel1(), QString());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_FALSE(form->CardReadButton->isEnabled());

    notice(Empty | 0x20000);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));

    notice(Present | 0x30000);
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 2);
    EXPECT_TRUE(form->CardReadButton->isEnabled());
}

TEST_F(CardNotices, NoticeWithoutTheChangeBitChangesNothing)
{
    notice(SCARD_STATE_PRESENT);
    EXPECT_FALSE(form->cardPresent());
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 0);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
}

// A failed identification still counts the card as present until it is gone.
TEST_F(CardNotices, CardThatIsNotATachographCardStaysPresent)
{
    card.statusByInstruction[0xA4] = 0x6A82;
    notice(Present | 0x10000);
    EXPECT_TRUE(form->cardPresent());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("vložená karta nebyla rozpoznána"));
    form->PageControl1->setCurrentWidget(form->LogSheet);
    EXPECT_TRUE(form->LogMemo->toPlainText().endsWith(QStringLiteral("- failed, code 6A82")));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
}

// pcsc-lite counts a reader's insertions and removals: a notice that shows a card under another
// count than the card shown is another card, even when the removal between them was never seen.
TEST_F(CardNotices, CardSwappedBetweenTwoNoticesIsIdentifiedAgain)
{
    notice(Present | 0x10000);
    ASSERT_EQ(FakePcsc::countCalls("SCardConnect"), 1);
    notice(Present | 0x30000);
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 2);
    EXPECT_TRUE(form->CardReadButton->isEnabled());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
}

// The swap happens within one exchange of a run: the window shows the removal at once and
// identifies the new card only when the run has ended.
TEST_F(CardNotices, CardSwappedDuringARunIsIdentifiedAfterIt)
{
    notice(Present | 0x10000);
    ASSERT_TRUE(form->CardReadButton->isEnabled());
    ModalAnswerer user(QMessageBox::No);
    hold(true);
    form->CardReadButton->click();
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_FALSE(form->ReaderButton->isEnabled());
    EXPECT_FALSE(form->PathButton->isEnabled());
    notice(Present | 0x30000, SCARD_S_SUCCESS, false);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_TRUE(form->cardWaiting());
    const int connects = FakePcsc::countCalls("SCardConnect");

    hold(false);
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->CardReadButton->isEnabled(); }, 10000));
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), connects + 1);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
}

// A card pulled while it is being identified leaves no enabled read button behind.
TEST_F(CardNotices, CardPulledDuringIdentificationLeavesNothingToRead)
{
    hold(true);
    notice(Present | 0x10000, SCARD_S_SUCCESS, false);
    ASSERT_EQ(form->state(), TMainForm::FormState::Identifying);
    notice(Empty | 0x20000, SCARD_S_SUCCESS, false);
    hold(false);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !form->isBusy(); }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_FALSE(form->cardPresent());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_EQ(panel1(), QString());
}

// "Změnit" forgets the identified card; after "Vybrat" the card in the reader is identified anew.
TEST_F(CardNotices, ReaderChangeForgetsTheCardAndIdentifiesItAfresh)
{
    form.reset();
    FakePcsc::reset();
    FakePcsc::setReaders({"Reader A 00 00", "Reader B 00 00"});
    FakePcsc::setCard([this](const std::vector<std::uint8_t> &command) { return card.answer(command); });
    form = std::make_unique<TMainForm>();
    ASSERT_TRUE(QTest::qWaitFor([] { return FakePcsc::waitingCalls() == 1; }));
    notice(Present | 0x10000);
    ASSERT_TRUE(form->CardReadButton->isEnabled());

    form->ReaderButton->click();
    EXPECT_FALSE(form->cardPresent());
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_TRUE(QTest::qWaitFor([] { return FakePcsc::countCalls("SCardDisconnect") >= 1; }));

    form->ReaderCombo->setCurrentIndex(1);
    const int contexts = FakePcsc::countCalls("SCardEstablishContext");
    form->ReaderButton->click();
    // The new monitor waits on a context of its own.
    ASSERT_TRUE(QTest::qWaitFor([contexts] {
        return FakePcsc::countCalls("SCardEstablishContext") > contexts && FakePcsc::waitingCalls() == 1;
    }));
    notice(Present | 0x10000);
    EXPECT_TRUE(form->CardReadButton->isEnabled());
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 2);
    EXPECT_EQ(FakePcsc::lastConnectReader(), "Reader B 00 00");
}

} // namespace
