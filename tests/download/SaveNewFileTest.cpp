// A file that replaces none, on each kind of file system the folder may be on: a local one, one
// that cannot rename without replacing (a network share that can still link), and one that can do
// neither. The C library's calls are stood in for here, so that each kind can be had anywhere.
#include "download/SaveFile.h"
#include "support/CaseName.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class FileSystem { Local, NoRenameWithoutReplacing, NoLinks };
FileSystem fileSystem = FileSystem::Local;

} // namespace

extern "C" int renameat2(int oldFolder, const char *oldPath, int newFolder, const char *newPath,
                         unsigned int flags) noexcept
{
    if (fileSystem != FileSystem::Local && (flags & RENAME_NOREPLACE) != 0) {
        errno = EINVAL;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, const char *, int, const char *, unsigned int)>(
            dlsym(RTLD_NEXT, "renameat2"));
    return real(oldFolder, oldPath, newFolder, newPath, flags);
}

extern "C" int link(const char *from, const char *to) noexcept
{
    if (fileSystem == FileSystem::NoLinks) {
        errno = EPERM;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "link"));
    return real(from, to);
}

namespace {

struct SaveCase
{
    const char *name;
    FileSystem fileSystem;
    QStringList taken;
    int expectedNumber;
};

void PrintTo(const SaveCase &c, std::ostream *os)
{
    *os << c.name;
}

class SaveNewFile : public testing::TestWithParam<SaveCase>
{
protected:
    void TearDown() override { fileSystem = FileSystem::Local; }

    QString path(int number) const
    {
        return folder.filePath(number == 1 ? QStringLiteral("C_x.ddd") : QStringLiteral("C_x_%1.ddd").arg(number));
    }

    QTemporaryDir folder;
};

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

// Whatever has a name keeps it and its bytes; the new file takes the first free name, whole and
// readable as a new file is, and nothing else is left in the folder.
TEST_P(SaveNewFile, TakesTheFirstFreeNameAndKeepsEveryOtherFile)
{
    const SaveCase &c = GetParam();
    for (const QString &name : c.taken) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name.toUtf8());
    }
    fileSystem = c.fileSystem;
    int number = 0;
    ASSERT_EQ(saveNewFile([this](int n) { return path(n); }, "new download", 0644, number), 0);
    EXPECT_EQ(number, c.expectedNumber);
    EXPECT_EQ(contentOf(path(number)), QByteArray("new download"));
    EXPECT_EQ(QFileInfo(path(number)).permissions() & 0x7777,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup
                      | QFile::ReadOther);
    for (const QString &name : c.taken)
        EXPECT_EQ(contentOf(folder.filePath(name)), name.toUtf8());
    QStringList names = c.taken;
    names << QFileInfo(path(number)).fileName();
    names.sort();
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), names);
}

INSTANTIATE_TEST_SUITE_P(
        Table, SaveNewFile,
        testing::Values(SaveCase{"LocalNameFree", FileSystem::Local, {}, 1},
                        SaveCase{"LocalNameTaken", FileSystem::Local, {"C_x.ddd", "C_x_2.ddd"}, 3},
                        SaveCase{"ShareThatLinksNameFree", FileSystem::NoRenameWithoutReplacing, {}, 1},
                        SaveCase{"ShareThatLinksNameTaken", FileSystem::NoRenameWithoutReplacing, {"C_x.ddd"}, 2},
                        SaveCase{"NeitherNameFree", FileSystem::NoLinks, {}, 1},
                        SaveCase{"NeitherNameTaken", FileSystem::NoLinks, {"C_x.ddd"}, 2}),
        CaseName());

} // namespace
