#include "download/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The error number a failed Qt call left behind; Qt keeps it but names no number itself.
int lastError()
{
    return errno != 0 ? errno : EIO;
}

} // namespace

int saveFileAtomically(const QString &path, QByteArrayView data, mode_t mode)
{
    if (QFileInfo(path).isDir())
        return EISDIR;
    QSaveFile file(path);
    errno = 0;
    // Unbuffered: a buffered QSaveFile can take a short write at its final flush for a whole one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return lastError();
    if (::fchmod(file.handle(), mode) != 0)
        return errno;
    qsizetype done = 0;
    while (done < data.size()) {
        errno = 0;
        const qint64 written = file.write(data.data() + done, data.size() - done);
        if (written < 0)
            return lastError();
        // Nothing written and no error: nothing more fits.
        if (written == 0)
            return ENOSPC;
        done += written;
    }
    // QSaveFile syncs before its rename but does not say when that fails.
    if (::fsync(file.handle()) != 0)
        return errno;
    errno = 0;
    if (!file.commit())
        return lastError();
    return 0;
}

int syncFolder(const QString &folder)
{
    const QByteArray name = QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder);
    // A folder that may be written but not read cannot be opened to sync it.
    const int descriptor = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    int error = 0;
    // Some file systems cannot sync a folder and say so.
    if (::fsync(descriptor) != 0 && errno != EINVAL && errno != ENOTSUP)
        error = errno;
    ::close(descriptor);
    return error;
}

int makeOwnerOnlyFolders(const QString &folder, QString *failed)
{
    const QString absolute = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    // The missing ones are noted first and closed to others once they are there.
    QStringList missing;
    for (QString current = absolute; !QFileInfo::exists(current); current = QFileInfo(current).path()) {
        missing.prepend(current);
        if (QFileInfo(current).path() == current)
            break;
    }
    if (missing.isEmpty())
        return 0;
    errno = 0;
    if (!QDir().mkpath(absolute)) {
        // mkpath stops at the first folder it cannot make, with that mkdir's error number.
        const int number = lastError();
        if (failed != nullptr) {
            *failed = missing.back();
            for (const QString &path : std::as_const(missing)) {
                if (!QFileInfo::exists(path)) {
                    *failed = path;
                    break;
                }
            }
        }
        return number;
    }
    for (const QString &path : std::as_const(missing)) {
        errno = 0;
        if (!QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            if (failed != nullptr)
                *failed = path;
            return lastError();
        }
    }
    return 0;
}
