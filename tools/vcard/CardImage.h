#pragma once

// What a simulated card holds: the EFs of the master file, of the DF Tachograph and, on a
// second-generation card, of the DF Tachograph_G2, and, for a card replayed from a download file,
// the signatures recorded there.

#include "support/DddFile.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vcard {

class CardKey;
class EcKey;

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t EfIcc = 0x0002;
inline constexpr std::uint16_t EfIc = 0x0005;
inline constexpr std::uint16_t EfCardDownload = 0x050E;
inline constexpr std::uint16_t EfApplicationIdentification = 0x0501;
inline constexpr std::uint16_t EfCardSignCertificate = 0xC101;
inline constexpr std::uint16_t EfVuConfiguration = 0x0540;

// READ BINARY addresses at most 15 bits of offset: anything beyond could never be read.
inline constexpr std::size_t MaxEfSize = 0x7FFF;

struct CardImage
{
    struct DownloadEntry
    {
        std::uint16_t fileId = 0;
        bool isSigned = false; // followed by a signature record in a download
        bool secondGeneration = false; // an EF of the DF Tachograph_G2
    };

    std::map<std::uint16_t, Bytes> masterFiles;
    std::map<std::uint16_t, Bytes> tachographFiles;
    std::map<std::uint16_t, Bytes> secondGenerationFiles; // empty on a first-generation card
    // Replay only: what PSO returns for an EF. A replayed card has no key of its own, so PSO for an
    // EF without a recorded signature fails as a card without a hash does (6985).
    std::map<std::uint16_t, Bytes> recordedSignatures;
    std::map<std::uint16_t, Bytes> recordedSecondGenerationSignatures;
    bool replayed = false;
    std::vector<DownloadEntry> downloadOrder;

    static bool isMasterFile(std::uint16_t fileId) { return fileId == EfIcc || fileId == EfIc; }
    const Bytes *file(std::uint16_t fileId) const; // master file or DF Tachograph
    const Bytes *secondGenerationFile(std::uint16_t fileId) const;
    bool hasSecondGeneration() const { return !secondGenerationFiles.empty(); }
};

struct CardImageLoad
{
    bool ok = false;
    std::string error;
    CardImage image;
};

// A download file as card contents: data records become EFs (0002 and 0005 in the master file,
// the rest in the DF Tachograph), signature records the answers to PSO.
CardImageLoad loadCardImage(std::span<const std::uint8_t> downloadFile);

// The signature the card answers for an EF whose hash is given: the recorded one when replaying,
// else one made with the key. No value when there is none.
std::optional<Bytes> cardSignature(const CardImage &image, const CardKey *key, std::uint16_t fileId,
                                   const std::array<std::uint8_t, 20> &hash);
std::optional<Bytes> secondGenerationSignature(const CardImage &image, const EcKey *key, std::uint16_t fileId,
                                               std::span<const std::uint8_t> hash);

// The records of a correct download of this card, in download order; faults do not apply. Empty
// when a signature cannot be made.
std::vector<DddRecord> downloadRecords(const CardImage &image, const CardKey *key,
                                       const EcKey *secondGenerationKey = nullptr);

} // namespace vcard
