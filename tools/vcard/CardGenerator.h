#pragma once

// A plausible Gen1 driver card made from a seed: the same options give the same bytes.

#include "tools/vcard/CardImage.h"
#include "tools/vcard/EcKey.h"
#include "tools/vcard/TestPki.h"

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

struct SecondGenerationEf
{
    std::uint16_t fileId;
    const char *name;
    std::size_t size; // the regulation fixes every size of this application's EFs
    bool version2Only;
    bool downloaded; // a download holds it: all but EF Card_Download, EF VU_Configuration and EF CardMA_Certificate
    bool isSigned;
};

// The EFs of the DF Tachograph_G2 of a driver card, in the order of the card's file table, with
// the certificates a download reads first marked unsigned.
inline constexpr std::array<SecondGenerationEf, 25> SecondGenerationFiles{{
        {0x0501, "Application identification", 17, false, true, true},
        {0xC100, "CardMA certificate", 0, false, false, false},
        {0xC101, "CardSign certificate", 0, false, true, false},
        {0xC108, "CA certificate", 0, false, true, false},
        {0xC109, "Link certificate", 0, false, true, false},
        {0x0520, "Identification", 143, false, true, true},
        {0x050E, "Card download", 4, false, false, false},
        {0x0521, "Driving licence information", 53, false, true, true},
        {0x0502, "Events", 3168, false, true, true},
        {0x0503, "Faults", 1152, false, true, true},
        {0x0504, "Driver activity", 13780, false, true, true},
        {0x0505, "Vehicles used", 9602, false, true, true},
        {0x0506, "Places", 2354, false, true, true},
        {0x0507, "Current usage", 19, false, true, true},
        {0x0508, "Control activity", 46, false, true, true},
        {0x0522, "Specific conditions", 562, false, true, true},
        {0x0523, "Vehicle units used", 2002, false, true, true},
        {0x0524, "GNSS places", 6050, false, true, true},
        {0x0525, "Application identification V2", 10, true, true, true},
        {0x0526, "Places authentication", 562, true, true, true},
        {0x0527, "GNSS places authentication", 1682, true, true, true},
        {0x0528, "Border crossings", 19042, true, true, true},
        {0x0529, "Load/unload operations", 32482, true, true, true},
        {0x0530, "Load type entries", 1682, true, true, true},
        {0x0540, "VU configuration", 3072, true, false, false},
}};

// The size of an EF of the DF Tachograph_G2 without a link certificate: the smallest a
// certificate EF has, all zero.
inline constexpr std::size_t EmptyCertificateEfSize = 204;

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
    int generation = 1;
    int secondGenerationVersion = 2; // 1 or 2, on a second-generation card
    EcCurve cardCurve = EcCurve::BrainpoolP256r1;
    CertificateChain chain = CertificateChain::FirstRoot;
};

inline constexpr std::size_t NameBytes = 35;
inline constexpr std::size_t CardNumberBytes = 16;

// Offsets of the holder's names in EF Identification (0520): a code-page byte, then 35 bytes.
inline constexpr std::size_t SurnameCodePageOffset = 65;
inline constexpr std::size_t SurnameOffset = 66;
inline constexpr std::size_t FirstNamesCodePageOffset = 101;
inline constexpr std::size_t FirstNamesOffset = 102;
inline constexpr std::size_t CardNumberOffset = 1;

// The second-generation card's signing key: from the seed and the curve. No value when OpenSSL
// fails.
std::optional<EcKey> secondGenerationCardKey(const GeneratorOptions &options);

// An empty image when the second-generation key or certificates cannot be made.
CardImage generateCard(const GeneratorOptions &options);

} // namespace vcard
