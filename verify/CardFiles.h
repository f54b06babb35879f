#pragma once

// The elementary files a card download holds, for both applications: their titles in the log,
// whether the card signs them when downloaded, and when a driver card's download must hold them.
// The one table of file identifiers and titles.

#include <cstdint>
#include <span>
#include <string>

namespace CardFiles {

inline constexpr std::uint16_t Icc = 0x0002;
inline constexpr std::uint16_t Ic = 0x0005;
inline constexpr std::uint16_t ApplicationIdentification = 0x0501;
inline constexpr std::uint16_t CardCertificate = 0xC100; // first generation
inline constexpr std::uint16_t CardSignCertificate = 0xC101;
inline constexpr std::uint16_t CaCertificate = 0xC108;
inline constexpr std::uint16_t LinkCertificate = 0xC109;

enum class Required {
    Never,
    Always, // in every download of the application
    DriverCard, // in a driver card's download
    Version2, // in every download of a version 2 card
    DriverCardVersion2, // in a version 2 driver card's download
};

struct CardFile
{
    std::uint16_t fileId;
    const char *title;
    bool isSigned; // the card signs it when downloaded; others may still carry a signature
    Required required;
};

// The file of the application (1 or 2), or null for a file identifier that is not in the table.
const CardFile *find(std::uint16_t fileId, int generation);

// "Events Data", "Events Data G2"; "EF 0509" for a file that is not in the table.
std::string title(std::uint16_t fileId, int generation);

// Every file of the application, in the table's order.
std::span<const CardFile> files(int generation);

} // namespace CardFiles
