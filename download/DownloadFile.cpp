#include "download/DownloadFile.h"

#include "download/SaveFile.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr int DiskFullCode = 101;

// Readable as an ordinary new file would be, whatever file had the name before.
mode_t defaultFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
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
        return {false, 3, QStringLiteral("Invalid filename"), {}};
    case EACCES:
    case EPERM:
    case EROFS:
        return {false, 5, QStringLiteral("File access denied"), {}};
    case EMFILE:
    case ENFILE:
        return {false, 4, QStringLiteral("Too many open files"), {}};
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {false, DiskFullCode, QStringLiteral("Disk full"), {}};
    default:
        return {false, errorNumber, QStringLiteral("I/O error %1").arg(errorNumber), {}};
    }
}

FileWriteResult writeDownloadFile(const QString &folder, const std::function<QString(int number)> &fileNameFor,
                                  const std::uint8_t *data, std::size_t length)
{
    const QByteArrayView bytes(data, static_cast<qsizetype>(length));
    int number = 0;
    const int error = saveNewFile([&](int n) { return downloadFilePath(folder, fileNameFor(n)); }, bytes,
                                  defaultFileMode(), number);
    if (error != 0)
        return fileErrorFor(error);
    // The new name lives in the folder: until the folder is on disk too, a power cut can take the
    // finished file away again.
    FileWriteResult result{true, 0, {}, {}};
    if (const int folderError = syncFolder(folder); folderError != 0)
        result = fileErrorFor(folderError);
    result.fileName = fileNameFor(number);
    return result;
}
