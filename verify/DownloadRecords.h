#pragma once

// The records of a download file: file identifier (2 bytes, big-endian), type (1 byte), length
// (2 bytes, big-endian) and content. Types 0 and 1 are the data and signature of a file of the
// first-generation application (and the card's common files), 2 and 3 those of the
// second-generation application.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace DownloadRecords {

struct Record
{
    std::uint16_t fileId;
    std::uint8_t type;
    std::span<const std::uint8_t> content;
    std::size_t offset; // of the record's header in the file
};

inline constexpr std::size_t HeaderSize = 5;
inline constexpr std::uint8_t FirstData = 0x00;
inline constexpr std::uint8_t FirstSignature = 0x01;
inline constexpr std::uint8_t SecondData = 0x02;
inline constexpr std::uint8_t SecondSignature = 0x03;

// Every record of the file, or nothing and the reason in `problem` when a record is cut off, has
// an unknown type or the reserved length 'FFFF'.
std::optional<std::vector<Record>> read(std::span<const std::uint8_t> file, std::string &problem);

} // namespace DownloadRecords
