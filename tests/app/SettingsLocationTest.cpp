#include "app/SettingsLocation.h"

#include "SettingsTestSupport.h"

#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

using namespace Qt::Literals::StringLiterals;

mode_t modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

class SettingsLocation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_oldMask = ::umask(022);
    }
    void TearDown() override { ::umask(m_oldMask); }

    QTemporaryDir m_dir;
    ScopedEnv m_home{"HOME", QFile::encodeName(m_dir.path())};
    mode_t m_oldMask = 0;
};

TEST_F(SettingsLocation, FileLivesInTheConfigurationFolder)
{
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/somewhere/config");
        EXPECT_EQ(settingsFilePath(), u"/somewhere/config/Merkalo/Korvan.ini"_s);
    }
    {
        // A relative XDG_CONFIG_HOME is ignored, as it must be.
        ScopedEnv config("XDG_CONFIG_HOME", "relative/config");
        EXPECT_EQ(settingsFilePath(), m_dir.path() + u"/.config/Merkalo/Korvan.ini"_s);
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "");
        ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(settingsFilePath(), m_dir.path() + u"/.config/Merkalo/Korvan.ini"_s);
    }
}

TEST_F(SettingsLocation, MissingFoldersAreCreatedForTheOwnerOnly)
{
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    ScopedEnv config("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(u"fresh/account/.config"_s)));
    const QString file = settingsFilePath();

    EXPECT_TRUE(createSettingsFolder(file));
    for (const char *folder : {"fresh", "fresh/account", "fresh/account/.config", "fresh/account/.config/Merkalo"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(modeOf(m_dir.filePath(QString::fromUtf8(folder))), 0700u);
    }
    // Folders that were there are left as they were.
    EXPECT_EQ(modeOf(m_dir.path()), 0755u);
    EXPECT_TRUE(createSettingsFolder(file));

    ASSERT_TRUE(writeBytes(m_dir.filePath(u"plain"_s), "x"));
    EXPECT_FALSE(createSettingsFolder(m_dir.filePath(u"plain/Merkalo/Korvan.ini"_s)));
}

TEST_F(SettingsLocation, DefaultFolderIsDocumentsWhenItExists)
{
    ScopedEnv config("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(u".config"_s)));
    EXPECT_EQ(defaultDownloadFolder(), m_dir.path());

    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"Documents"_s));
    EXPECT_EQ(defaultDownloadFolder(), m_dir.filePath(u"Documents"_s));

    // A desktop in Czech names the folder in the user's folder list.
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(u".config"_s));
    ASSERT_TRUE(writeBytes(m_dir.filePath(u".config/user-dirs.dirs"_s), "XDG_DOCUMENTS_DIR=\"$HOME/Dokumenty\"\n"));
    EXPECT_EQ(defaultDownloadFolder(), m_dir.path());
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(u"Dokumenty"_s));
    EXPECT_EQ(defaultDownloadFolder(), m_dir.filePath(u"Dokumenty"_s));
}

} // namespace
