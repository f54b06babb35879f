// The simulated card's answers, driven without sockets.

#include "tools/vcard/SimulatedCard.h"
#include "support/DddFile.h"
#include "tools/vcard/CardKey.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vcard;

namespace {

Bytes fromHex(const std::string &text)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

Bytes pattern(std::size_t size, std::uint8_t salt)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + salt);
    return bytes;
}

// A small card: 0504 ends off a 256-byte boundary, 0503 exactly on one.
CardImage smallImage()
{
    CardImage image;
    image.masterFiles[0x0002] = pattern(25, 1);
    image.masterFiles[0x0005] = pattern(8, 2);
    image.tachographFiles[0x0501] = pattern(10, 3);
    image.tachographFiles[0x0504] = pattern(300, 4);
    image.tachographFiles[0x0503] = pattern(512, 5);
    image.downloadOrder = {{0x0002, false}, {0x0005, false}, {0x0501, true}, {0x0504, true}, {0x0503, true}};
    return image;
}

const CardKey &testKey()
{
    static const CardKey key = *CardKey::fromSeed(7);
    return key;
}

std::uint16_t statusOf(const Bytes &response)
{
    return response.size() < 2 ? 0 : static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

const std::string SelectAid = "00A4040C06FF544143484F";

struct Step
{
    std::string command;
    std::uint16_t status;
    std::size_t dataLength = 0;
};

struct SessionCase
{
    std::string name;
    CardFaults faults;
    std::vector<Step> steps;
};

void PrintTo(const SessionCase &c, std::ostream *out)
{
    *out << c.name;
}

template<typename Set>
CardFaults faults(Set set)
{
    CardFaults chosen;
    set(chosen);
    return chosen;
}

std::string caseName(const testing::TestParamInfo<SessionCase> &info)
{
    return info.param.name;
}

class CardSession : public testing::TestWithParam<SessionCase>
{
};

TEST_P(CardSession, AnswersEachCommand)
{
    SimulatedCard card(smallImage(), testKey(), GetParam().faults);
    for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step &step = GetParam().steps[i];
        const Bytes response = card.transmit(fromHex(step.command));
        SCOPED_TRACE("step " + std::to_string(i) + ": " + step.command);
        ASSERT_GE(response.size(), 2u);
        EXPECT_EQ(statusOf(response), step.status) << std::hex << statusOf(response);
        EXPECT_EQ(response.size() - 2, step.dataLength);
    }
}

StatusOverride forced(std::optional<std::uint8_t> cla, std::uint8_t ins, std::optional<std::uint16_t> fileId,
                      std::uint16_t sw)
{
    return {cla, ins, fileId, sw};
}

INSTANTIATE_TEST_SUITE_P(
        Selection, CardSession,
        testing::Values(
                SessionCase{"AidFromMasterFileThenEf", {}, {{SelectAid, 0x9000}, {"00A4020C020504", 0x9000}}},
                SessionCase{"AidWithP2Zero", {}, {{"00A4040006FF544143484F", 0x9000}}},
                SessionCase{
                        "AidAgainFromInsideTheDf",
                        {},
                        {{SelectAid, 0x9000}, {"00A4020C020504", 0x9000}, {SelectAid, 0x9000}, {"00B0000001", 0x6986}}},
                SessionCase{"DfEfNotInMasterFile", {}, {{"00A4020C020504", 0x6A82}}},
                SessionCase{"MasterFileEfFromMasterFile", {}, {{"00A4020C020002", 0x9000}, {"00B0000019", 0x9000, 25}}},
                SessionCase{"MasterFileEfOutOfReachFromDf", {}, {{SelectAid, 0x9000}, {"00A4020C020002", 0x6A82}}},
                SessionCase{"FailedSelectKeepsCurrentEf",
                            {},
                            {{SelectAid, 0x9000},
                             {"00A4020C020504", 0x9000},
                             {"00A4020C020599", 0x6A82},
                             {"00B000000A", 0x9000, 10}}},
                SessionCase{"OtherAid", {}, {{"00A4040C06FF544143484E", 0x6A82}}},
                SessionCase{"WrongP1P2", {}, {{"00A4080C020504", 0x6A86}, {"00A4040406FF544143484F", 0x6A86}}},
                SessionCase{
                        "WrongLc", {}, {{"00A4020C03050400", 0x6700}, {"00A4020C0205", 0x6700}, {"00A4020C", 0x6700}}},
                SessionCase{"NoTachographApplication",
                            faults([](CardFaults &f) { f.noTachograph = true; }),
                            {{SelectAid, 0x6A82}, {"00A4020C020002", 0x9000}}}),
        caseName);

INSTANTIATE_TEST_SUITE_P(ReadBinary, CardSession,
                         testing::Values(SessionCase{"NoCurrentEf", {}, {{"00B0000010", 0x6986}}},
                                         SessionCase{"ChunksToTheEnd",
                                                     {},
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020504", 0x9000},
                                                      {"00B0000000", 0x9000, 256},
                                                      {"00B0010000", 0x6C2C},
                                                      {"00B001002C", 0x9000, 44},
                                                      {"00B0012C00", 0x6C00},
                                                      {"00B0012C01", 0x6C00},
                                                      {"00B0012D01", 0x6B00}}},
                                         SessionCase{"EndOnA256Boundary",
                                                     {},
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020503", 0x9000},
                                                      {"00B0010000", 0x9000, 256},
                                                      {"00B0020000", 0x6C00}}},
                                         SessionCase{"BadForms",
                                                     {},
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020504", 0x9000},
                                                      {"00B00000", 0x6700},
                                                      {"00B000000101", 0x6700},
                                                      {"00B0810000", 0x6A86}}},
                                         SessionCase{"EndAnswers9000",
                                                     faults([](CardFaults &f) { f.eofAnswers9000 = true; }),
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020504", 0x9000},
                                                      {"00B0012C00", 0x9000},
                                                      {"00B0010000", 0x6C2C},
                                                      {"00B0012D01", 0x6B00}}},
                                         SessionCase{"WrongLengthAs6700",
                                                     faults([](CardFaults &f) { f.wrongLength6700 = true; }),
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020504", 0x9000},
                                                      {"00B0010000", 0x6700},
                                                      {"00B0012C00", 0x6700},
                                                      {"00B001002C", 0x9000, 44}}},
                                         SessionCase{"BothEndQuirks",
                                                     faults([](CardFaults &f) {
                                                         f.eofAnswers9000 = true;
                                                         f.wrongLength6700 = true;
                                                     }),
                                                     {{SelectAid, 0x9000},
                                                      {"00A4020C020504", 0x9000},
                                                      {"00B0012C00", 0x9000},
                                                      {"00B0010000", 0x6700}}}),
                         caseName);

INSTANTIATE_TEST_SUITE_P(
        HashAndSignature, CardSession,
        testing::Values(SessionCase{"PsoWithoutHash",
                                    {},
                                    {{SelectAid, 0x9000}, {"00A4020C020504", 0x9000}, {"002A9E9A80", 0x6985}}},
                        SessionCase{"SelectClearsHash",
                                    {},
                                    {{SelectAid, 0x9000},
                                     {"00A4020C020504", 0x9000},
                                     {"802A9000", 0x9000},
                                     {"00A4020C020503", 0x9000},
                                     {"002A9E9A80", 0x6985}}},
                        SessionCase{"HashThenPso",
                                    {},
                                    {{SelectAid, 0x9000},
                                     {"00A4020C020504", 0x9000},
                                     {"802A9000", 0x9000},
                                     {"002A9E9A80", 0x9000, 128},
                                     {"002A9E9A80", 0x9000, 128}}},
                        SessionCase{"HashWithoutEf", {}, {{SelectAid, 0x9000}, {"802A9000", 0x6986}}},
                        SessionCase{"BadHashAndPsoForms",
                                    {},
                                    {{SelectAid, 0x9000},
                                     {"00A4020C020504", 0x9000},
                                     {"802A9100", 0x6A86},
                                     {"802A900001AA", 0x6700},
                                     {"802A9000", 0x9000},
                                     {"002A9E9B80", 0x6A86},
                                     {"002A9E9A40", 0x6C80}}},
                        SessionCase{"ShortSignature",
                                    faults([](CardFaults &f) { f.signatureLength = 64; }),
                                    {{SelectAid, 0x9000},
                                     {"00A4020C020504", 0x9000},
                                     {"802A9000", 0x9000},
                                     {"002A9E9A80", 0x9000, 64}}},
                        SessionCase{"LongSignature",
                                    faults([](CardFaults &f) { f.signatureLength = 130; }),
                                    {{SelectAid, 0x9000},
                                     {"00A4020C020504", 0x9000},
                                     {"802A9000", 0x9000},
                                     {"002A9E9A80", 0x9000, 130}}}),
        caseName);

INSTANTIATE_TEST_SUITE_P(
        ClassAndInstruction, CardSession,
        testing::Values(SessionCase{"UnknownClass", {}, {{"10A4040C06FF544143484F", 0x6E00}, {"FFB0000010", 0x6E00}}},
                        SessionCase{"UnknownInstruction", {}, {{"00CA000000", 0x6D00}, {"80B0000010", 0x6D00}}},
                        SessionCase{"TooShort", {}, {{"00A4", 0x6700}, {"00A404", 0x6700}}}),
        caseName);

INSTANTIATE_TEST_SUITE_P(
        ForcedStatus, CardSession,
        testing::Values(
                SessionCase{"ReadOfOneEf",
                            faults([](CardFaults &f) { f.statusOverrides = {forced({}, 0xB0, 0x0504, 0x6581)}; }),
                            {{SelectAid, 0x9000},
                             {"00A4020C020504", 0x9000},
                             {"00B0000010", 0x6581},
                             {"00A4020C020503", 0x9000},
                             {"00B0000010", 0x9000, 16}}},
                SessionCase{"SelectOfOneEfSelectsNothing",
                            faults([](CardFaults &f) { f.statusOverrides = {forced({}, 0xA4, 0x0503, 0x6A82)}; }),
                            {{SelectAid, 0x9000},
                             {"00A4020C020504", 0x9000},
                             {"00A4020C020503", 0x6A82},
                             {"00B0000010", 0x9000, 16}}},
                SessionCase{"PsoButNotHash",
                            faults([](CardFaults &f) { f.statusOverrides = {forced(0x00, 0x2A, {}, 0x6A88)}; }),
                            {{SelectAid, 0x9000},
                             {"00A4020C020504", 0x9000},
                             {"802A9000", 0x9000},
                             {"002A9E9A80", 0x6A88}}}),
        caseName);

Bytes readWhole(SimulatedCard &card)
{
    Bytes content;
    for (;;) {
        const auto offset = content.size();
        Bytes response = card.transmit(Bytes{0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                             static_cast<std::uint8_t>(offset & 0xFF), 0x00});
        const std::uint16_t sw = statusOf(response);
        if (sw == 0x9000) {
            content.insert(content.end(), response.begin(), response.end() - 2);
            continue;
        }
        if ((sw & 0xFF00) != 0x6C00 || (sw & 0xFF) == 0)
            return content;
        response = card.transmit(Bytes{0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                       static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(sw & 0xFF)});
        content.insert(content.end(), response.begin(), response.end() - 2);
        return content;
    }
}

TEST(SimulatedCard, ReadsBackContentAndSignsWhatItRead)
{
    const CardImage image = smallImage();
    SimulatedCard card(image, testKey(), {});
    ASSERT_EQ(statusOf(card.transmit(fromHex(SelectAid))), 0x9000);
    std::vector<DddRecord> records;
    for (const std::uint16_t fileId : std::initializer_list<std::uint16_t>{0x0504, 0x0503, 0x0501}) {
        ASSERT_EQ(statusOf(card.transmit(Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, static_cast<std::uint8_t>(fileId >> 8),
                                               static_cast<std::uint8_t>(fileId & 0xFF)})),
                  0x9000);
        const Bytes content = readWhole(card);
        EXPECT_EQ(content, image.tachographFiles.at(fileId)) << DddFile::fileIdText(fileId);
        ASSERT_EQ(statusOf(card.transmit(fromHex("802A9000"))), 0x9000);
        Bytes signature = card.transmit(fromHex("002A9E9A80"));
        ASSERT_EQ(statusOf(signature), 0x9000);
        signature.resize(signature.size() - 2);
        records.push_back({fileId, DddRecordType::Data, content});
        records.push_back({fileId, DddRecordType::Signature, signature});
    }
    const DddCheck check = DddFile::verifySignatures(records, testKey().publicKeyPem());
    EXPECT_TRUE(check.ok) << check.error;
}

TEST(SimulatedCard, ResetReturnsToMasterFileAndForgetsHash)
{
    SimulatedCard card(smallImage(), testKey(), {});
    ASSERT_EQ(statusOf(card.transmit(fromHex(SelectAid))), 0x9000);
    ASSERT_EQ(statusOf(card.transmit(fromHex("00A4020C020504"))), 0x9000);
    ASSERT_EQ(statusOf(card.transmit(fromHex("802A9000"))), 0x9000);
    card.reset();
    EXPECT_EQ(statusOf(card.transmit(fromHex("002A9E9A80"))), 0x6985);
    EXPECT_EQ(statusOf(card.transmit(fromHex("00B0000001"))), 0x6986);
    EXPECT_EQ(statusOf(card.transmit(fromHex("00A4020C020504"))), 0x6A82);
    EXPECT_EQ(statusOf(card.transmit(fromHex("00A4020C020002"))), 0x9000);
}

TEST(SimulatedCard, ReplayAnswersRecordedSignaturesOnly)
{
    CardImage image = smallImage();
    image.replayed = true;
    image.recordedSignatures[0x0504] = pattern(128, 9);
    SimulatedCard card(image, std::nullopt, {});
    ASSERT_EQ(statusOf(card.transmit(fromHex(SelectAid))), 0x9000);
    ASSERT_EQ(statusOf(card.transmit(fromHex("00A4020C020504"))), 0x9000);
    ASSERT_EQ(statusOf(card.transmit(fromHex("802A9000"))), 0x9000);
    Bytes expected = pattern(128, 9);
    expected.insert(expected.end(), {0x90, 0x00});
    EXPECT_EQ(card.transmit(fromHex("002A9E9A80")), expected);

    ASSERT_EQ(statusOf(card.transmit(fromHex("00A4020C020503"))), 0x9000);
    ASSERT_EQ(statusOf(card.transmit(fromHex("802A9000"))), 0x9000);
    EXPECT_EQ(statusOf(card.transmit(fromHex("002A9E9A80"))), 0x6985);
}

} // namespace
