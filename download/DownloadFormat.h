#pragma once

// The download file: a plain sequence of records, each the EF's file identifier (big-endian), a
// type byte (0 data, 1 signature), a big-endian 16-bit length and the content.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace DownloadFormat {

inline constexpr std::size_t DownloadCapacity = 65536;
inline constexpr std::size_t FileCapacity = 32768;
inline constexpr std::size_t RecordHeaderSize = 5;
inline constexpr std::size_t SignatureSize = 128;

inline constexpr std::uint8_t DataRecord = 0x00;
inline constexpr std::uint8_t SignatureRecord = 0x01;

inline constexpr std::uint16_t IdentificationFileId = 0x0520;

// Offsets in EF Identification of a driver card.
inline constexpr std::size_t CardNumberOffset = 1;
inline constexpr std::size_t CardNumberSize = 16;
inline constexpr std::size_t SurnameOffset = 66;
inline constexpr std::size_t FirstNamesOffset = 102;
inline constexpr std::size_t NameSize = 35;

// The card-specific part of the file name: first initial, "_", surname, "_", card number, taken
// from the bytes of EF Identification that were read (missing bytes count as zero). Bytes that
// have no place in a file name or a header line become "_".
QByteArray buildFileNamePart(const std::uint8_t *identification, std::size_t count);

// First names, a space and the surname, each up to its first zero byte and without the spaces that
// fill it to its end, as Windows-1250 text.
QString holderName(const std::uint8_t *identification, std::size_t count);

// "C_" + yyyymmdd_hhnn + "_" + the card part + ".ddd".
QString downloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart);

// The name of a download that lacks a file: the complete form followed by ".neuplne", so that
// neither a person nor a program that takes up ".ddd" files can take it for a complete download.
QString incompleteDownloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart);

} // namespace DownloadFormat
