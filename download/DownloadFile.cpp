#include "download/DownloadFile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int DiskFullCode = 101;

// Makes the descriptor's file readable as an ordinary new file would be: mkstemp creates it for
// its owner only.
mode_t defaultFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

int writeAll(int descriptor, const std::uint8_t *data, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = ::write(descriptor, data + done, length - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return ENOSPC;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

int syncFolder(const QByteArray &folder)
{
    // A folder that may be written but not read cannot be opened to sync it; the file is whole
    // all the same.
    const int descriptor = ::open(folder.isEmpty() ? "." : folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    int error = 0;
    // Some file systems cannot sync a folder and say so; the file itself is on disk already.
    if (::fsync(descriptor) != 0 && errno != EINVAL && errno != ENOTSUP)
        error = errno;
    ::close(descriptor);
    return error;
}

} // namespace

QString downloadFilePath(const QString &folder, const QString &fileName)
{
    if (folder.endsWith(u'/'))
        return folder + fileName;
    return folder + u'/' + fileName;
}

FileWriteResult fileErrorFor(int errorNumber)
{
    switch (errorNumber) {
    case ENOENT:
    case ENOTDIR:
        return {false, 3, QStringLiteral("Invalid filename")};
    case EACCES:
    case EPERM:
    case EROFS:
        return {false, 5, QStringLiteral("File access denied")};
    case EMFILE:
    case ENFILE:
        return {false, 4, QStringLiteral("Too many open files")};
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {false, DiskFullCode, QStringLiteral("Disk full")};
    default:
        return {false, errorNumber, QStringLiteral("I/O error %1").arg(errorNumber)};
    }
}

FileWriteResult writeDownloadFile(const QString &folder, const QString &fileName, const std::uint8_t *data,
                                  std::size_t length)
{
    const QByteArray finalPath = QFile::encodeName(downloadFilePath(folder, fileName));
    QByteArray temporaryPath = QFile::encodeName(downloadFilePath(folder, u'.' + fileName + QStringLiteral(".XXXXXX")));

    const int descriptor = ::mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (descriptor < 0)
        return fileErrorFor(errno);

    int error = writeAll(descriptor, data, length);
    if (error == 0 && ::fchmod(descriptor, defaultFileMode()) != 0)
        error = errno;
    if (error == 0 && ::fsync(descriptor) != 0)
        error = errno;
    if (::close(descriptor) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporaryPath.constData(), finalPath.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporaryPath.constData());
        return fileErrorFor(error);
    }
    // The rename lives in the folder: until the folder is on disk too, a power cut can take the
    // finished file away again.
    if (const int folderError = syncFolder(QFile::encodeName(folder)); folderError != 0)
        return fileErrorFor(folderError);
    return {true, 0, {}};
}
