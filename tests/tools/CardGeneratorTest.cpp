// The generated card: sizes, the holder's names as the program will read them, plausible
// structure, determinism and a download that verifies.

#include "tools/vcard/CardGenerator.h"
#include "support/DddFile.h"
#include "tools/vcard/CardKey.h"
#include "tools/vcard/Windows1250.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

using namespace vcard;

namespace {

std::size_t u16(const Bytes &bytes, std::size_t offset)
{
    return static_cast<std::size_t>(bytes.at(offset) << 8 | bytes.at(offset + 1));
}

std::string field(const Bytes &bytes, std::size_t offset, std::size_t length)
{
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

const Bytes &ef(const CardImage &image, std::uint16_t fileId)
{
    const Bytes *file = image.file(fileId);
    EXPECT_NE(file, nullptr) << DddFile::fileIdText(fileId);
    static const Bytes none;
    return file ? *file : none;
}

struct SizeCase
{
    const char *name;
    SizePreset preset;
    std::map<std::uint16_t, std::size_t> expected; // variable-size EFs
};

void PrintTo(const SizeCase &c, std::ostream *out)
{
    *out << c.name;
}

class GeneratedSizes : public testing::TestWithParam<SizeCase>
{
};

TEST_P(GeneratedSizes, FollowPresetAndDescribeThemselves)
{
    GeneratorOptions options;
    options.preset = GetParam().preset;
    const CardImage image = generateCard(options);
    for (const auto &layout : DriverCardFiles) {
        const auto expected = GetParam().expected.find(layout.fileId);
        const std::size_t size = expected != GetParam().expected.end() ? expected->second : layout.defaultSize;
        EXPECT_EQ(ef(image, layout.fileId).size(), size) << layout.name;
        EXPECT_GE(size, layout.minSize) << layout.name;
        EXPECT_LE(size, layout.maxSize) << layout.name;
    }
    EXPECT_EQ(image.masterFiles.size(), 2u);
    EXPECT_EQ(image.tachographFiles.size(), DriverCardFiles.size() - 2);

    // EF Application identification states the structure that the other EFs' sizes give.
    const Bytes &application = ef(image, 0x0501);
    EXPECT_EQ(application[3], ef(image, 0x0502).size() / 144);
    EXPECT_EQ(application[4], ef(image, 0x0503).size() / 48);
    EXPECT_EQ(u16(application, 5), ef(image, 0x0504).size() - 4);
    EXPECT_EQ(u16(application, 7), (ef(image, 0x0505).size() - 2) / 31);
    EXPECT_EQ(application[9], (ef(image, 0x0506).size() - 1) / 10);
}

INSTANTIATE_TEST_SUITE_P(
        Presets, GeneratedSizes,
        testing::Values(SizeCase{"Default", SizePreset::Default, {}},
                        SizeCase{"Min",
                                 SizePreset::Min,
                                 {{0x0502, 864}, {0x0503, 576}, {0x0504, 5548}, {0x0505, 2606}, {0x0506, 841}}},
                        SizeCase{"Max",
                                 SizePreset::Max,
                                 {{0x0502, 1728}, {0x0503, 1152}, {0x0504, 13780}, {0x0505, 6202}, {0x0506, 1121}}},
                        SizeCase{"Multiple256",
                                 SizePreset::Multiple256,
                                 {{0x0502, 1280}, {0x0503, 768}, {0x0504, 9728}, {0x0505, 4352}, {0x0506, 1024}}}),
        [](const testing::TestParamInfo<SizeCase> &p) { return std::string(p.param.name); });

TEST(CardGenerator, SizeOfOneEfOverridesPresetAndLeavesOthersAlone)
{
    GeneratorOptions options;
    options.preset = SizePreset::Max;
    const CardImage before = generateCard(options);
    options.sizes[0x0503] = 1024;
    const CardImage after = generateCard(options);
    EXPECT_EQ(ef(after, 0x0503).size(), 1024u);
    EXPECT_EQ(ef(after, 0x0504), ef(before, 0x0504));
    EXPECT_EQ(ef(after, 0x0520), ef(before, 0x0520));
}

// Bytes a Czech name may hold: A-Z, space, hyphen and the Windows-1250 capitals with diacritics.
bool isNameByte(std::uint8_t byte)
{
    static const std::set<std::uint8_t> czech{0xC1, 0xC8, 0xCF, 0xC9, 0xCC, 0xCD, 0xD2, 0xD3,
                                              0xD8, 0x8A, 0x8D, 0xDA, 0xD9, 0xDD, 0x8E};
    return (byte >= 'A' && byte <= 'Z') || byte == ' ' || byte == '-' || czech.contains(byte);
}

TEST(CardGenerator, GeneratedNamesAreCzechWindows1250PaddedWithSpaces)
{
    bool diacritics = false;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        GeneratorOptions options;
        options.seed = seed;
        const CardImage image = generateCard(options);
        const Bytes &identification = ef(image, 0x0520);
        ASSERT_EQ(identification.size(), 143u);
        for (const std::size_t codePage : {SurnameCodePageOffset, FirstNamesCodePageOffset})
            EXPECT_EQ(identification[codePage], 0x02);
        for (const std::size_t offset : {SurnameOffset, FirstNamesOffset}) {
            const std::string name = field(identification, offset, NameBytes);
            const auto end = name.find_last_not_of(' ');
            ASSERT_NE(end, std::string::npos) << "empty name, seed " << seed;
            EXPECT_TRUE(std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(end) + 1,
                                    [](char c) { return isNameByte(static_cast<std::uint8_t>(c)); }))
                    << "seed " << seed << ": " << name;
            diacritics = diacritics || std::any_of(name.begin(), name.end(), [](char c) {
                             return static_cast<std::uint8_t>(c) >= 0x80;
                         });
        }
        const std::string number = field(identification, CardNumberOffset, CardNumberBytes);
        EXPECT_TRUE(number.starts_with("CZ")) << number;
        EXPECT_TRUE(std::all_of(number.begin() + 2, number.end(), [](char c) { return c >= '0' && c <= '9'; }))
                << number;
    }
    EXPECT_TRUE(diacritics);
}

struct NameCase
{
    const char *name;
    GeneratorOptions options;
    std::string surname; // the expected 35 bytes, or empty: only the checks below
    std::string firstNames; // likewise
};

void PrintTo(const NameCase &c, std::ostream *out)
{
    *out << c.name;
}

class HolderNames : public testing::TestWithParam<NameCase>
{
};

TEST_P(HolderNames, StandAtTheirOffsets)
{
    const CardImage image = generateCard(GetParam().options);
    const Bytes &identification = ef(image, 0x0520);
    const std::string surname = field(identification, SurnameOffset, NameBytes);
    const std::string firstNames = field(identification, FirstNamesOffset, NameBytes);
    if (!GetParam().surname.empty()) {
        EXPECT_EQ(surname, GetParam().surname);
    }
    if (!GetParam().firstNames.empty()) {
        EXPECT_EQ(firstNames, GetParam().firstNames);
    }
    if (GetParam().options.fullLengthNames) {
        for (const std::string &name : {surname, firstNames}) {
            EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) {
                return isNameByte(static_cast<std::uint8_t>(c));
            })) << name;
            EXPECT_NE(name.back(), ' ') << name;
            EXPECT_NE(name.back(), '-') << name;
        }
    }
    if (GetParam().options.cardNumber) {
        EXPECT_EQ(field(identification, CardNumberOffset, CardNumberBytes), "CZ/../x         ");
    }
}

GeneratorOptions named(std::string surnameUtf8, std::string firstNamesUtf8, bool padWithZero = false)
{
    GeneratorOptions options;
    options.surname = utf8ToWindows1250(surnameUtf8);
    options.firstNames = utf8ToWindows1250(firstNamesUtf8);
    options.padWithZero = padWithZero;
    return options;
}

GeneratorOptions fullLength(std::uint64_t seed)
{
    GeneratorOptions options;
    options.seed = seed;
    options.fullLengthNames = true;
    return options;
}

GeneratorOptions withCardNumber()
{
    GeneratorOptions options;
    options.cardNumber = "CZ/../x";
    return options;
}

INSTANTIATE_TEST_SUITE_P(Options, HolderNames,
                         testing::Values(NameCase{"ExplicitWithSpaces", named("DVOŘÁKOVÁ", "ŽANETA"),
                                                  std::string("DVO\xD8\xC1KOV\xC1") + std::string(26, ' '),
                                                  std::string("\x8E"
                                                              "ANETA")
                                                          + std::string(29, ' ')},
                                         NameCase{"ExplicitWithZeros", named("ČERNÝ", "JIŘÍ PETR", true),
                                                  std::string("\xC8"
                                                              "ERN\xDD")
                                                          + std::string(30, '\0'),
                                                  std::string("JI\xD8\xCD PETR") + std::string(26, '\0')},
                                         NameCase{"ExactlyFull", named("ŠŤASTNÝ-ŠŤASTNÝ-ŠŤASTNÝ-ŠŤASTNÝ-ŠŤA", "A"),
                                                  "\x8A\x8D"
                                                  "ASTN\xDD-\x8A\x8D"
                                                  "ASTN\xDD-\x8A\x8D"
                                                  "ASTN\xDD-\x8A\x8D"
                                                  "ASTN\xDD-\x8A\x8D"
                                                  "A",
                                                  std::string("A") + std::string(34, ' ')},
                                         NameCase{"FullLengthSeed1", fullLength(1), "", ""},
                                         NameCase{"FullLengthSeed2", fullLength(2), "", ""},
                                         NameCase{"FullLengthSeed3", fullLength(3), "", ""},
                                         NameCase{"CardNumberPaddedWithSpaces", withCardNumber(), "", ""}),
                         [](const testing::TestParamInfo<NameCase> &p) { return std::string(p.param.name); });

TEST(CardGenerator, PointersStayInsideTheirFilesAndUnusedRecordsAreZero)
{
    for (const SizePreset preset : {SizePreset::Min, SizePreset::Max, SizePreset::Multiple256}) {
        for (std::uint64_t seed = 1; seed <= 8; ++seed) {
            GeneratorOptions options;
            options.seed = seed;
            options.preset = preset;
            const CardImage image = generateCard(options);
            SCOPED_TRACE("seed " + std::to_string(seed) + " preset " + std::to_string(static_cast<int>(preset)));

            const Bytes &activity = ef(image, 0x0504);
            const std::size_t area = activity.size() - 4;
            const std::size_t oldest = u16(activity, 0);
            const std::size_t newest = u16(activity, 2);
            ASSERT_LT(oldest, area);
            ASSERT_LT(newest, area);
            const std::size_t newestLength = u16(activity, 4 + newest + 2);
            EXPECT_GE(newestLength, 12u);
            EXPECT_LE(newest + newestLength, area);
            EXPECT_TRUE(std::all_of(activity.begin() + static_cast<std::ptrdiff_t>(4 + newest + newestLength),
                                    activity.end(), [](std::uint8_t b) { return b == 0; }));

            const Bytes &vehicles = ef(image, 0x0505);
            const std::size_t vehicleRecords = (vehicles.size() - 2) / 31;
            EXPECT_LT(u16(vehicles, 0), vehicleRecords);
            EXPECT_TRUE(std::all_of(vehicles.end() - 31, vehicles.end(), [](std::uint8_t b) { return b == 0; }));

            const Bytes &places = ef(image, 0x0506);
            EXPECT_LT(places[0], (places.size() - 1) / 10);
            EXPECT_TRUE(std::all_of(places.end() - 10, places.end(), [](std::uint8_t b) { return b == 0; }));
        }
    }
}

TEST(CardGenerator, SameSeedSameCardOtherSeedOtherCard)
{
    GeneratorOptions options;
    options.seed = 42;
    const CardImage first = generateCard(options);
    const CardImage again = generateCard(options);
    EXPECT_EQ(first.masterFiles, again.masterFiles);
    EXPECT_EQ(first.tachographFiles, again.tachographFiles);
    options.seed = 43;
    const CardImage other = generateCard(options);
    EXPECT_NE(ef(first, 0x0520), ef(other, 0x0520));
    EXPECT_NE(ef(first, 0x0504), ef(other, 0x0504));

    const auto key = CardKey::fromSeed(42);
    const auto keyAgain = CardKey::fromSeed(42);
    const auto otherKey = CardKey::fromSeed(43);
    ASSERT_TRUE(key && keyAgain && otherKey);
    EXPECT_EQ(key->modulusHex(), keyAgain->modulusHex());
    EXPECT_NE(key->modulusHex(), otherKey->modulusHex());
    EXPECT_EQ(key->modulusHex().size(), 256u); // 1024 bits
    EXPECT_EQ(key->exponentHex(), "010001");
}

TEST(CardGenerator, DownloadRecordsFollowCardOrderAndVerify)
{
    GeneratorOptions options;
    options.seed = 3;
    const CardImage image = generateCard(options);
    const auto key = CardKey::fromSeed(3);
    ASSERT_TRUE(key);
    const auto records = downloadRecords(image, &*key);

    std::vector<std::uint16_t> dataOrder;
    std::vector<std::uint16_t> signedFiles;
    for (const auto &record : records)
        (record.type == DddRecordType::Data ? dataOrder : signedFiles).push_back(record.fileId);
    std::vector<std::uint16_t> expectedOrder;
    std::vector<std::uint16_t> expectedSigned;
    for (const auto &layout : DriverCardFiles) {
        expectedOrder.push_back(layout.fileId);
        if (layout.isSigned)
            expectedSigned.push_back(layout.fileId);
    }
    EXPECT_EQ(dataOrder, expectedOrder);
    EXPECT_EQ(signedFiles, expectedSigned);
    const DddCheck check = DddFile::verifySignatures(records, key->publicKeyPem());
    EXPECT_TRUE(check.ok) << check.error;
}

} // namespace
