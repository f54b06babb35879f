// Names typed as UTF-8 must reach the card as the Windows-1250 bytes the program decodes.

#include "tools/vcard/Windows1250.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <array>

using vcard::utf8ToWindows1250;

namespace {

TEST(Windows1250, CzechLettersAndRejects)
{
    EXPECT_EQ(utf8ToWindows1250("Žluťoučký kůň ÚPĚL ĎÁBELSKÉ ÓDY"),
              "\x8Elu\x9Dou\xE8k\xFD k\xF9\xF2 \xDAP\xCCL \xCF\xC1"
              "BELSK\xC9 \xD3"
              "DY");
    EXPECT_EQ(utf8ToWindows1250("ŠŤŽšťž"), "\x8A\x8D\x8E\x9A\x9D\x9E"); // differ from ISO-8859-2
    EXPECT_EQ(utf8ToWindows1250(""), "");
    for (const char *rejected : {"日本", "€\xE2\x82", "\xC3", "\xC0\xAF", "\xED\xA0\x80x\xFF", "\xF8\x88\x80\x80\x80"})
        EXPECT_FALSE(utf8ToWindows1250(rejected)) << rejected;
}

// Every character of the code page, decoded by the C library and encoded back by our table.
TEST(Windows1250, TableAgreesWithTheCLibrary)
{
    iconv_t decoder = iconv_open("UTF-8", "CP1250");
    if (decoder == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "the C library has no CP1250 converter";
    int checked = 0;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char in = static_cast<char>(byte);
        std::array<char, 8> out{};
        char *inPointer = &in;
        char *outPointer = out.data();
        std::size_t inLeft = 1;
        std::size_t outLeft = out.size();
        iconv(decoder, nullptr, nullptr, nullptr, nullptr);
        if (iconv(decoder, &inPointer, &inLeft, &outPointer, &outLeft) == static_cast<std::size_t>(-1))
            continue; // a byte the code page leaves undefined
        const std::string utf8(out.data(), out.size() - outLeft);
        EXPECT_EQ(utf8ToWindows1250(utf8), std::string(1, in)) << "byte " << byte;
        ++checked;
    }
    iconv_close(decoder);
    EXPECT_EQ(checked, 123); // 128 less the five undefined bytes
}

} // namespace
