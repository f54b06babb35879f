// Readers that come and go while the window is open, on the real stack: a smart-card service
// that starts after the program, and one restarted with other readers.
#include "WindowE2e.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace {

QStringList comboItems(const QComboBox &combo)
{
    QStringList items;
    for (int i = 0; i < combo.count(); ++i)
        items.append(combo.itemText(i));
    return items;
}

QStringList names(const std::vector<std::string> &readers)
{
    QStringList list;
    for (const std::string &reader : readers)
        list.append(QString::fromStdString(reader));
    return list;
}

class ServiceStartedLaterE2e : public WindowE2e
{
protected:
    // Started once and stopped, so that the harness holds the machine's pcscd lock: no daemon of
    // another test answers while this one has none.
    void SetUp() override
    {
        WindowE2e::SetUp();
        ASSERT_TRUE(pcscd->stop());
    }
};

// The stored reader is selected and watched once the service lists it, and the card in it is
// identified, with no restart of the program.
TEST_F(ServiceStartedLaterE2e, StoredReaderAndItsCardAreFoundWhenTheServiceStarts)
{
    writeSettingsFile(QStringLiteral("[Settings]\nCardReader=") + QString::fromStdString(readerName(1)) + u'\n');
    openWindow();
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("čtečka nenalezena"));
    EXPECT_EQ(form->ReaderCombo->count(), 0);

    ASSERT_TRUE(pcscd->start()) << pcscd->error();
    startCard({"--seed", "41", "--surname", "NĚMEC", "--first-names", "TOMÁŠ"}, ReaderPort + 1);
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("TOMÁŠ NĚMEC"));
    EXPECT_EQ(comboItems(*form->ReaderCombo), names(pcscd->readerNames()));
    EXPECT_EQ(form->ReaderCombo->currentText(), QString::fromStdString(readerName(1)));
    EXPECT_TRUE(form->ReaderButton->isEnabled());
}

class ReaderSetChangedE2e : public WindowE2e
{
};

// The service comes back with other readers, whose names need far more than 256 bytes: the list
// follows, and the card of the reader that went is forgotten, which the status bar says.
TEST_F(ReaderSetChangedE2e, ListFollowsAServiceRestartedWithOtherReaders)
{
    startCard({"--seed", "42"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());

    // The lock goes with the first daemon's harness; another developer's test may run meanwhile.
    pcscd.reset();
    std::vector<VirtualReaderDefinition> others;
    for (std::uint16_t i = 0; i < 5; ++i)
        others.push_back({std::string(54, 'R') + std::to_string(i), static_cast<std::uint16_t>(36440 + 2 * i)});
    pcscd = std::make_unique<PcscdHarness>(others);
    ASSERT_TRUE(pcscd->start()) << pcscd->error();

    const QStringList expected = names(pcscd->readerNames());
    ASSERT_GE(expected.join(u'\0').size() + 2, 600);
    ASSERT_TRUE(waitUntil([&] { return comboItems(*form->ReaderCombo) == expected; }, 20000))
            << comboItems(*form->ReaderCombo).join(u'|').toStdString();
    EXPECT_EQ(form->ReaderCombo->currentText(), expected.front());
    EXPECT_EQ(statusText(), QStringLiteral("Čtečka karet byla odpojena"));
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_FALSE(form->cardPresent());
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_TRUE(logText().contains(QStringLiteral("Card reader removed: ") + QString::fromStdString(readerName(0))));

    // Back to the first readers: the card in the first one is identified again.
    pcscd.reset();
    pcscd = std::make_unique<PcscdHarness>(readerDefinitions);
    ASSERT_TRUE(pcscd->start()) << pcscd->error();
    cards.clear();
    startCard({"--seed", "43", "--surname", "ZPĚT", "--first-names", "A"});
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(comboItems(*form->ReaderCombo), names(pcscd->readerNames()));
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("A ZPĚT"));
}

} // namespace
