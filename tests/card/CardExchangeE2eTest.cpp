// The card access unit on the real stack: our own pcscd with virtual readers and the simulated
// driver card.
#include "card/TachoCard.h"
#include "support/PcscdHarness.h"
#include "support/VirtualCard.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class CardExchangeE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        TachoCard::setLogSink([this](const std::string &line) { log.push_back(line); });
    }
    void TearDown() override
    {
        TachoCard::ReleaseCardContext();
        TachoCard::setLogSink(nullptr);
    }

    Lines log;
};

TEST_F(CardExchangeE2e, ListsReadersInTheDaemonsOrder)
{
    PcscdHarness pcscd({{"Korvan Second", 36310}, {"Korvan First", 36312}});
    ASSERT_TRUE(pcscd.start()) << pcscd.error();
    Lines readers{"stale item"};
    ASSERT_TRUE(TachoCard::ListReaders(readers));
    EXPECT_EQ(readers, pcscd.readerNames());
    EXPECT_TRUE(log.empty());
}

// With several reader definitions the virtual driver does not keep each port with its reader, so
// the card gets a daemon of its own with one definition.
TEST_F(CardExchangeE2e, ExchangesWithTheCardAndLogsEveryExchange)
{
    PcscdHarness pcscd({{"Korvan First", 36312}});
    ASSERT_TRUE(pcscd.start()) << pcscd.error();
    VirtualCard card({"--port", "36312", "--seed", "3"});
    ASSERT_TRUE(card.start()) << card.error();
    ASSERT_TRUE(pcscd.waitForCard("Korvan First 00 00", true));
    Lines readers;
    ASSERT_TRUE(TachoCard::ListReaders(readers));

    TachoCard::StartCardMonitor("Korvan First 00 00", nullptr);
    ASSERT_TRUE(TachoCard::ConnectCard());
    TachoCard::setCommand({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F});
    TachoCard::TransmitCommand();
    TachoCard::setCommand({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x0E});
    TachoCard::TransmitCommand();
    TachoCard::setCommand({0x00, 0xB0, 0x00, 0x00, 0x04});
    TachoCard::TransmitCommand();
    EXPECT_EQ(TachoCard::StatusWord, 0x9000);
    ASSERT_EQ(log.size(), 1u + 4 + 4 + 7);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 5),
              (Lines{"Card connected", "Command:", " 00 A4 04 0C 06 FF 54 41 43 48 4F", "Response code:", " 90 00"}));
    EXPECT_EQ(log.at(9), "Command:");
    EXPECT_EQ(log.at(10), " 00 B0 00 00 04");
    EXPECT_EQ(log.at(11), "Response data (len = 4):");
    EXPECT_EQ(log.at(14), "Response code:");
    EXPECT_EQ(log.at(15), " 90 00");

    // A command after the card was let go reaches the resource manager with the closed handle.
    log.clear();
    TachoCard::DisconnectCard();
    EXPECT_TRUE(TachoCard::IsCardConnected());
    TachoCard::TransmitCommand();
    EXPECT_EQ(log, (Lines{"Command:", " 00 B0 00 00 04", "Error:", "The supplied handle was invalid."}));
    EXPECT_EQ(TachoCard::StatusWord, 0);
}

// A laptop's reader, a dual-interface reader and a security key: 600 bytes of names and more.
TEST_F(CardExchangeE2e, ReaderNamesOfAnyLengthAreAllListed)
{
    const std::string longName(54, 'L');
    std::vector<VirtualReaderDefinition> definitions;
    for (std::uint16_t i = 0; i < 5; ++i)
        definitions.push_back({longName + std::to_string(i), static_cast<std::uint16_t>(36320 + 2 * i)});
    PcscdHarness pcscd(definitions);
    ASSERT_TRUE(pcscd.start()) << pcscd.error();
    Lines readers{"stale item"};
    ASSERT_TRUE(TachoCard::ListReaders(readers));
    std::size_t bytes = 1;
    for (const std::string &reader : readers)
        bytes += reader.size() + 1;
    EXPECT_GE(bytes, 600u);
    EXPECT_EQ(readers, pcscd.readerNames());
    EXPECT_TRUE(log.empty());
}

TEST_F(CardExchangeE2e, NoServiceIsReportedNotFatal)
{
    PcscdHarness pcscd; // holds the lock, so no daemon of another test answers meanwhile
    Lines readers;
    EXPECT_FALSE(TachoCard::ListReaders(readers));
    EXPECT_EQ(log, Lines{"The smart card resource manager is not running."});
}

} // namespace
