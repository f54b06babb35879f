#include "app/IniFile.h"

#include "SettingsTestSupport.h"

#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using namespace Qt::Literals::StringLiterals;

struct ReadCase
{
    const char *name;
    QByteArray file;
    const char *section;
    const char *key;
    std::optional<QString> expected;
};

TEST(IniFile, ReadsValues)
{
    const QString longValue(3000, u'x');
    const ReadCase cases[] = {
            {"plain", "[Settings]\nCompany=abc\n", "Settings", "Company", u"abc"_s},
            {"letter case ignored", "[sETTINGS]\ncompany=abc\n", "Settings", "COMPANY", u"abc"_s},
            {"blanks around key and value", "  [ Settings ]\n\t Company \t=  a b \n", "Settings", "Company", u"a b"_s},
            {"comma is a character", "[Settings]\nFilePath=/home/u/a, b\n", "Settings", "FilePath", u"/home/u/a, b"_s},
            {"quotes keep blanks", "[Settings]\nFilePath=\"  a \"\n", "Settings", "FilePath", u"  a "_s},
            {"one pair of quotes stripped", "[S]\nk=\"\"x\"\"\n", "S", "k", u"\"x\""_s},
            {"lone quote kept", "[S]\nk=\"\n", "S", "k", u"\""_s},
            {"equals sign in value", "[S]\nk=a=b\n", "S", "k", u"a=b"_s},
            {"empty value is present", "[S]\nk=\n", "S", "k", u""_s},
            {"missing key", "[S]\nother=1\n", "S", "k", std::nullopt},
            {"key of another section", "[A]\nk=1\n[S]\n", "S", "k", std::nullopt},
            {"key before any section", "k=1\n[S]\n", "S", "k", std::nullopt},
            {"no sections at all", "k=1\nj=2\n", "S", "k", std::nullopt},
            {"first match wins", "[S]\nk=1\nk=2\n[S]\nk=3\n", "S", "k", u"1"_s},
            {"later duplicate section", "[S]\n[T]\n[s]\nk=3\n", "S", "k", u"3"_s},
            {"comment is no key", "[S]\n;k=1\n#k=2\n", "S", "k", std::nullopt},
            {"CRLF lines", "[S]\r\nk=v\r\n", "S", "k", u"v"_s},
            {"last line without line end", "[S]\nk=v", "S", "k", u"v"_s},
            {"byte-order mark", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", u"v"_s},
            {"section without bracket", "[S\nk=v\n", "S", "k", u"v"_s},
            {"zero byte ends value", QByteArray("[S]\nk=ab\0cd\n", 12), "S", "k", u"ab"_s},
            {"UTF-8", "[S]\nk=Čtečka 00 00\n", "S", "k", u"Čtečka 00 00"_s},
            {"invalid UTF-8", "[S]\nk=a\xE8z\n", "S", "k", u"a\uFFFDz"_s},
            {"junk lines around", "\x01\x02\xff\n[S]\ngarbage line\n\xfe=\xfd\nk=v\n]]]\n", "S", "k", u"v"_s},
            {"long value cut", "[S]\nk=" + longValue.toUtf8() + "\n", "S", "k",
             longValue.left(IniFile::MaxValueLength)},
    };
    for (const ReadCase &c : cases) {
        SCOPED_TRACE(c.name);
        const IniFile ini = IniFile::fromBytes(c.file);
        EXPECT_EQ(ini.value(QString::fromUtf8(c.section), QString::fromUtf8(c.key)), c.expected);
    }
}

TEST(IniFile, CutNeverSplitsACharacter)
{
    // 2046 ASCII characters and then an emoji, which takes two UTF-16 units.
    const QString value = QString(IniFile::MaxValueLength - 1, u'x') + u"😀😀"_s;
    const IniFile ini = IniFile::fromBytes("[S]\nk=" + value.toUtf8() + "\n");
    EXPECT_EQ(ini.value(u"S", u"k"), QString(IniFile::MaxValueLength - 1, u'x'));
}

struct WriteCase
{
    const char *name;
    QByteArray before;
    const char *section;
    const char *key;
    QString value;
    QByteArray after;
};

TEST(IniFile, WritesInPlaceAndKeepsOtherLines)
{
    const WriteCase cases[] = {
            {"empty file", "", "Settings", "Company", u"x"_s, "[Settings]\nCompany=x\n"},
            {"changed in place, key spelling and other lines kept",
             "; comment\n[settings]\n  COMPANY = old ; still value\nOther=1\n\x01junk\n", "Settings", "Company",
             u"new"_s, "; comment\n[settings]\n  COMPANY=new\nOther=1\n\x01junk\n"},
            {"added at the end of its section", "[Settings]\nA=1\n\n[Window]\nLeft=1\n", "Settings", "B", u"x"_s,
             "[Settings]\nA=1\nB=x\n\n[Window]\nLeft=1\n"},
            {"added to the first of duplicate sections", "[S]\nA=1\n[S]\nB=2\n", "S", "C", u"3"_s,
             "[S]\nA=1\nC=3\n[S]\nB=2\n"},
            {"section appended after a last line without line end", "[Other]\nk=v", "Settings", "Company", u"x"_s,
             "[Other]\nk=v\n\n[Settings]\nCompany=x\n"},
            {"CRLF file gets CRLF lines", "[Other]\r\nk=v\r\n", "S", "k", u"x"_s,
             "[Other]\r\nk=v\r\n\r\n[S]\r\nk=x\r\n"},
            {"byte-order mark kept", "\xEF\xBB\xBFk=1\n[S]\n", "S", "k", u"2"_s, "\xEF\xBB\xBFk=1\n[S]\nk=2\n"},
            {"blanks quoted", "", "S", "k", u" a "_s, "[S]\nk=\" a \"\n"},
            {"line break cuts the value", "[S]\nk=1\n", "S", "k", u"a\nb"_s, "[S]\nk=a\n"},
            {"carriage return cuts the value", "[S]\nk=1\n", "S", "k", u"a\rb"_s, "[S]\nk=a\n"},
    };
    for (const WriteCase &c : cases) {
        SCOPED_TRACE(c.name);
        IniFile ini = IniFile::fromBytes(c.before);
        ASSERT_TRUE(ini.setValue(QString::fromUtf8(c.section), QString::fromUtf8(c.key), c.value));
        EXPECT_EQ(ini.toBytes(), c.after);
    }
}

TEST(IniFile, EveryValueRoundTrips)
{
    const QString values[] = {
            u""_s,
            u"a, b"_s,
            u"  leading"_s,
            u"trailing\t"_s,
            u"\"quoted\""_s,
            u"\""_s,
            u"\"\""_s,
            u"x=y;z #w"_s,
            u"[not a section]"_s,
            u"Čtečka 00 00"_s,
            QString(IniFile::MaxValueLength, u'v'),
    };
    for (const QString &value : values) {
        SCOPED_TRACE(value.toStdString());
        IniFile ini = IniFile::fromBytes("[S]\nk=old\n");
        ASSERT_TRUE(ini.setValue(u"S", u"k", value));
        EXPECT_EQ(IniFile::fromBytes(ini.toBytes()).value(u"S", u"k"), value);
    }
}

TEST(IniFile, RefusesNamesThatCannotBeReadBack)
{
    const std::pair<QString, QString> names[] = {
            {u""_s, u"k"_s},    {u"S"_s, u""_s},   {u" S"_s, u"k"_s}, {u"S"_s, u"k "_s},  {u"S]"_s, u"k"_s},
            {u"S"_s, u"a=b"_s}, {u"S"_s, u"[k"_s}, {u"S"_s, u";k"_s}, {u"S\n"_s, u"k"_s}, {u"S"_s, u"k\nl"_s},
    };
    const QByteArray before = "[S]\nk=1\n";
    for (const auto &[section, key] : names) {
        SCOPED_TRACE((section + u'/' + key).toStdString());
        IniFile ini = IniFile::fromBytes(before);
        EXPECT_FALSE(ini.setValue(section, key, u"x"_s));
        EXPECT_EQ(ini.toBytes(), before);
    }
}

QByteArray pseudoRandomBytes(qsizetype size)
{
    QByteArray bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char &c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Whatever the file holds, it is read without a crash, and writing a value keeps all of it.
TEST(IniFile, DamagedContentIsKept)
{
    const std::pair<const char *, QByteArray> files[] = {
            {"binary junk", pseudoRandomBytes(64 * 1024) + "\n"},
            {"very long line", QByteArray(IniFile::MaxFileSize - 10, 'k') + "=1\n"},
            {"brackets and equals", "[[[[\n]]]]\n====\n[\n=\n"},
            {"zero bytes", QByteArray(1000, '\0') + "\n"},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        IniFile ini = IniFile::fromBytes(bytes);
        EXPECT_FALSE(ini.value(u"Settings", u"Company").has_value());
        ASSERT_TRUE(ini.setValue(u"Settings", u"Company", u"x"_s));
        const QByteArray after = ini.toBytes();
        EXPECT_TRUE(after.startsWith(bytes));
        EXPECT_EQ(IniFile::fromBytes(after).value(u"Settings", u"Company"), u"x"_s);
    }
}

class IniFileOnDisk : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

TEST_F(IniFileOnDisk, LoadGivesWhatCanBeRead)
{
    IniFile::LoadStatus status{};
    int error = 0;

    IniFile ini = IniFile::load(path(u"missing.ini"_s), &status, &error);
    EXPECT_EQ(status, IniFile::LoadStatus::Missing);
    EXPECT_TRUE(ini.toBytes().isEmpty());

    ini = IniFile::load(m_dir.path(), &status, &error);
    EXPECT_EQ(status, IniFile::LoadStatus::Unreadable);
    EXPECT_EQ(error, EISDIR);
    EXPECT_TRUE(ini.toBytes().isEmpty());

    // A fifo in the file's place must not stall the program.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path(u"fifo"_s)).constData(), 0600), 0);
    ini = IniFile::load(path(u"fifo"_s), &status, &error);
    EXPECT_EQ(status, IniFile::LoadStatus::Unreadable);

    // Only whole lines within the limit are read; the line cut by the limit is dropped.
    const QByteArray head = "[S]\nk=v\n" + QByteArray(IniFile::MaxFileSize - 20, ';') + "\n";
    ASSERT_TRUE(writeBytes(path(u"huge.ini"_s), head + "cut=" + QByteArray(100, 'x') + "\n[T]\n"));
    ini = IniFile::load(path(u"huge.ini"_s), &status, &error);
    EXPECT_EQ(status, IniFile::LoadStatus::TooLarge);
    EXPECT_EQ(ini.value(u"S", u"k"), u"v"_s);
    EXPECT_EQ(ini.toBytes(), head);
}

TEST_F(IniFileOnDisk, SaveReplacesTheFileReadableByOwnerOnly)
{
    const QString file = path(u"Korvan.ini"_s);
    ASSERT_TRUE(writeBytes(file, "; mine\n[Settings]\nCompany=1\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0644), 0);

    IniFile ini = IniFile::load(file);
    ASSERT_TRUE(ini.setValue(u"Settings", u"Company", u"2"_s));
    int error = -1;
    ASSERT_TRUE(ini.save(file, &error));
    EXPECT_EQ(error, 0);

    EXPECT_EQ(readBytes(file), "; mine\n[Settings]\nCompany=2\n");
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(folderEntries(m_dir.path()), QStringList{u"Korvan.ini"_s});
}

TEST_F(IniFileOnDisk, SaveThroughALinkReplacesItsTarget)
{
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"real"_s));
    const QString target = path(u"real/Korvan.ini"_s);
    const QString link = path(u"Korvan.ini"_s);
    ASSERT_TRUE(writeBytes(target, "[S]\nk=1\n"));
    // A relative link, resolved against the link's own folder.
    ASSERT_EQ(::symlink("real/Korvan.ini", QFile::encodeName(link).constData()), 0);

    IniFile ini = IniFile::load(link);
    ASSERT_TRUE(ini.setValue(u"S", u"k", u"2"_s));
    ASSERT_TRUE(ini.save(link));

    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readBytes(target), "[S]\nk=2\n");
    EXPECT_EQ(folderEntries(path(u"real"_s)), QStringList{u"Korvan.ini"_s});
}

// Each way a save can fail: false, the errno value, the old file as it was, no temporary file left.
TEST_F(IniFileOnDisk, FailedSaveKeepsTheOldFile)
{
    const QByteArray old = "[Settings]\nCompany=old\n";
    IniFile ini = IniFile::fromBytes(old);
    ASSERT_TRUE(ini.setValue(u"Settings", u"Company", QString(200, u'n')));

    {
        SCOPED_TRACE("folder that cannot be written to");
        // Open to others, so that an unprivileged child can reach the folder (see runUnprivileged).
        ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"readonly"_s));
        const QString file = path(u"readonly/Korvan.ini"_s);
        ASSERT_TRUE(writeBytes(file, old));
        ASSERT_EQ(::chmod(QFile::encodeName(path(u"readonly"_s)).constData(), 0555), 0);
        const auto error = runUnprivileged([&] {
            int code = 0;
            return ini.save(file, &code) ? QByteArray("saved") : QByteArray::number(code);
        });
        ASSERT_TRUE(error.has_value()) << "could not run as an unprivileged user";
        EXPECT_EQ(*error, QByteArray::number(EACCES));
        EXPECT_EQ(readBytes(file), old);
        EXPECT_EQ(folderEntries(path(u"readonly"_s)), QStringList{u"Korvan.ini"_s});
        ::chmod(QFile::encodeName(path(u"readonly"_s)).constData(), 0755);
    }
    {
        SCOPED_TRACE("disk full during the write");
        ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"full"_s));
        const QString file = path(u"full/Korvan.ini"_s);
        ASSERT_TRUE(writeBytes(file, old));
        // A file size limit stops the write half-way, as a full disk would, also for root.
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 16;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        int error = 0;
        const bool saved_ok = ini.save(file, &error);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(saved_ok);
        EXPECT_EQ(error, EFBIG);
        EXPECT_EQ(readBytes(file), old);
        EXPECT_EQ(folderEntries(path(u"full"_s)), QStringList{u"Korvan.ini"_s});
    }
    const std::tuple<const char *, QString, int> paths[] = {
            {"missing folder", path(u"nowhere/Korvan.ini"_s), ENOENT},
            {"folder that is a file", path(u"plain/Korvan.ini"_s), ENOTDIR},
            {"target that is a folder", path(u"folder"_s), EISDIR},
            {"empty path", QString(), ENOENT},
    };
    ASSERT_TRUE(writeBytes(path(u"plain"_s), old));
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(u"folder/inside"_s));
    for (const auto &[name, file, expected] : paths) {
        SCOPED_TRACE(name);
        int error = 0;
        EXPECT_FALSE(ini.save(file, &error));
        EXPECT_EQ(error, expected);
    }
    EXPECT_EQ(readBytes(path(u"plain"_s)), old);
    EXPECT_EQ(folderEntries(path(u"folder"_s)), QStringList{u"inside"_s});
    EXPECT_EQ(folderEntries(m_dir.path()), (QStringList{u"folder"_s, u"full"_s, u"plain"_s, u"readonly"_s}));
}

} // namespace
