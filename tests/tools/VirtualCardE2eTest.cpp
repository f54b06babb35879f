// The simulated card on the real stack: our own pcscd, the virtual reader driver and
// korvan-vcard, spoken to through pcsc-lite as the program does (exclusive, T=0).

#include "support/DddFile.h"
#include "support/PcscdHarness.h"
#include "support/VirtualCard.h"

#include <PCSC/winscard.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t ReaderPort = 36210;
const VirtualReaderDefinition Reader{"Korvan Vcard Test", ReaderPort};
const std::string ReaderName = PcscdHarness::readerName(Reader, 0);
const std::string Port = std::to_string(ReaderPort);

const Bytes SelectAid{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
const Bytes PerformHash{0x80, 0x2A, 0x90, 0x00};
const Bytes ComputeSignature{0x00, 0x2A, 0x9E, 0x9A, 0x80};

std::uint32_t code(LONG result)
{
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(result) & 0xFFFFFFFFu);
}

Bytes selectEf(std::uint16_t fileId)
{
    return {0x00,
            0xA4,
            0x02,
            0x0C,
            0x02,
            static_cast<std::uint8_t>(fileId >> 8),
            static_cast<std::uint8_t>(fileId & 0xFF)};
}

Bytes readBinary(std::size_t offset, std::uint8_t le)
{
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset & 0xFF), le};
}

std::uint16_t statusOf(const Bytes &response)
{
    return response.size() < 2 ? 0 : static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

// One PC/SC context and, once connected, one exclusive T=0 card handle.
class PcscClient
{
public:
    PcscClient() { m_result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context); }
    ~PcscClient()
    {
        disconnect();
        if (m_context)
            SCardReleaseContext(m_context);
    }

    void disconnect()
    {
        if (m_card)
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
        m_card = 0;
    }
    PcscClient(const PcscClient &) = delete;
    PcscClient &operator=(const PcscClient &) = delete;

    bool established() const { return m_result == SCARD_S_SUCCESS; }

    // Waits until the reader's state has (present) or lacks (!present) a card; the event state.
    std::optional<SCARD_READERSTATE> waitForCard(bool present,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        SCARD_READERSTATE state{};
        state.szReader = ReaderName.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const LONG result = SCardGetStatusChange(m_context, 200, &state, 1);
            if (result != SCARD_S_SUCCESS && code(result) != code(SCARD_E_TIMEOUT))
                return std::nullopt;
            const bool hasCard = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (hasCard == present && (state.dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_EMPTY)) != 0)
                return state;
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        }
        return std::nullopt;
    }

    LONG connect()
    {
        DWORD protocol = 0;
        const LONG result = SCardConnect(m_context, ReaderName.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0,
                                         &m_card, &protocol);
        m_protocol = protocol;
        return result;
    }

    LONG reset()
    {
        DWORD protocol = 0;
        return SCardReconnect(m_card, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &protocol);
    }

    DWORD protocol() const { return m_protocol; }

    Bytes transmit(const Bytes &command, LONG *result = nullptr)
    {
        std::array<std::uint8_t, 300> response{};
        DWORD length = response.size();
        const SCARD_IO_REQUEST pci{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
        const LONG outcome =
                SCardTransmit(m_card, &pci, command.data(), command.size(), nullptr, response.data(), &length);
        if (result)
            *result = outcome;
        if (outcome != SCARD_S_SUCCESS)
            return {};
        return Bytes(response.begin(), response.begin() + static_cast<std::ptrdiff_t>(length));
    }

    // READ BINARY in 256-byte steps; a 6Cxx answer gives the rest, 6C00 the end.
    std::optional<Bytes> readFile()
    {
        Bytes content;
        for (;;) {
            Bytes response = transmit(readBinary(content.size(), 0x00));
            const std::uint16_t sw = statusOf(response);
            if (sw == 0x9000 && response.size() == 258) {
                content.insert(content.end(), response.begin(), response.end() - 2);
                continue;
            }
            if (sw == 0x6C00)
                return content;
            if ((sw & 0xFF00) != 0x6C00)
                return std::nullopt;
            response = transmit(readBinary(content.size(), static_cast<std::uint8_t>(sw & 0xFF)));
            if (statusOf(response) != 0x9000)
                return std::nullopt;
            content.insert(content.end(), response.begin(), response.end() - 2);
            return content;
        }
    }

private:
    LONG m_result = SCARD_S_SUCCESS;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    DWORD m_protocol = 0;
};

class VirtualCardOnPcscd : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        harness = std::make_unique<PcscdHarness>(std::vector<VirtualReaderDefinition>{Reader});
        if (!harness->start())
            startError = harness->error();
    }
    static void TearDownTestSuite() { harness.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(startError.empty()) << startError;
        // A test that stopped the daemon and failed before starting it again must not take the
        // others with it.
        ASSERT_TRUE(harness->start()) << harness->error();
    }

    // pcscd notices a card that went away at its next poll of the reader: until then it still
    // shows the previous test's card as present.
    static void waitForEmptyReader()
    {
        PcscClient client;
        ASSERT_TRUE(client.waitForCard(false)) << "the reader still holds a card";
    }

    // A card in the test reader, inserted and seen by pcscd.
    std::unique_ptr<VirtualCard> insertedCard(std::vector<std::string> arguments)
    {
        waitForEmptyReader();
        arguments.insert(arguments.end(), {"--port", Port});
        auto card = std::make_unique<VirtualCard>(std::move(arguments));
        EXPECT_TRUE(card->start()) << card->error();
        EXPECT_TRUE(card->waitFor("inserted")) << card->error();
        return card;
    }

    static std::unique_ptr<PcscdHarness> harness;
    static std::string startError;
};

std::unique_ptr<PcscdHarness> VirtualCardOnPcscd::harness;
std::string VirtualCardOnPcscd::startError;

TEST_F(VirtualCardOnPcscd, ScriptedSessionReadsSignsAndResets)
{
    auto card = insertedCard({"--seed", "5", "--sizes", "multiple256"});
    const auto expected = DddFile::parse(card->expectedDownload());
    ASSERT_TRUE(expected.ok) << expected.error;

    PcscClient client;
    ASSERT_TRUE(client.established());
    const auto state = client.waitForCard(true);
    ASSERT_TRUE(state);
    EXPECT_EQ(Bytes(state->rgbAtr, state->rgbAtr + state->cbAtr), (Bytes{0x3B, 0x02, 0x14, 0x50}));
    ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));
    EXPECT_EQ(client.protocol(), static_cast<DWORD>(SCARD_PROTOCOL_T0));

    EXPECT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
    EXPECT_EQ(client.transmit(selectEf(0x0002)), (Bytes{0x6A, 0x82})); // master file EF, out of reach
    EXPECT_EQ(client.transmit(selectEf(0x0503)), (Bytes{0x90, 0x00}));
    const auto content = client.readFile();
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 768u);
    EXPECT_EQ(*content, DddFile::find(expected.records, 0x0503, DddRecordType::Data));
    EXPECT_EQ(client.transmit(readBinary(768, 0x01)), (Bytes{0x6C, 0x00}));
    EXPECT_EQ(client.transmit(readBinary(769, 0x01)), (Bytes{0x6B, 0x00}));
    EXPECT_EQ(client.transmit(PerformHash), (Bytes{0x90, 0x00}));
    Bytes signature = client.transmit(ComputeSignature);
    ASSERT_EQ(signature.size(), 130u);
    EXPECT_EQ(statusOf(signature), 0x9000);
    signature.resize(128);
    const std::vector<DddRecord> signedFile{{0x0503, DddRecordType::Data, *content},
                                            {0x0503, DddRecordType::Signature, signature}};
    const DddCheck check = DddFile::verifySignatures(signedFile, card->publicKeyPem());
    EXPECT_TRUE(check.ok) << check.error;

    // Only a reset leads back to the master file.
    ASSERT_EQ(code(client.reset()), code(SCARD_S_SUCCESS));
    EXPECT_EQ(client.transmit(ComputeSignature), (Bytes{0x69, 0x85}));
    EXPECT_EQ(client.transmit(selectEf(0x0002)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(client.readFile(), DddFile::find(expected.records, 0x0002, DddRecordType::Data));

    const auto commands = card->commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), SelectAid);
    EXPECT_EQ(commands.back(), readBinary(0, 0x19)); // 6C19 told the reader the length
    const auto log = card->logLines();
    EXPECT_NE(std::find(log.begin(), log.end(), "* reset"), log.end());
}

TEST_F(VirtualCardOnPcscd, ReplayedDownloadGivesBackItsContents)
{
    Bytes original;
    std::string publicKey;
    {
        VirtualCard generator({"--seed", "9", "--sizes", "max", "--removed"});
        ASSERT_TRUE(generator.start()) << generator.error();
        original = generator.expectedDownload();
        publicKey = generator.publicKeyPem();
        ASSERT_TRUE(generator.quit()) << generator.error();
    }
    const auto parsed = DddFile::parse(original);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const std::string path = testing::TempDir() + "korvan-replay.ddd";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(original.data()), static_cast<std::streamsize>(original.size()));
        ASSERT_TRUE(out.good());
    }

    auto card = insertedCard({"--load", path});
    PcscClient client;
    ASSERT_TRUE(client.waitForCard(true));
    ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));

    // Download the card the way the download file lists it: master file EFs first.
    std::vector<DddRecord> downloaded;
    bool inApplication = false;
    for (std::size_t i = 0; i < parsed.records.size(); ++i) {
        const DddRecord &record = parsed.records[i];
        if (record.type != DddRecordType::Data)
            continue;
        if (record.fileId != 0x0002 && record.fileId != 0x0005 && !inApplication) {
            ASSERT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
            inApplication = true;
        }
        ASSERT_EQ(client.transmit(selectEf(record.fileId)), (Bytes{0x90, 0x00})) << DddFile::fileIdText(record.fileId);
        const auto content = client.readFile();
        ASSERT_TRUE(content) << DddFile::fileIdText(record.fileId);
        downloaded.push_back({record.fileId, DddRecordType::Data, *content});
        if (i + 1 < parsed.records.size() && parsed.records[i + 1].type == DddRecordType::Signature) {
            ASSERT_EQ(client.transmit(PerformHash), (Bytes{0x90, 0x00}));
            Bytes signature = client.transmit(ComputeSignature);
            ASSERT_EQ(statusOf(signature), 0x9000);
            signature.resize(signature.size() - 2);
            downloaded.push_back({record.fileId, DddRecordType::Signature, signature});
        }
    }
    EXPECT_EQ(DddFile::encode(downloaded), original);
    const DddCheck check = DddFile::verifySignatures(downloaded, publicKey);
    EXPECT_TRUE(check.ok) << check.error;
    std::remove(path.c_str());
}

TEST_F(VirtualCardOnPcscd, RemoveAfterCommandsFailsTheNextTransmitOnce)
{
    auto card = insertedCard({"--remove-after", "3"});
    PcscClient client;
    ASSERT_TRUE(client.waitForCard(true));
    ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));
    EXPECT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
    EXPECT_EQ(client.transmit(selectEf(0x0504)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(client.transmit(readBinary(0, 0x10)).size(), 18u);
    ASSERT_TRUE(card->waitFor("removed")) << card->error();

    LONG result = SCARD_S_SUCCESS;
    client.transmit(readBinary(0x10, 0x10), &result);
    const std::set<std::uint32_t> removedCodes{code(SCARD_E_NOT_TRANSACTED), code(SCARD_W_REMOVED_CARD),
                                               code(SCARD_E_NO_SMARTCARD), code(SCARD_W_RESET_CARD)};
    EXPECT_TRUE(removedCodes.contains(code(result))) << std::hex << code(result);
    EXPECT_EQ(card->commands().size(), 3u);

    // The fault fires once: the card inserted again serves a whole session. The handle on the
    // pulled card must go first, as the program's does: while it exists, pcscd refuses a new
    // exclusive connection with a sharing violation.
    ASSERT_TRUE(client.waitForCard(false));
    client.disconnect();
    ASSERT_TRUE(card->insert()) << card->error();
    PcscClient again;
    ASSERT_TRUE(again.waitForCard(true));
    ASSERT_EQ(code(again.connect()), code(SCARD_S_SUCCESS));
    EXPECT_EQ(again.transmit(SelectAid), (Bytes{0x90, 0x00}));
    EXPECT_EQ(again.transmit(selectEf(0x0504)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(again.transmit(readBinary(0, 0x10)).size(), 18u);
    EXPECT_EQ(again.transmit(readBinary(0x10, 0x10)).size(), 18u);
}

TEST_F(VirtualCardOnPcscd, InsertAndRemoveOnStandardInputAreSeenByStatusChange)
{
    waitForEmptyReader();
    VirtualCard card({"--removed", "--port", Port});
    ASSERT_TRUE(card.start()) << card.error();
    ASSERT_TRUE(card.waitFor("removed")) << card.error();
    PcscClient client;
    ASSERT_TRUE(client.waitForCard(false));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(card.insert()) << card.error();
        const auto present = client.waitForCard(true);
        ASSERT_TRUE(present);
        EXPECT_EQ(Bytes(present->rgbAtr, present->rgbAtr + present->cbAtr), (Bytes{0x3B, 0x02, 0x14, 0x50}));
        ASSERT_TRUE(card.remove()) << card.error();
        ASSERT_TRUE(client.waitForCard(false));
    }
    EXPECT_TRUE(card.quit()) << card.error();
}

TEST_F(VirtualCardOnPcscd, CardComesBackAfterTheDaemonRestarts)
{
    auto card = insertedCard({});
    ASSERT_TRUE(harness->stop());
    ASSERT_TRUE(card->waitFor("lost")) << card->error();
    ASSERT_TRUE(harness->start()) << harness->error();
    ASSERT_TRUE(card->waitFor("inserted")) << card->error();

    PcscClient client; // contexts from before the restart never work again
    ASSERT_TRUE(client.waitForCard(true));
    ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));
    EXPECT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
}

// A card without TCP_NODELAY and TCP_QUICKACK costs about 40 ms a command; a slow card must be
// slow by as much as asked.
TEST_F(VirtualCardOnPcscd, ResponseTimesFollowTheLinkSpeed)
{
    const auto timeReads = [](PcscClient &client, int count) {
        const auto begin = Clock::now();
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(client.transmit(readBinary(0, 0x00)).size(), 258u);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    };
    {
        auto card = insertedCard({});
        PcscClient client;
        ASSERT_TRUE(client.waitForCard(true));
        ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));
        ASSERT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
        ASSERT_EQ(client.transmit(selectEf(0x0504)), (Bytes{0x90, 0x00}));
        EXPECT_LT(timeReads(client, 20).count(), 400);
    }
    {
        auto card = insertedCard({"--baud", "9600"});
        PcscClient client;
        ASSERT_TRUE(client.waitForCard(true));
        ASSERT_EQ(code(client.connect()), code(SCARD_S_SUCCESS));
        ASSERT_EQ(client.transmit(SelectAid), (Bytes{0x90, 0x00}));
        ASSERT_EQ(client.transmit(selectEf(0x0504)), (Bytes{0x90, 0x00}));
        // (5 + 258) bytes x 12 bits at 9600 bit/s: 329 ms for each read.
        EXPECT_GE(timeReads(client, 2).count(), 2 * 320);
    }
}

} // namespace
