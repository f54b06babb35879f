#pragma once

// The download file: a plain sequence of records, each the EF's file identifier (big-endian), a
// type byte (0 data, 1 signature), a big-endian 16-bit length and the content.

#include "cardmodel/IdentificationFields.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace DownloadFormat {

// A second-generation card of version 2 with every file at its largest gives about 123 KB of
// download; room to spare beyond that.
inline constexpr std::size_t DownloadCapacity = 256 * 1024;
// The largest length a record can state: FF FF is reserved.
inline constexpr std::size_t FileCapacity = 0xFFFE;
inline constexpr std::size_t RecordHeaderSize = 5;
inline constexpr std::size_t SignatureSize = 128;

// Record types: the first-generation application's data and signatures, then the second's.
inline constexpr std::uint8_t DataRecord = 0x00;
inline constexpr std::uint8_t SignatureRecord = 0x01;
inline constexpr std::uint8_t SecondGenerationDataRecord = 0x02;
inline constexpr std::uint8_t SecondGenerationSignatureRecord = 0x03;

// The card-specific part of the file name: first initial, "_", surname, "_", card number, taken
// from the bytes of EF Identification that were read (missing bytes count as zero). Bytes that
// have no place in a file name or a header line become "_".
QByteArray buildFileNamePart(const std::uint8_t *identification, std::size_t count);

// A field of EF Identification up to its first zero byte and without the spaces that fill it to
// its end, as Windows-1250 text.
QString identificationText(const std::uint8_t *identification, std::size_t count, IdentificationFields::Field field);

// First names, a space and the surname, each as identificationText gives it.
QString holderName(const std::uint8_t *identification, std::size_t count);

// "C_" + yyyymmdd_hhnn + "_" + the card part + ".ddd". A number above 1 names a further download
// of the card in the same minute: "_" and the number come before ".ddd", so that the name still
// begins as programs that read these names expect.
QString downloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart, int number = 1);

// The name of a download that lacks a file: the complete form followed by ".neuplne", so that
// neither a person nor a program that takes up ".ddd" files can take it for a complete download.
QString incompleteDownloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart, int number = 1);

} // namespace DownloadFormat
