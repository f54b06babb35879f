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

#include <gtest/gtest.h>

namespace {

constexpr DWORD Present = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
constexpr DWORD Empty = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;

std::vector<std::uint8_t> identification()
{
    std::vector<std::uint8_t> file(143, 0x00);
    const std::string number = "CZ12345678901234", surname = "NOVAK", first = "JAN";
    std::copy(number.begin(), number.end(), file.begin() + 1);
    std::copy(surname.begin(), surname.end(), file.begin() + 66);
    std::copy(first.begin(), first.end(), file.begin() + 102);
    return file;
}

class CardNotices : public testing::Test
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        card.files[0x0520] = identification();
        FakePcsc::setCard([this](const std::vector<std::uint8_t> &command) { return card.answer(command); });
        form = std::make_unique<TMainForm>();
        ASSERT_TRUE(QTest::qWaitFor([] { return FakePcsc::waitingCalls() == 1; }));
    }

    void TearDown() override { form.reset(); }

    // Hands the monitor one wait result and lets the window handle the notice.
    void notice(DWORD state, LONG result = SCARD_S_SUCCESS)
    {
        const int before = FakePcsc::countCalls("SCardGetStatusChange");
        FakePcsc::queueStatusEvent({result, state});
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return FakePcsc::countCalls("SCardGetStatusChange") > before && FakePcsc::waitingCalls() == 1;
        }));
        QCoreApplication::processEvents();
    }

    QString panel1() const { return form->statusText(1); }

    ModelCard card;
    std::unique_ptr<TMainForm> form;
};

TEST_F(CardNotices, InsertionIdentifiesOnceAndRemovalResetsTheCardTab)
{
    notice(Present | 0x10000);
    EXPECT_TRUE(form->CardPresent);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN NOVAK"));
    EXPECT_EQ(panel1(), QStringLiteral("Karta připojena"));
    EXPECT_TRUE(form->CardReadButton->isEnabled());

    notice(Present | 0x20000);
    notice(SCARD_STATE_PRESENT | 0x20000, static_cast<LONG>(SCARD_E_CANCELLED));
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 1);
    EXPECT_TRUE(form->CardReadButton->isEnabled());

    notice(Empty | 0x30000);
    EXPECT_FALSE(form->CardPresent);
    EXPECT_EQ(panel1(), QString());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_FALSE(form->CardReadButton->isEnabled());

    notice(Empty | 0x40000);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));

    notice(Present | 0x50000);
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 2);
    EXPECT_TRUE(form->CardReadButton->isEnabled());
}

TEST_F(CardNotices, NoticeWithoutTheChangeBitChangesNothing)
{
    notice(SCARD_STATE_PRESENT);
    EXPECT_FALSE(form->CardPresent);
    EXPECT_EQ(FakePcsc::countCalls("SCardConnect"), 0);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
}

// A failed identification still counts the card as present until it is gone.
TEST_F(CardNotices, CardThatIsNotATachographCardStaysPresent)
{
    card.statusByInstruction[0xA4] = 0x6A82;
    notice(Present | 0x10000);
    EXPECT_TRUE(form->CardPresent);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("vložená karta nebyla rozpoznána"));
    form->PageControl1->setCurrentWidget(form->LogSheet);
    EXPECT_TRUE(form->LogMemo->toPlainText().endsWith(QStringLiteral("- failed, code 6A82")));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
}

} // namespace
