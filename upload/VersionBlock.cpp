#include "upload/VersionBlock.h"

#include <QFile>

#include <array>
#include <cstring>
#include <limits>

namespace {

// Reads little-endian numbers and byte runs; after the first read past the end every further
// read fails too, so a caller may check once at the end.
class Cursor
{
public:
    explicit Cursor(QByteArrayView bytes)
        : bytes_(bytes)
    { }

    bool ok() const { return ok_; }
    std::size_t position() const { return position_; }

    std::uint64_t number(std::size_t width)
    {
        if (!take(width))
            return 0;
        std::uint64_t value = 0;
        for (std::size_t i = width; i-- > 0;)
            value = (value << 8) | std::uint8_t(bytes_[qsizetype(position_ - width + i)]);
        return value;
    }
    std::uint16_t u16() { return std::uint16_t(number(2)); }
    std::uint32_t u32() { return std::uint32_t(number(4)); }
    std::uint64_t u64() { return number(8); }

    std::string text(std::size_t length)
    {
        if (!take(length))
            return {};
        return std::string(bytes_.data() + (position_ - length), length);
    }

private:
    bool take(std::size_t length)
    {
        if (!ok_ || length > std::size_t(bytes_.size()) - position_) {
            ok_ = false;
            return false;
        }
        position_ += length;
        return true;
    }

    QByteArrayView bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

constexpr std::string_view BlockMagic = "KORVANVB";
constexpr std::uint16_t BlockFormat = 1;

// Whether [offset, offset + size) lies inside a file of fileSize bytes, without overflow.
bool insideFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize)
{
    return offset <= fileSize && size <= fileSize - offset;
}

std::optional<QByteArray> readAt(QFile &file, std::uint64_t offset, std::uint64_t size)
{
    if (offset > std::uint64_t(std::numeric_limits<qint64>::max()) || !file.seek(qint64(offset)))
        return std::nullopt;
    QByteArray bytes = file.read(qint64(size));
    if (std::uint64_t(bytes.size()) != size)
        return std::nullopt;
    return bytes;
}

struct SectionHeader
{
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

constexpr std::size_t ElfHeaderSize = 64;
constexpr std::size_t SectionHeaderSize = 64;
constexpr std::uint32_t SectionTypeNoBits = 8;
// Section names are short; a string table larger than this is not one we trust.
constexpr std::uint64_t MaxSectionNamesSize = 1024 * 1024;

SectionHeader sectionHeaderAt(QByteArrayView table, std::size_t index)
{
    Cursor cursor(table.sliced(qsizetype(index * SectionHeaderSize), qsizetype(SectionHeaderSize)));
    SectionHeader header;
    header.name = cursor.u32();
    header.type = cursor.u32();
    cursor.u64(); // flags
    cursor.u64(); // address
    header.offset = cursor.u64();
    header.size = cursor.u64();
    return header;
}

} // namespace

std::optional<QByteArray> ReadElfSection(const QString &fileName, std::string_view sectionName, std::size_t maxSize)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::uint64_t fileSize = std::uint64_t(file.size());
    const std::optional<QByteArray> elfHeader = readAt(file, 0, ElfHeaderSize);
    if (!elfHeader)
        return std::nullopt;
    static constexpr std::array<char, 4> Magic{'\x7f', 'E', 'L', 'F'};
    constexpr char Class64 = 2;
    constexpr char LittleEndian = 1;
    if (std::memcmp(elfHeader->constData(), Magic.data(), Magic.size()) != 0 || elfHeader->at(4) != Class64
        || elfHeader->at(5) != LittleEndian)
        return std::nullopt;

    Cursor header(*elfHeader);
    header.text(0x28);
    const std::uint64_t tableOffset = header.u64();
    header.text(0x3A - 0x30);
    const std::uint16_t entrySize = header.u16();
    const std::uint16_t count = header.u16();
    const std::uint16_t namesIndex = header.u16();
    // A count of 0 or an escaped string-table index mean the numbers live elsewhere; our own
    // executables never need that, so such files are simply not ours.
    if (!header.ok() || entrySize != SectionHeaderSize || count == 0 || namesIndex >= count)
        return std::nullopt;
    const std::uint64_t tableSize = std::uint64_t(count) * SectionHeaderSize;
    if (!insideFile(tableOffset, tableSize, fileSize))
        return std::nullopt;
    const std::optional<QByteArray> table = readAt(file, tableOffset, tableSize);
    if (!table)
        return std::nullopt;

    const SectionHeader namesHeader = sectionHeaderAt(*table, namesIndex);
    if (namesHeader.type == SectionTypeNoBits || namesHeader.size > MaxSectionNamesSize
        || !insideFile(namesHeader.offset, namesHeader.size, fileSize))
        return std::nullopt;
    const std::optional<QByteArray> names = readAt(file, namesHeader.offset, namesHeader.size);
    if (!names)
        return std::nullopt;

    for (std::size_t index = 0; index < count; ++index) {
        const SectionHeader section = sectionHeaderAt(*table, index);
        if (section.name >= std::uint64_t(names->size()))
            continue;
        const char *name = names->constData() + section.name;
        const std::size_t room = std::size_t(names->size()) - section.name;
        const void *end = std::memchr(name, '\0', room);
        if (!end || std::string_view(name, std::size_t(static_cast<const char *>(end) - name)) != sectionName)
            continue;
        if (section.type == SectionTypeNoBits || section.size > maxSize
            || !insideFile(section.offset, section.size, fileSize))
            return std::nullopt;
        return readAt(file, section.offset, section.size);
    }
    return std::nullopt;
}

std::optional<VersionBlock> ParseVersionBlock(QByteArrayView bytes)
{
    Cursor cursor(bytes);
    if (cursor.text(BlockMagic.size()) != BlockMagic)
        return std::nullopt;
    const std::uint32_t blockSize = cursor.u32();
    const std::uint16_t format = cursor.u16();
    if (!cursor.ok() || format != BlockFormat || blockSize > std::uint64_t(bytes.size()))
        return std::nullopt;

    // From here on only the block's own bytes count; padding after it is not read.
    Cursor body(bytes.first(qsizetype(blockSize)));
    body.text(BlockMagic.size() + 4 + 2);
    const std::uint16_t translationCount = body.u16();
    VersionBlock block;
    block.fileVersionMS = body.u32();
    block.fileVersionLS = body.u32();
    block.productVersionMS = body.u32();
    block.productVersionLS = body.u32();
    for (std::uint16_t i = 0; i < translationCount && body.ok(); ++i) {
        VersionTranslation translation;
        translation.language = body.u16();
        translation.codePage = body.u16();
        block.translations.push_back(translation);
    }
    block.stringTableTranslation.language = body.u16();
    block.stringTableTranslation.codePage = body.u16();
    const std::uint16_t stringCount = body.u16();
    for (std::uint16_t i = 0; i < stringCount && body.ok(); ++i) {
        std::string key = body.text(body.u16());
        std::string value = body.text(body.u16());
        block.strings.emplace_back(std::move(key), std::move(value));
    }
    if (!body.ok() || body.position() != blockSize)
        return std::nullopt;
    return block;
}
