#include "card/TachoCard.h"
#include "support/CaseName.h"
#include "support/FakePcsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

class CardExchange : public testing::Test
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        TachoCard::setLogSink([this](const std::string &line) { log.push_back(line); });
        std::vector<std::string> readers;
        ASSERT_TRUE(TachoCard::ListReaders(readers));
        TachoCard::StartCardMonitor(readers.front(), nullptr);
        log.clear();
    }

    void TearDown() override
    {
        TachoCard::ReleaseCardContext();
        TachoCard::setLogSink(nullptr);
    }

    void connect()
    {
        ASSERT_TRUE(TachoCard::ConnectCard());
        log.clear();
    }

    void send(std::initializer_list<std::uint8_t> command)
    {
        TachoCard::setCommand(command);
        TachoCard::TransmitCommand();
    }

    Lines log;
};

struct ExchangeCase
{
    const char *name;
    FakePcsc::Reply reply;
    Lines expectedLog;
    std::uint16_t expectedStatusWord;
};

class ExchangeLog : public CardExchange, public testing::WithParamInterface<ExchangeCase>
{
};

TEST_P(ExchangeLog, LogsEveryExchangeInItsFixedForm)
{
    connect();
    FakePcsc::queueReply(GetParam().reply);
    send({0x00, 0xB0, 0x00, 0x00, 0x00});
    EXPECT_EQ(log, GetParam().expectedLog);
    EXPECT_EQ(TachoCard::StatusWord, GetParam().expectedStatusWord);
}

INSTANTIATE_TEST_SUITE_P(
        Table, ExchangeLog,
        testing::Values(ExchangeCase{"StatusOnly",
                                     {SCARD_S_SUCCESS, {0x90, 0x00}},
                                     {"Command:", " 00 B0 00 00 00", "Response code:", " 90 00"},
                                     0x9000},
                        ExchangeCase{"DataWithCharacterLine",
                                     {SCARD_S_SUCCESS, {0x41, 0x42, 0x0A, 0x90, 0x00}},
                                     {"Command:", " 00 B0 00 00 00", "Response data (len = 3):", " 41 42 0A", "AB.",
                                      "Response code:", " 90 00"},
                                     0x9000},
                        ExchangeCase{"PrintableBoundaries",
                                     {SCARD_S_SUCCESS, {0x1F, 0x20, 0x7F, 0x80, 0x6C, 0x10}},
                                     {"Command:", " 00 B0 00 00 00", "Response data (len = 4):", " 1F 20 7F 80",
                                      std::string(". \x7F."), "Response code:", " 6C 10"},
                                     0x6C10},
                        ExchangeCase{"RefusedTransmission",
                                     {static_cast<LONG>(SCARD_W_REMOVED_CARD), {}},
                                     {"Command:", " 00 B0 00 00 00", "Error:",
                                      "The smart card has been removed and no further communication is possible."},
                                     0},
                        // A response without a complete status word must never read as success.
                        ExchangeCase{"OneByteResponse",
                                     {SCARD_S_SUCCESS, {0x90}},
                                     {"Command:", " 00 B0 00 00 00", "Response code:", " 90"},
                                     0},
                        ExchangeCase{"EmptyResponse",
                                     {SCARD_S_SUCCESS, {}},
                                     {"Command:", " 00 B0 00 00 00", "Response code:", ""},
                                     0}),
        CaseName());

TEST_F(CardExchange, NoCardHandleLogsNothingAndLeavesStatusZero)
{
    send({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F});
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(TachoCard::StatusWord, 0);
    EXPECT_EQ(FakePcsc::countCalls("SCardTransmit"), 0);
}

TEST_F(CardExchange, ConnectsExclusivelyWithT0AndSendsTheActiveProtocol)
{
    ASSERT_TRUE(TachoCard::ConnectCard());
    EXPECT_EQ(log, Lines{"Card connected"});
    EXPECT_EQ(FakePcsc::lastConnectShareMode(), static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE));
    EXPECT_EQ(FakePcsc::lastConnectProtocols(), static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(FakePcsc::lastConnectReader(), "Fake Reader 00 00");

    FakePcsc::queueReply({SCARD_S_SUCCESS, {0x90, 0x00}});
    send({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F});
    EXPECT_EQ(log.at(2), " 00 A4 04 0C 06 FF 54 41 43 48 4F");
    EXPECT_EQ(FakePcsc::lastSendPci().dwProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(FakePcsc::lastSendPci().cbPciLength, sizeof(SCARD_IO_REQUEST));
}

TEST_F(CardExchange, FailedConnectLogsReasonAndHoldsNoCard)
{
    FakePcsc::setConnectResult(static_cast<LONG>(SCARD_E_NO_SMARTCARD));
    EXPECT_FALSE(TachoCard::ConnectCard());
    EXPECT_FALSE(TachoCard::IsCardConnected());
    EXPECT_EQ(log, Lines{"The operation requires a smart card, but no smart card is currently in the device."});
}

TEST_F(CardExchange, DisconnectPowersDownButKeepsTheClosedHandle)
{
    connect();
    EXPECT_TRUE(TachoCard::DisconnectCard());
    EXPECT_EQ(FakePcsc::lastDisconnectDisposition(), static_cast<DWORD>(SCARD_UNPOWER_CARD));
    EXPECT_TRUE(TachoCard::IsCardConnected());
    EXPECT_TRUE(log.empty());

    send({0x00, 0xB0, 0x00, 0x00, 0x00});
    EXPECT_EQ(log, (Lines{"Command:", " 00 B0 00 00 00", "Error:", "The supplied handle was invalid."}));
    EXPECT_EQ(TachoCard::StatusWord, 0);
}

TEST_F(CardExchange, ResetLogsAndKeepsTheConnection)
{
    connect();
    EXPECT_TRUE(TachoCard::ResetCard());
    EXPECT_EQ(log, Lines{"Card reset"});

    log.clear();
    FakePcsc::setReconnectResult(static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_FALSE(TachoCard::ResetCard());
    EXPECT_EQ(log, Lines{"The smart card has been removed and no further communication is possible."});
}

// The full 32768-byte response area is offered, and a card that fills it is taken whole.
TEST_F(CardExchange, LargestResponseFitsTheBuffer)
{
    connect();
    Bytes big(TachoCard::ApduBufferSize, 0x55);
    big[big.size() - 2] = 0x90;
    big[big.size() - 1] = 0x00;
    FakePcsc::queueReply({SCARD_S_SUCCESS, big});
    send({0x00, 0xB0, 0x00, 0x00, 0x00});
    EXPECT_EQ(TachoCard::StatusWord, 0x9000);
    EXPECT_EQ(TachoCard::ResponseLength, TachoCard::ApduBufferSize);
    EXPECT_EQ(log.at(2), "Response data (len = 32766):");
}

struct ListingCase
{
    const char *name;
    LONG establishResult;
    LONG listResult;
    std::string rawList;
    bool expectedResult;
    Lines expectedItems;
    Lines expectedLog;
};

class Listing : public testing::TestWithParam<ListingCase>
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        TachoCard::setLogSink([this](const std::string &line) { log.push_back(line); });
    }
    void TearDown() override
    {
        TachoCard::ReleaseCardContext();
        TachoCard::setLogSink(nullptr);
    }
    Lines log;
};

TEST_P(Listing, FillsItemsOnlyOnSuccess)
{
    const ListingCase &c = GetParam();
    FakePcsc::setEstablishResult(c.establishResult);
    FakePcsc::setListResult(c.listResult);
    FakePcsc::setRawReaderList(c.rawList);
    Lines items{"previous item"};
    EXPECT_EQ(TachoCard::ListReaders(items), c.expectedResult);
    EXPECT_EQ(items, c.expectedItems);
    EXPECT_EQ(log, c.expectedLog);
}

const std::string longNames = std::string(130, 'A') + '\0' + std::string(130, 'B') + '\0' + '\0';

// Readers that come and go make the window read the list again while a card may be connected: the
// card's context stays, and so does its connection.
TEST_F(CardExchange, ListingAgainKeepsTheConnectedCard)
{
    connect();
    FakePcsc::setReaders({"Fake Reader 00 00", "New Reader 00 00"});
    Lines items;
    ASSERT_TRUE(TachoCard::ListReaders(items));
    EXPECT_EQ(items, (Lines{"Fake Reader 00 00", "New Reader 00 00"}));
    EXPECT_EQ(FakePcsc::countCalls("SCardReleaseContext"), 0);
    send({0x00, 0xB0, 0x00, 0x00, 0x04});
    EXPECT_EQ(FakePcsc::transmittedCommands().size(), 1u);
    EXPECT_EQ(log.back(), " 6D 00");
}

INSTANTIATE_TEST_SUITE_P(
        Table, Listing,
        testing::Values(ListingCase{"TwoReadersInOrder",
                                    SCARD_S_SUCCESS,
                                    SCARD_S_SUCCESS,
                                    std::string("Reader B 00 00\0Reader A 00 01\0\0", 31),
                                    true,
                                    {"Reader B 00 00", "Reader A 00 01"},
                                    {}},
                        // A laptop's reader, a dual-interface reader and a security key easily need more.
                        ListingCase{"NamesOfMoreThan256Bytes",
                                    SCARD_S_SUCCESS,
                                    SCARD_S_SUCCESS,
                                    longNames,
                                    true,
                                    {std::string(130, 'A'), std::string(130, 'B')},
                                    {}},
                        ListingCase{"EmptyFirstName",
                                    SCARD_S_SUCCESS,
                                    SCARD_S_SUCCESS,
                                    std::string("\0\0", 2),
                                    false,
                                    {"previous item"},
                                    {"Error is not documented (0x00000000)."}},
                        ListingCase{"NoService",
                                    static_cast<LONG>(SCARD_E_NO_SERVICE),
                                    SCARD_S_SUCCESS,
                                    std::string("R\0\0", 3),
                                    false,
                                    {"previous item"},
                                    {"The smart card resource manager is not running."}},
                        ListingCase{"NoReaders",
                                    SCARD_S_SUCCESS,
                                    static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE),
                                    std::string("R\0\0", 3),
                                    false,
                                    {"previous item"},
                                    {"Error is not documented (0x8010002E)."}},
                        // A list that lacks its closing zero ends at the buffer's end instead of beyond it.
                        ListingCase{"UnterminatedList",
                                    SCARD_S_SUCCESS,
                                    SCARD_S_SUCCESS,
                                    std::string(256, 'R'),
                                    true,
                                    {std::string(256, 'R')},
                                    {}}),
        CaseName());

} // namespace
