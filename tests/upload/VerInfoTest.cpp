#include "upload/VerInfo.h"
#include "upload/Upload.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const QString ProgramPath = QStringLiteral(KORVAN_PROGRAM_PATH);
const QString NumericFixturePath = QStringLiteral(KORVAN_VERSION_FIXTURE_PATH);
const QString NoBlockPath = QStringLiteral(KORVAN_NO_VERSION_PATH);

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

void put(QByteArray &bytes, qsizetype at, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xFF);
}

// A small 64-bit little-endian ELF file: header, the section-name table, one data section and
// the section headers. Offsets below are those of the fields in the file.
struct TinyElf
{
    static constexpr qsizetype ShOff = 0x28, ShEntSize = 0x3A, ShNum = 0x3C, ShStrNdx = 0x3E;
    QByteArray bytes;
    qsizetype namesHeader = 0; // section header of the name table
    qsizetype dataHeader = 0; // section header of the data section
    qsizetype dataOffset = 0;

    static TinyElf make(const char *sectionName, const QByteArray &data)
    {
        TinyElf elf;
        const QByteArray names = QByteArray("\0.shstrtab\0", 11) + sectionName + '\0';
        QByteArray &b = elf.bytes;
        b = QByteArray(64, '\0');
        b[0] = '\x7f', b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = 2, b[5] = 1, b[6] = 1;
        put(b, 16, 2, 2); // executable
        put(b, 18, 62, 2); // x86-64
        put(b, 20, 1, 4);
        put(b, 52, 64, 2);
        const qsizetype namesOffset = b.size();
        b += names;
        elf.dataOffset = b.size();
        b += data;
        while (b.size() % 8)
            b += '\0';
        const qsizetype table = b.size();
        b += QByteArray(3 * 64, '\0');
        put(b, ShOff, std::uint64_t(table), 8);
        put(b, ShEntSize, 64, 2);
        put(b, ShNum, 3, 2);
        put(b, ShStrNdx, 1, 2);
        elf.namesHeader = table + 64;
        put(b, elf.namesHeader + 0, 1, 4); // name ".shstrtab"
        put(b, elf.namesHeader + 4, 3, 4); // string table
        put(b, elf.namesHeader + 24, std::uint64_t(namesOffset), 8);
        put(b, elf.namesHeader + 32, std::uint64_t(names.size()), 8);
        elf.dataHeader = table + 128;
        put(b, elf.dataHeader + 0, 11, 4); // name
        put(b, elf.dataHeader + 4, 1, 4); // program data
        put(b, elf.dataHeader + 24, std::uint64_t(elf.dataOffset), 8);
        put(b, elf.dataHeader + 32, std::uint64_t(data.size()), 8);
        return elf;
    }
};

QByteArray programBlock()
{
    const std::optional<QByteArray> section = ReadElfSection(ProgramPath, VersionBlockSection);
    return section.value_or(QByteArray());
}

TEST(VersionInfo, TheProgramFile)
{
    const TVersionInfo info(ProgramPath);
    ASSERT_TRUE(info.Loaded());
    EXPECT_EQ(info.Translation(), QStringLiteral("040504E2"));
    EXPECT_EQ(info.StringValue(QStringLiteral("FileVersion")), QStringLiteral("1.1.0.22"));
    EXPECT_EQ(info.StringValue(QStringLiteral("ProductName")), QStringLiteral("Korvan"));
    EXPECT_EQ(info.StringValue(QStringLiteral("NoSuchKey")), QString());
    EXPECT_EQ(info.FixedFileVersion().ms, 0x00010001u);
    EXPECT_EQ(info.FixedFileVersion().ls, 0x00000016u);
    EXPECT_EQ(info.FileVersionText(), QStringLiteral("1.1.0.22"));
    EXPECT_EQ(UploadUserAgent(UploadVersionText(ProgramPath)),
              QStringLiteral("Mozilla/4.0 (compatible; MK Korvan 1.1.0.22)"));
}

TEST(VersionInfo, EmptyFileVersionGivesTheFixedNumbers)
{
    const TVersionInfo info(NumericFixturePath);
    ASSERT_TRUE(info.Loaded());
    EXPECT_EQ(info.StringValue(QStringLiteral("FileVersion")), QString());
    EXPECT_EQ(info.FixedFileVersion().ms, 0x00020003u);
    EXPECT_EQ(info.FixedFileVersion().ls, 0x0028FFFFu);
    EXPECT_EQ(info.FileVersionText(), QStringLiteral("2.3.40.65535"));
}

// Files that hold no readable block: not loaded, every query empty, the user agent's default.
TEST(VersionInfo, FilesWithoutABlock)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray program = readFile(ProgramPath);
    ASSERT_GT(program.size(), 4096);
    QByteArray bigEndian = program;
    bigEndian[5] = 2;
    QByteArray class32 = program;
    class32[4] = 1;
    QByteArray tableFarAway = program;
    put(tableFarAway, TinyElf::ShOff, 0xFFFFFFFFFFFFFF00ull, 8);

    const std::vector<QString> paths{
            NoBlockPath,
            dir.filePath(QStringLiteral("missing")),
            writeFile(dir, QStringLiteral("empty"), {}),
            writeFile(dir, QStringLiteral("text"), "#!/bin/sh\necho hello\n"),
            writeFile(dir, QStringLiteral("magic-only"),
                      "\x7f"
                      "ELF"),
            writeFile(dir, QStringLiteral("head"), program.first(64)),
            writeFile(dir, QStringLiteral("first-4k"), program.first(4096)),
            writeFile(dir, QStringLiteral("cut-tail"), program.first(program.size() - 100)),
            writeFile(dir, QStringLiteral("big-endian"), bigEndian),
            writeFile(dir, QStringLiteral("class32"), class32),
            writeFile(dir, QStringLiteral("table-far-away"), tableFarAway),
    };
    for (const QString &path : paths) {
        const TVersionInfo info(path);
        EXPECT_FALSE(info.Loaded()) << path.toStdString();
        EXPECT_EQ(info.Translation(), QString()) << path.toStdString();
        EXPECT_EQ(info.FileVersionText(), QString()) << path.toStdString();
        EXPECT_EQ(info.FixedFileVersion().ms, 0u) << path.toStdString();
        EXPECT_EQ(UploadVersionText(path), QStringLiteral("unknown version")) << path.toStdString();
    }
}

// Hostile headers in an otherwise well-formed file: each is refused without reading outside the
// file or allocating what the header claims.
TEST(VersionInfo, HostileSectionHeaders)
{
    const QByteArray block = programBlock();
    ASSERT_FALSE(block.isEmpty());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    struct Mutation
    {
        const char *name;
        std::function<void(TinyElf &)> apply;
        bool loads;
    };
    const std::vector<Mutation> mutations{
            {"unchanged", [](TinyElf &) {}, true},
            {"padding after the block",
             [&](TinyElf &e) { put(e.bytes, e.dataHeader + 32, std::uint64_t(block.size() + 8), 8); }, true},
            {"table beyond the end",
             [&](TinyElf &e) { put(e.bytes, TinyElf::ShOff, std::uint64_t(e.bytes.size()), 8); }, false},
            {"table across the end",
             [&](TinyElf &e) { put(e.bytes, TinyElf::ShOff, std::uint64_t(e.bytes.size() - 100), 8); }, false},
            {"odd entry size", [&](TinyElf &e) { put(e.bytes, TinyElf::ShEntSize, 32, 2); }, false},
            {"no sections", [&](TinyElf &e) { put(e.bytes, TinyElf::ShNum, 0, 2); }, false},
            {"name table index out of range", [&](TinyElf &e) { put(e.bytes, TinyElf::ShStrNdx, 3, 2); }, false},
            {"name table huge", [&](TinyElf &e) { put(e.bytes, e.namesHeader + 32, 1ull << 40, 8); }, false},
            {"name beyond the name table", [&](TinyElf &e) { put(e.bytes, e.dataHeader, 0x7FFFFFFF, 4); }, false},
            {"name without its end",
             [&](TinyElf &e) {
                 put(e.bytes, e.namesHeader + 32, 11 + VersionBlockSection.size(), 8); // drops the final zero
             },
             false},
            {"section offset overflows", [&](TinyElf &e) { put(e.bytes, e.dataHeader + 24, ~0ull - 4, 8); }, false},
            {"section size huge", [&](TinyElf &e) { put(e.bytes, e.dataHeader + 32, 1ull << 62, 8); }, false},
            {"section beyond the end",
             [&](TinyElf &e) { put(e.bytes, e.dataHeader + 32, std::uint64_t(e.bytes.size()), 8); }, false},
            {"section without bytes", [&](TinyElf &e) { put(e.bytes, e.dataHeader + 4, 8, 4); }, false},
            {"block larger than its section",
             [&](TinyElf &e) { put(e.bytes, e.dataOffset + 8, std::uint64_t(block.size() + 1), 4); }, false},
            {"key running past the block",
             [&](TinyElf &e) {
                 // The first string's key length: after the header (32), one translation (4),
                 // the table's translation (4) and the string count (2).
                 put(e.bytes, e.dataOffset + 42, 0xFFFF, 2);
             },
             false},
            {"unknown format", [&](TinyElf &e) { put(e.bytes, e.dataOffset + 12, 2, 2); }, false},
    };
    int index = 0;
    for (const Mutation &mutation : mutations) {
        TinyElf elf = TinyElf::make(VersionBlockSection.data(), block + QByteArray(8, '\0'));
        put(elf.bytes, elf.dataHeader + 32, std::uint64_t(block.size()), 8);
        mutation.apply(elf);
        const QString path = writeFile(dir, QString::number(index++), elf.bytes);
        const TVersionInfo info(path);
        EXPECT_EQ(info.Loaded(), mutation.loads) << mutation.name;
        if (mutation.loads) {
            EXPECT_EQ(info.FileVersionText(), QStringLiteral("1.1.0.22")) << mutation.name;
        }
    }
}

TEST(VersionInfo, EveryShortenedBlockIsRefused)
{
    const QByteArray block = programBlock();
    ASSERT_TRUE(ParseVersionBlock(block).has_value());
    for (qsizetype length = 0; length < block.size(); ++length)
        EXPECT_FALSE(ParseVersionBlock(block.first(length)).has_value()) << length;
    // Bytes inside the stated size that belong to nothing mean a block we do not understand.
    QByteArray longer = block + "xx";
    put(longer, 8, std::uint64_t(longer.size()), 4);
    EXPECT_FALSE(ParseVersionBlock(longer).has_value());
}

} // namespace
