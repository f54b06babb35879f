#include "app/SettingsStore.h"

#include "SettingsTestSupport.h"

#include <QTemporaryDir>

#include <cerrno>
#include <sys/stat.h>

namespace {

using namespace Qt::Literals::StringLiterals;

class SettingsStore : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QTemporaryDir m_dir;
    QString m_file = m_dir.filePath(u"Korvan.ini"_s);
};

TEST_F(SettingsStore, MissingFileGivesDefaults)
{
    const StoredSettings settings = readSettings(m_file);
    EXPECT_EQ(settings.Company, QString());
    EXPECT_EQ(settings.User, QString());
    EXPECT_EQ(settings.Password, QString());
    EXPECT_EQ(settings.CardReader, QString());
    EXPECT_EQ(settings.FilePath, QString());
    EXPECT_EQ(settings.Left, -1);
    EXPECT_EQ(settings.Top, -1);
}

TEST_F(SettingsStore, ReadsStoredForms)
{
    const struct
    {
        const char *name;
        QByteArray file;
        QString company;
        int left;
    } cases[] = {
            {"encoded credential", "[Settings]\nCompany=162636\n", u"abc"_s, -1},
            {"odd last character", "[Settings]\nCompany=1626363\n", u"abc"_s, -1},
            {"zero byte", "[Settings]\nCompany=zz2636\n", u""_s, -1},
            {"negative position", "[Window]\nLeft=-2\n", u""_s, -2},
            {"minus one", "[Window]\nLeft=-1\n", u""_s, -1},
            {"blanks around a number", "[Window]\nLeft= 17 \n", u""_s, 17},
            {"not a number", "[Window]\nLeft=abc\n", u""_s, -1},
            {"trailing junk", "[Window]\nLeft=12px\n", u""_s, -1},
            {"too large", "[Window]\nLeft=99999999999\n", u""_s, -1},
            {"hexadecimal", "[Window]\nLeft=0x10\n", u""_s, -1},
            {"binary junk", "\x01\xff\xfe\n[Window\x7f]\nLeft=\x80\n", u""_s, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeBytes(m_file, c.file));
        const StoredSettings settings = readSettings(m_file);
        EXPECT_EQ(settings.Company, c.company);
        EXPECT_EQ(settings.Left, c.left);
    }
}

TEST_F(SettingsStore, WrittenValuesComeBackAndOtherLinesStay)
{
    ASSERT_TRUE(writeBytes(m_file, "; kept\n[Settings]\nCompany=zz2636\nTheme=dark\n[Window]\nLeft=5\n[Extra]\nx=1\n"));
    ASSERT_EQ(::chmod(QFile::encodeName(m_file).constData(), 0644), 0);

    StoredSettings settings;
    settings.Company = u"Dopravní společnost"_s;
    settings.User = u"řidič"_s;
    settings.Password = u" heslo, s mezerou "_s;
    settings.CardReader = u"Virtual PCD 00 00"_s;
    settings.FilePath = u"/home/user/a, b"_s;
    settings.Left = -2;
    settings.Top = 300;
    const SettingsWriteResult result = writeSettings(m_file, settings);
    ASSERT_TRUE(result.ok) << result.errorText.toStdString();

    const StoredSettings back = readSettings(m_file);
    EXPECT_EQ(back.Company, settings.Company);
    EXPECT_EQ(back.User, settings.User);
    EXPECT_EQ(back.Password, settings.Password);
    EXPECT_EQ(back.CardReader, settings.CardReader);
    EXPECT_EQ(back.FilePath, settings.FilePath);
    EXPECT_EQ(back.Left, -2);
    EXPECT_EQ(back.Top, 300);

    const QByteArray bytes = readBytes(m_file);
    EXPECT_TRUE(bytes.startsWith("; kept\n[Settings]\nCompany=44"));
    EXPECT_TRUE(bytes.contains("Theme=dark\n"));
    EXPECT_TRUE(bytes.contains("[Extra]\nx=1\n"));
    EXPECT_TRUE(bytes.contains("User=8F9646968E\n"));
    EXPECT_TRUE(bytes.contains("FilePath=/home/user/a, b\n"));
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(m_file).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(SettingsStore, FailedWriteReportsAndKeepsTheOldFile)
{
    // Open to others, so that an unprivileged child can reach the folder (see runUnprivileged).
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    const QByteArray old = "[Settings]\nCompany=162636\n";
    ASSERT_TRUE(writeBytes(m_file, old));
    ASSERT_EQ(::chmod(QFile::encodeName(m_file).constData(), 0644), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0555), 0);

    const auto text = runUnprivileged([&] {
        StoredSettings settings;
        settings.Company = u"new"_s;
        const SettingsWriteResult result = writeSettings(m_file, settings);
        return result.ok ? QByteArray("written") : QByteArray::number(result.error) + ' ' + result.errorText.toUtf8();
    });
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);

    ASSERT_TRUE(text.has_value()) << "could not run as an unprivileged user";
    EXPECT_EQ(*text, QByteArray::number(EACCES) + " Unable to write to " + QFile::encodeName(m_file));
    EXPECT_EQ(readBytes(m_file), old);
    EXPECT_EQ(folderEntries(m_dir.path()), QStringList{u"Korvan.ini"_s});
}

} // namespace
