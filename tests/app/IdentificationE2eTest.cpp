// Identification of inserted cards by the real window on the real stack.
#include "WindowE2e.h"

#include <QLabel>
#include <QPushButton>

namespace {

using IdentificationE2e = WindowE2e;

TEST_F(IdentificationE2e, CardAlreadyInTheReaderIsIdentifiedAtStart)
{
    startCard({"--surname", "NOVÁK", "--first-names", "JAN PETR", "--pad-zero"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("JAN PETR NOVÁK"));
    EXPECT_EQ(form->statusText(1), QStringLiteral("Karta připojena"));
}

TEST_F(IdentificationE2e, InsertShowsTheHolderRemoveResetsInsertAgainIdentifiesAgain)
{
    VirtualCard &card = startCard({"--removed", "--surname", "DVOŘÁKOVÁ", "--first-names", "ŽANETA"});
    openWindow();
    ASSERT_TRUE(waitUntil([this] { return logText().isEmpty() && form->isVisible(); }));

    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(waitForIdentification());
    // The spaces that fill the names' fields on the card are not shown.
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("ŽANETA DVOŘÁKOVÁ"));

    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    EXPECT_EQ(form->statusText(1), QString());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_FALSE(form->CardReadButton->isEnabled());

    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(waitForIdentification());
    const auto commands = card.commands();
    const std::vector<std::uint8_t> selectApplication{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
    EXPECT_EQ(std::count(commands.begin(), commands.end(), selectApplication), 2);
}

TEST_F(IdentificationE2e, CardWithoutTheTachographApplicationIsNotRecognised)
{
    startCard({"--no-tachograph"});
    openWindow();
    ASSERT_TRUE(waitUntil(
            [this] { return form->CardInfoLabel->text() == QStringLiteral("vložená karta nebyla rozpoznána"); }));
    EXPECT_TRUE(logText().contains(QStringLiteral("- failed, code 6A82")));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
}

TEST_F(IdentificationE2e, CardWhoseSignatureFailsIsNotIdentified)
{
    startCard({"--signature-length", "64"});
    openWindow();
    ASSERT_TRUE(waitUntil(
            [this] { return form->CardInfoLabel->text() == QStringLiteral("vložená karta nebyla rozpoznána"); }));
    EXPECT_TRUE(logText().endsWith(QStringLiteral("- error: wrong signature length - 64")));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
}

} // namespace
