#pragma once

// The program's version block: a small binary record that the build places in a section of its
// own in the executable (see VersionBlock.cmake, which writes it) and that TVersionInfo reads
// back from the program file.
//
// Layout, all numbers little-endian:
//   "KORVANVB"                      8 bytes
//   u32 block size                  the whole block, this header included
//   u16 format                      1
//   u16 translation count
//   u32 file version, high half     major << 16 | minor
//   u32 file version, low half      release << 16 | build
//   u32 product version, high half
//   u32 product version, low half
//   translation count x (u16 language, u16 code page)
//   u16 language, u16 code page     the translation the string table belongs to
//   u16 string count
//   string count x (u16 key length, key bytes, u16 value length, value bytes)   UTF-8 texts
// Nothing may follow the last string within the block size; the section may be padded after it.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr std::string_view VersionBlockSection = ".korvan_version";

struct VersionTranslation
{
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
    bool operator==(const VersionTranslation &) const = default;
};

struct VersionBlock
{
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
    std::vector<VersionTranslation> translations;
    VersionTranslation stringTableTranslation;
    std::vector<std::pair<std::string, std::string>> strings; // key, value as stored
};

// The contents of the named section of a 64-bit little-endian ELF file. Anything else, or a
// file whose headers point outside it, gives nothing. Sections larger than maxSize are refused
// so that a hostile file cannot make us allocate much.
std::optional<QByteArray> ReadElfSection(const QString &fileName, std::string_view sectionName,
                                         std::size_t maxSize = 64 * 1024);

// The block at the start of bytes, when it is complete and well formed.
std::optional<VersionBlock> ParseVersionBlock(QByteArrayView bytes);
