#include "tools/vcard/Windows1250.h"

#include <array>
#include <cstdint>

namespace vcard {
namespace {

// Code points of the bytes 0x80..0xFF; 0 where the code page leaves a byte undefined.
constexpr std::array<char16_t, 128> UpperHalf{
        0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039, 0x015A,
        0x0164, 0x017D, 0x0179, 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122,
        0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
        0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
        0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
        0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
        0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
        0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
        0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
        0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// The next code point of text at position, or no value for a malformed sequence.
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t &position)
{
    const auto lead = static_cast<std::uint8_t>(text[position]);
    std::size_t extra = 0;
    char32_t codePoint = 0;
    if (lead < 0x80) {
        codePoint = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        codePoint = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (text.size() - position - 1 < extra)
        return std::nullopt;
    for (std::size_t i = 1; i <= extra; ++i) {
        const auto byte = static_cast<std::uint8_t>(text[position + i]);
        if ((byte & 0xC0) != 0x80)
            return std::nullopt;
        codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    // Overlong forms would let two spellings of one name give different bytes.
    static constexpr std::array<char32_t, 4> smallest{0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[extra] || codePoint > 0x10FFFF)
        return std::nullopt;
    position += extra + 1;
    return codePoint;
}

} // namespace

std::optional<std::string> utf8ToWindows1250(std::string_view utf8)
{
    std::string bytes;
    std::size_t position = 0;
    while (position < utf8.size()) {
        const auto codePoint = decodeUtf8(utf8, position);
        if (!codePoint)
            return std::nullopt;
        if (*codePoint < 0x80) {
            bytes.push_back(static_cast<char>(*codePoint));
            continue;
        }
        std::optional<std::size_t> found;
        for (std::size_t i = 0; i < UpperHalf.size(); ++i) {
            if (UpperHalf[i] != 0 && UpperHalf[i] == *codePoint) {
                found = i;
                break;
            }
        }
        if (!found)
            return std::nullopt;
        bytes.push_back(static_cast<char>(0x80 + *found));
    }
    return bytes;
}

} // namespace vcard
