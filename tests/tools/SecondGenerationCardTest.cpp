// The second-generation application of the simulated card, its test PKI and the tests' checker
// of second-generation downloads.

#include "support/DddFile.h"
#include "support/SecondGenerationCheck.h"
#include "tools/vcard/CardGenerator.h"
#include "tools/vcard/SimulatedCard.h"
#include "tools/vcard/TestPki.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

std::uint16_t statusOf(const Bytes &response)
{
    return response.size() < 2 ? 0 : static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes testRoot()
{
    return readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_ROOT_1.cvc");
}

GeneratorOptions secondGeneration(int version, EcCurve curve = EcCurve::BrainpoolP256r1,
                                  CertificateChain chain = CertificateChain::FirstRoot)
{
    GeneratorOptions options;
    options.seed = 5;
    options.generation = 2;
    options.secondGenerationVersion = version;
    options.cardCurve = curve;
    options.chain = chain;
    return options;
}

SimulatedCard cardFor(const GeneratorOptions &options, CardFaults faults = {})
{
    SimulatedCard card(generateCard(options), CardKey::fromSeed(options.seed), std::move(faults));
    card.setSecondGenerationKey(*secondGenerationCardKey(options));
    return card;
}

std::vector<DddRecord> downloadOf(const GeneratorOptions &options)
{
    const auto key = CardKey::fromSeed(options.seed);
    const auto secondKey = secondGenerationCardKey(options);
    return downloadRecords(generateCard(options), &*key, &*secondKey);
}

const std::string SelectTachograph = "00A4040C06FF544143484F";
const std::string SelectTachographG2 = "00A4040C06FF534D524454";

} // namespace

TEST(TestPki, CommittedRootsAreWhatTheCardsAreSignedUnder)
{
    const TestPki *pki = TestPki::shared();
    ASSERT_NE(pki, nullptr);
    EXPECT_EQ(testRoot(), pki->firstRootCertificate);
    EXPECT_EQ(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_ROOT_2.cvc"), pki->secondRootCertificate);
    EXPECT_EQ(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_LINK_1_2.cvc"), pki->linkCertificate);
    EXPECT_EQ(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_EC_PK.bin"), pki->europeanPublicKey);
}

struct ShapeCase
{
    std::string name;
    GeneratorOptions options;
    std::size_t secondGenerationSignatures;
    std::size_t signatureLength;
};

void PrintTo(const ShapeCase &c, std::ostream *out)
{
    *out << c.name;
}

class SecondGenerationShapes : public testing::TestWithParam<ShapeCase>
{
};

TEST_P(SecondGenerationShapes, DownloadVerifiesUpToTheTestRoot)
{
    const auto records = downloadOf(GetParam().options);
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(DddFile::signaturesFollowData(records).ok);
    std::size_t signatures = 0;
    for (const auto &record : records) {
        if (record.type == DddRecordType::SecondGenerationSignature) {
            ++signatures;
            EXPECT_EQ(record.content.size(), GetParam().signatureLength);
        }
        EXPECT_FALSE(record.fileId == 0x050E && record.type == DddRecordType::SecondGenerationData);
        EXPECT_NE(record.fileId, 0x0540);
    }
    EXPECT_EQ(signatures, GetParam().secondGenerationSignatures);
    const DddCheck check = SecondGenerationCheck::verify(records, testRoot());
    EXPECT_TRUE(check.ok) << check.error;
}

INSTANTIATE_TEST_SUITE_P(
        Cards, SecondGenerationShapes,
        testing::Values(ShapeCase{"Version1", secondGeneration(1), 13, 64},
                        ShapeCase{"Version2", secondGeneration(2), 19, 64},
                        ShapeCase{"Version2P384UnderTheSecondRoot",
                                  secondGeneration(2, EcCurve::BrainpoolP384r1, CertificateChain::SecondRoot), 19, 96},
                        ShapeCase{"Version1P512", secondGeneration(1, EcCurve::BrainpoolP512r1), 13, 128}),
        [](const auto &test) { return test.param.name; });

TEST(SecondGenerationCheck, FindsEachKindOfTampering)
{
    const auto good = downloadOf(secondGeneration(2, EcCurve::BrainpoolP256r1, CertificateChain::SecondRoot));
    const auto index = [&good](std::uint16_t fileId, DddRecordType type) {
        for (std::size_t i = 0; i < good.size(); ++i) {
            if (good[i].fileId == fileId && good[i].type == type)
                return i;
        }
        return good.size();
    };
    using Type = DddRecordType;
    const struct
    {
        const char *what;
        std::size_t record;
        std::size_t byte;
    } edits[] = {
            {"data of a signed EF", index(0x0529, Type::SecondGenerationData), 4000},
            {"a signature", index(0x0504, Type::SecondGenerationSignature), 10},
            {"the CardSignCertificate", index(0xC101, Type::SecondGenerationData), 60},
            {"the CA certificate", index(0xC108, Type::SecondGenerationData), 60},
            {"the link certificate", index(0xC109, Type::SecondGenerationData), 60},
    };
    for (const auto &edit : edits) {
        auto changed = good;
        ASSERT_LT(edit.record, changed.size()) << edit.what;
        changed[edit.record].content.at(edit.byte) ^= 0x01;
        EXPECT_FALSE(SecondGenerationCheck::verify(changed, testRoot()).ok) << edit.what;
    }
    // Another card's key under the same CA: its certificate is fine, the signatures are not.
    auto otherOptions = secondGeneration(2, EcCurve::BrainpoolP256r1, CertificateChain::SecondRoot);
    otherOptions.seed = 6;
    const auto other = downloadOf(otherOptions);
    auto swapped = good;
    swapped[index(0xC101, Type::SecondGenerationData)] = other[index(0xC101, Type::SecondGenerationData)];
    const DddCheck check = SecondGenerationCheck::verify(swapped, testRoot());
    EXPECT_FALSE(check.ok);
    EXPECT_NE(check.error.find("does not verify"), std::string::npos) << check.error;

    auto withoutLink = good;
    withoutLink[index(0xC109, Type::SecondGenerationData)].content.assign(204, 0);
    EXPECT_FALSE(SecondGenerationCheck::verify(withoutLink, testRoot()).ok);
    EXPECT_TRUE(SecondGenerationCheck::verify(good, testRoot()).ok);
}

struct Step
{
    std::string command;
    std::uint16_t status;
    std::size_t dataLength = 0;
};

TEST(SecondGenerationCard, AnswersAsTheRegulationPromisesAndNoMore)
{
    const struct
    {
        const char *name;
        int generation;
        int version;
        std::vector<Step> steps;
    } sessions[] = {
            {"a first-generation card has no second application", 1, 2, {{SelectTachographG2, 0x6A82}}},
            {"one application is not selected from inside the other",
             2,
             2,
             {{SelectTachograph, 0x9000}, {SelectTachographG2, 0x6A82}, {SelectTachograph, 0x9000}}},
            {"version 1 lacks the files of version 2",
             2,
             1,
             {{SelectTachographG2, 0x9000}, {"00A4020C020524", 0x9000}, {"00A4020C020525", 0x6A82}}},
            {"VU configuration only through secure messaging",
             2,
             2,
             {{SelectTachographG2, 0x9000}, {"00A4020C020540", 0x9000}, {"00B0000010", 0x6982}, {"802A9000", 0x6982}}},
            {"hash and signature as long as the curve",
             2,
             2,
             {{SelectTachographG2, 0x9000},
              {"00A4020C020504", 0x9000},
              {"802A9000", 0x9000},
              {"002A9E9A40", 0x9000, 64},
              {"002A9E9A00", 0x9000, 64},
              {"002A9E9A80", 0x6C40}}},
            {"only Card_Download can be written",
             2,
             2,
             {{SelectTachographG2, 0x9000},
              {"00A4020C020520", 0x9000},
              {"00D6000004AABBCCDD", 0x6982},
              {"00A4020C02050E", 0x9000},
              {"00D6000004AABBCCDD", 0x9000},
              {"00B0000004", 0x9000, 4}}},
    };
    for (const auto &session : sessions) {
        auto options = secondGeneration(session.version);
        options.generation = session.generation;
        SimulatedCard card = cardFor(options);
        for (const auto &step : session.steps) {
            const Bytes response = card.transmit(fromHex(step.command));
            EXPECT_EQ(statusOf(response), step.status) << session.name << ": " << step.command;
            EXPECT_EQ(response.size() - 2, step.dataLength) << session.name << ": " << step.command;
        }
    }
}

TEST(SecondGenerationCard, UpdateOfCardDownloadIsReadBackInItsOwnApplicationOnly)
{
    SimulatedCard card = cardFor(secondGeneration(2));
    const Bytes before = card.image().tachographFiles.at(0x050E);
    card.transmit(fromHex(SelectTachographG2));
    card.transmit(fromHex("00A4020C02050E"));
    ASSERT_EQ(statusOf(card.transmit(fromHex("00D600000465A1B2C3"))), 0x9000);
    const auto update = card.takeUpdate();
    ASSERT_TRUE(update);
    EXPECT_TRUE(update->secondGeneration);
    EXPECT_EQ(update->content, fromHex("65A1B2C3"));
    EXPECT_FALSE(card.takeUpdate());
    EXPECT_EQ(card.transmit(fromHex("00B0000004")), fromHex("65A1B2C39000"));
    card.reset();
    card.transmit(fromHex(SelectTachograph));
    card.transmit(fromHex("00A4020C02050E"));
    EXPECT_EQ(card.transmit(fromHex("00B0000004")), [&] {
        Bytes expected = before;
        expected.push_back(0x90);
        expected.push_back(0x00);
        return expected;
    }());
}

TEST(SecondGenerationCard, FaultsOfSignatureLengthAndRefusedUpdate)
{
    CardFaults faults;
    faults.exactSignatureLe = true;
    faults.refuseUpdate = true;
    SimulatedCard card = cardFor(secondGeneration(2, EcCurve::BrainpoolP384r1), faults);
    card.transmit(fromHex(SelectTachographG2));
    card.transmit(fromHex("00A4020C020501"));
    card.transmit(fromHex("802A9000"));
    EXPECT_EQ(statusOf(card.transmit(fromHex("002A9E9A00"))), 0x6C60);
    EXPECT_EQ(card.transmit(fromHex("002A9E9A60")).size(), 96u + 2);
    card.transmit(fromHex("00A4020C02050E"));
    EXPECT_EQ(statusOf(card.transmit(fromHex("00D600000401020304"))), 0x6982);
}

TEST(SecondGenerationCard, ReplayOfASecondGenerationDownloadGivesItBack)
{
    const auto records = downloadOf(secondGeneration(2));
    const Bytes file = DddFile::encode(records);
    auto load = loadCardImage(file);
    ASSERT_TRUE(load.ok) << load.error;
    EXPECT_TRUE(load.image.hasSecondGeneration());
    EXPECT_EQ(DddFile::encode(downloadRecords(load.image, nullptr)), file);

    SimulatedCard card(std::move(load.image), std::nullopt, {});
    card.transmit(fromHex(SelectTachographG2));
    card.transmit(fromHex("00A4020C020504"));
    card.transmit(fromHex("802A9000"));
    const Bytes signature = card.transmit(fromHex("002A9E9A40"));
    ASSERT_EQ(statusOf(signature), 0x9000);
    EXPECT_EQ(Bytes(signature.begin(), signature.end() - 2),
              *DddFile::find(records, 0x0504, DddRecordType::SecondGenerationSignature));
}
