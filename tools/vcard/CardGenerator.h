#pragma once

// A plausible Gen1 driver card made from a seed: the same options give the same bytes.

#include "tools/vcard/CardImage.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vcard {

struct EfLayout
{
    std::uint16_t fileId;
    const char *name;
    std::size_t minSize;
    std::size_t maxSize;
    std::size_t defaultSize;
    bool isSigned; // a download follows it with a signature record
};

// The files of a Gen1 driver card in download order, with their size ranges.
inline constexpr std::array<EfLayout, 16> DriverCardFiles{{
        {0x0002, "ICC", 25, 25, 25, false},
        {0x0005, "IC", 8, 8, 8, false},
        {0xC100, "Card certificate", 194, 194, 194, false},
        {0xC108, "CA certificate", 194, 194, 194, false},
        {0x0501, "Application identification", 10, 10, 10, true},
        {0x0520, "Identification", 143, 143, 143, true},
        {0x050E, "Card download", 4, 4, 4, true},
        {0x0521, "Driving licence information", 53, 53, 53, true},
        {0x0502, "Events", 864, 1728, 1296, true},
        {0x0503, "Faults", 576, 1152, 864, true},
        {0x0504, "Driver activity", 5548, 13780, 9660, true},
        {0x0505, "Vehicles used", 2606, 6202, 4404, true},
        {0x0506, "Places", 841, 1121, 981, true},
        {0x0507, "Current usage", 19, 19, 19, true},
        {0x0508, "Control activity", 46, 46, 46, true},
        {0x0522, "Specific conditions", 280, 280, 280, true},
}};

const EfLayout *findEfLayout(std::uint16_t fileId);

enum class SizePreset { Default, Min, Max, Multiple256 };

// Multiple256 takes the multiple of 256 within the EF's range nearest to its default size, so
// that a read loop meets the end of the file exactly at a 256-byte boundary; fixed-size EFs keep
// their size.
std::size_t presetSize(const EfLayout &layout, SizePreset preset);

struct GeneratorOptions
{
    std::uint64_t seed = 1;
    SizePreset preset = SizePreset::Default;
    std::map<std::uint16_t, std::size_t> sizes; // per EF, over the preset
    std::optional<std::string> surname; // Windows-1250 bytes, at most 35
    std::optional<std::string> firstNames; // Windows-1250 bytes, at most 35
    std::optional<std::string> cardNumber; // printable ASCII, at most 16
    bool padWithZero = false; // names padded with 00 instead of spaces
    bool fullLengthNames = false; // generated names fill all 35 bytes
};

inline constexpr std::size_t NameBytes = 35;
inline constexpr std::size_t CardNumberBytes = 16;

// Offsets of the holder's names in EF Identification (0520): a code-page byte, then 35 bytes.
inline constexpr std::size_t SurnameCodePageOffset = 65;
inline constexpr std::size_t SurnameOffset = 66;
inline constexpr std::size_t FirstNamesCodePageOffset = 101;
inline constexpr std::size_t FirstNamesOffset = 102;
inline constexpr std::size_t CardNumberOffset = 1;

CardImage generateCard(const GeneratorOptions &options);

} // namespace vcard
