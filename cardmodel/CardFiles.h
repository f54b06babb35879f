#pragma once

// The elementary files of both tachograph applications: their titles in the log, whether the card
// signs them when downloaded, when a driver card's download must hold them, and whether and where
// a download run reads them. The one table of file identifiers and titles: the run reads the files
// in the table's order, and the verifier checks a download against the same table.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace CardFiles {

// The applications' names (AID), as a SELECT by name and the certificates' holder authorisations
// carry them: DF Tachograph and DF Tachograph_G2.
inline constexpr std::array<std::uint8_t, 6> FirstGenerationAid{0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
inline constexpr std::array<std::uint8_t, 6> SecondGenerationAid{0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54};

inline constexpr std::uint16_t Icc = 0x0002;
inline constexpr std::uint16_t Ic = 0x0005;
inline constexpr std::uint16_t ApplicationIdentification = 0x0501;
inline constexpr std::uint16_t CardDownload = 0x050E;
inline constexpr std::uint16_t Identification = 0x0520;
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

// Where a download run reads the file.
enum class Read {
    Never,
    MasterFile, // before the application is selected: the card finds it only there
    Application, // inside the application; a failure makes the download incomplete
};

struct CardFile
{
    std::uint16_t fileId;
    const char *title;
    int generation; // the application: 1 or 2
    bool isSigned; // the card signs it when downloaded; others may still carry a signature
    Required required;
    Read read;

    // Only cards of version 2 have it: a run skips it on a card of version 1.
    bool version2Only() const { return required == Required::Version2 || required == Required::DriverCardVersion2; }
    bool isRequired(bool driverCard, bool version2) const;
};

// The file of the application (1 or 2), or null for a file identifier that is not in the table.
const CardFile *find(std::uint16_t fileId, int generation);

// "Events Data", "Events Data G2"; "EF 0509" for a file that is not in the table.
std::string title(std::uint16_t fileId, int generation);

// Every file of the application, in the table's order.
std::span<const CardFile> files(int generation);

// How many files a run reads from the application of a card of that version (1 or 2).
int runFileCount(int generation, int version);

} // namespace CardFiles
