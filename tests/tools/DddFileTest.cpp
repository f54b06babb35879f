// The download-file checker, and the simulated card's replay of download files.

#include "support/DddFile.h"
#include "tools/vcard/CardImage.h"
#include "tools/vcard/CardKey.h"

#include <gtest/gtest.h>

using vcard::Bytes;

namespace {

Bytes record(std::uint16_t fileId, std::uint8_t type, std::size_t length, std::uint8_t fill = 0xAB)
{
    Bytes bytes{static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId & 0xFF), type,
                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
    bytes.insert(bytes.end(), length, fill);
    return bytes;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes bytes;
    for (const auto &part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

Bytes cut(Bytes bytes, std::size_t less)
{
    bytes.resize(bytes.size() - less);
    return bytes;
}

struct Malformed
{
    const char *name;
    Bytes bytes;
    std::size_t errorOffset;
};

void PrintTo(const Malformed &c, std::ostream *out)
{
    *out << c.name;
}

class MalformedDownload : public testing::TestWithParam<Malformed>
{
};

TEST_P(MalformedDownload, IsAnErrorAtItsOffset)
{
    const auto result = DddFile::parse(GetParam().bytes);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.error.empty());
    EXPECT_TRUE(result.records.empty());
    EXPECT_EQ(result.errorOffset, GetParam().errorOffset);
}

const Bytes Icc = record(0x0002, 0, 25);
const Bytes Identification = record(0x0520, 0, 143);
const Bytes IdentificationSignature = record(0x0520, 1, 128);

INSTANTIATE_TEST_SUITE_P(
        Buffers, MalformedDownload,
        testing::Values(Malformed{"Empty", {}, 0}, Malformed{"HeaderOnlyFour", cut(Icc, 26), 0},
                        Malformed{"DataOneShort", cut(Icc, 1), 0},
                        Malformed{"SecondRecordCut", join({Icc, cut(Identification, 100)}), 30},
                        Malformed{"SignatureCut", join({Icc, Identification, cut(IdentificationSignature, 1)}), 178},
                        Malformed{"OneTrailingByte", join({Icc, Bytes{0x00}}), 30},
                        Malformed{"FourTrailingZeros", join({Icc, Identification, Bytes(4, 0)}), 178},
                        Malformed{"LengthBeyondEnd", join({Icc, Bytes{0x05, 0x04, 0x00, 0xFF, 0xFF, 1, 2, 3}}), 30},
                        Malformed{"UnknownType", join({Icc, record(0x0520, 4, 143)}), 30}),
        [](const testing::TestParamInfo<Malformed> &p) { return std::string(p.param.name); });

TEST(DddFile, ParsesAndEncodesTheSameBytes)
{
    const Bytes bytes = join({Icc, record(0x0005, 0, 0), Identification, IdentificationSignature});
    const auto result = DddFile::parse(bytes);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.records.size(), 4u);
    EXPECT_EQ(result.records[1].content.size(), 0u);
    EXPECT_EQ(result.records[3].type, DddRecordType::Signature);
    EXPECT_EQ(DddFile::encodedLength(result.records), bytes.size());
    EXPECT_EQ(DddFile::encode(result.records), bytes);
}

struct OrderCase
{
    const char *name;
    std::vector<DddRecord> records;
    bool ok;
};

void PrintTo(const OrderCase &c, std::ostream *out)
{
    *out << c.name;
}

class SignatureOrder : public testing::TestWithParam<OrderCase>
{
};

TEST_P(SignatureOrder, SignatureFollowsItsData)
{
    EXPECT_EQ(DddFile::signaturesFollowData(GetParam().records).ok, GetParam().ok);
}

DddRecord data(std::uint16_t fileId)
{
    return {fileId, DddRecordType::Data, Bytes(4, 1)};
}
DddRecord signature(std::uint16_t fileId)
{
    return {fileId, DddRecordType::Signature, Bytes(128, 2)};
}

INSTANTIATE_TEST_SUITE_P(
        Records, SignatureOrder,
        testing::Values(OrderCase{"InOrder", {data(0x0002), data(0x0501), signature(0x0501), data(0xC100)}, true},
                        OrderCase{"First", {signature(0x0501), data(0x0501)}, false},
                        OrderCase{"AfterOtherEf", {data(0x0501), data(0x0520), signature(0x0501)}, false},
                        OrderCase{"Twice", {data(0x0501), signature(0x0501), signature(0x0501)}, false}),
        [](const testing::TestParamInfo<OrderCase> &p) { return std::string(p.param.name); });

TEST(DddFile, VerifiesSignaturesAndNamesTheBadOne)
{
    const auto key = vcard::CardKey::fromSeed(11);
    const auto otherKey = vcard::CardKey::fromSeed(12);
    ASSERT_TRUE(key && otherKey);
    vcard::CardImage image;
    image.tachographFiles[0x0501] = Bytes(10, 3);
    image.tachographFiles[0x0504] = Bytes(5548, 4);
    image.tachographFiles[0xC100] = Bytes(194, 5);
    image.downloadOrder = {{0x0501, true}, {0xC100, false}, {0x0504, true}};
    auto records = vcard::downloadRecords(image, &*key);
    ASSERT_EQ(records.size(), 5u);

    const DddCheck good = DddFile::verifySignatures(records, key->publicKeyPem());
    EXPECT_TRUE(good.ok) << good.error;
    EXPECT_FALSE(DddFile::verifySignatures(records, otherKey->publicKeyPem()).ok);
    EXPECT_FALSE(DddFile::verifySignatures(records, "not a key").ok);
    EXPECT_FALSE(DddFile::verifySignatures({records[2]}, key->publicKeyPem()).ok); // no signatures

    records[3].content[100] ^= 0x01; // one bit of 0504
    const DddCheck tampered = DddFile::verifySignatures(records, key->publicKeyPem());
    EXPECT_FALSE(tampered.ok);
    EXPECT_NE(tampered.error.find("0504"), std::string::npos) << tampered.error;
}

TEST(CardImageLoad, ReplaysDataAndSignaturesAndGivesTheSameDownloadBack)
{
    const Bytes file = join({Icc, record(0x0005, 0, 8), record(0x0501, 0, 10), record(0x0501, 1, 128, 0x11),
                             record(0xC100, 0, 194), Identification, IdentificationSignature});
    const auto load = vcard::loadCardImage(file);
    ASSERT_TRUE(load.ok) << load.error;
    const auto &image = load.image;
    EXPECT_TRUE(image.masterFiles.contains(0x0002));
    EXPECT_TRUE(image.masterFiles.contains(0x0005));
    EXPECT_EQ(image.tachographFiles.size(), 3u);
    EXPECT_EQ(image.recordedSignatures.at(0x0501), Bytes(128, 0x11));
    EXPECT_FALSE(image.recordedSignatures.contains(0xC100));
    EXPECT_EQ(DddFile::encode(vcard::downloadRecords(image, nullptr)), file);
}

struct BadReplay
{
    const char *name;
    Bytes file;
    std::string errorMentions;
};

void PrintTo(const BadReplay &c, std::ostream *out)
{
    *out << c.name;
}

class BadReplayFile : public testing::TestWithParam<BadReplay>
{
};

TEST_P(BadReplayFile, IsRejected)
{
    const auto load = vcard::loadCardImage(GetParam().file);
    EXPECT_FALSE(load.ok);
    EXPECT_NE(load.error.find(GetParam().errorMentions), std::string::npos) << load.error;
}

INSTANTIATE_TEST_SUITE_P(
        Files, BadReplayFile,
        testing::Values(BadReplay{"Truncated", cut(Icc, 3), "0002"},
                        BadReplay{"SecondData", join({Identification, Identification}), "second data record"},
                        BadReplay{"SecondSignature",
                                  join({Identification, IdentificationSignature, IdentificationSignature}),
                                  "another signature"},
                        BadReplay{"SignatureWithoutData", join({Icc, IdentificationSignature}), "0520"},
                        BadReplay{"TooLargeToRead", record(0x0504, 0, 0x8000), "READ BINARY"}),
        [](const testing::TestParamInfo<BadReplay> &p) { return std::string(p.param.name); });

} // namespace
