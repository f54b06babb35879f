// The command line: what it accepts, and clear errors for the rest.

#include "tools/vcard/VcardOptions.h"

#include <gtest/gtest.h>

using namespace vcard;

namespace {

struct BadLine
{
    std::vector<std::string> arguments;
    std::string errorMentions;
};

void PrintTo(const BadLine &line, std::ostream *out)
{
    for (const auto &argument : line.arguments)
        *out << argument << ' ';
}

class RejectedCommandLine : public testing::TestWithParam<BadLine>
{
};

TEST_P(RejectedCommandLine, SaysWhy)
{
    const auto result = parseVcardOptions(GetParam().arguments);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(GetParam().errorMentions), std::string::npos) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
        Options, RejectedCommandLine,
        testing::Values(BadLine{{"--bogus"}, "--bogus"}, BadLine{{"--port"}, "needs a value"},
                        BadLine{{"--port", "0"}, "--port"}, BadLine{{"--port", "65536"}, "--port"},
                        BadLine{{"--port", "12x"}, "--port"}, BadLine{{"--removed=1"}, "takes no value"},
                        BadLine{{"--size", "0503"}, "--size"}, BadLine{{"--size", "9999=10"}, "--size"},
                        BadLine{{"--size", "0503=32768"}, "--size"}, BadLine{{"--sizes", "huge"}, "--sizes"},
                        BadLine{{"--status", "B0=65"}, "--status"}, BadLine{{"--status", "ZZ=6581"}, "--status"},
                        BadLine{{"--status", "B0:504=6581"}, "--status"},
                        BadLine{{"--surname", std::string(36, 'A')}, "35"},
                        BadLine{{"--surname", "ŠŤASTNÝ-ŠŤASTNÝ-ŠŤASTNÝ-ŠŤASTNÝ-ŠŤAS"}, "36 bytes"},
                        BadLine{{"--first-names", "日本"}, "Windows-1250"},
                        BadLine{{"--card-number", "CZ0000000000000000"}, "--card-number"},
                        BadLine{{"--card-number", "CZ\x01"}, "--card-number"},
                        BadLine{{"--signature-length", "257"}, "--signature-length"},
                        BadLine{{"--baud", "0"}, "--baud"}, BadLine{{"--load", "a.ddd", "--seed", "2"}, "--load"}));

TEST(VcardOptions, AcceptsBothSpellingsAndConvertsNames)
{
    const auto result = parseVcardOptions({"--port=36000", "--size", "0503=768", "--size=0504=13780", "--status",
                                           "B0:0504=6581", "--status=002A=6985", "--surname", "ČERNÝ", "--remove-after",
                                           "12", "--sizes", "multiple256", "--removed"});
    ASSERT_TRUE(result.ok) << result.error;
    const VcardConfig &config = result.config;
    EXPECT_EQ(config.port, 36000);
    EXPECT_EQ(config.generator.sizes.at(0x0503), 768u);
    EXPECT_EQ(config.generator.sizes.at(0x0504), 13780u);
    EXPECT_EQ(config.generator.preset, SizePreset::Multiple256);
    EXPECT_EQ(config.generator.surname,
              "\xC8"
              "ERN\xDD");
    EXPECT_EQ(config.removeAfter, 12u);
    EXPECT_TRUE(config.startRemoved);
    ASSERT_EQ(config.faults.statusOverrides.size(), 2u);
    const StatusOverride &read = config.faults.statusOverrides[0];
    EXPECT_FALSE(read.cla);
    EXPECT_EQ(read.ins, 0xB0);
    EXPECT_EQ(read.fileId, 0x0504);
    EXPECT_EQ(read.statusWord, 0x6581);
    const StatusOverride &pso = config.faults.statusOverrides[1];
    EXPECT_EQ(pso.cla, 0x00);
    EXPECT_EQ(pso.ins, 0x2A);
    EXPECT_FALSE(pso.fileId);
    EXPECT_EQ(pso.statusWord, 0x6985);
}

} // namespace
