#include "download/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The error number a failed Qt call left behind; Qt keeps it but names no number itself.
int lastError()
{
    return errno != 0 ? errno : EIO;
}

// The temporary file of saveNewFile: made beside its target, where a rename or a link into the
// target's name stays within one file system; hidden, and without the target's extension, so that
// no program that takes up finished downloads takes it up.
int writeTemporaryFile(const QString &target, QByteArrayView data, mode_t mode, QByteArray &path)
{
    const QFileInfo info(target);
    path = QFile::encodeName(info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int descriptor = ::mkostemp(path.data(), O_CLOEXEC);
    if (descriptor < 0)
        return errno;
    int error = ::fchmod(descriptor, mode) != 0 ? errno : 0;
    for (qsizetype done = 0; error == 0 && done < data.size();) {
        const ssize_t written = ::write(descriptor, data.data() + done, static_cast<size_t>(data.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            error = errno;
        else if (written == 0)
            error = ENOSPC; // nothing written and no error: nothing more fits
        else
            done += written;
    }
    if (error == 0 && ::fsync(descriptor) != 0)
        error = errno;
    if (::close(descriptor) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(path.constData());
    return error;
}

// Gives the finished temporary file the target's name only while no file has it. A file system
// that cannot rename without replacing (a network share) can mostly still link; one that can do
// neither gets the name taken by an empty file of our own first, which the content then replaces.
int claimName(const QByteArray &temporary, const QByteArray &target)
{
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    if (::link(temporary.constData(), target.constData()) == 0) {
        ::unlink(temporary.constData());
        return 0;
    }
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    const int placeholder = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (placeholder < 0)
        return errno;
    ::close(placeholder);
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(target.constData());
        return error;
    }
    return 0;
}

} // namespace

int saveNewFile(const std::function<QString(int number)> &pathFor, QByteArrayView data, mode_t mode, int &number)
{
    // More copies of one card in one minute than anybody makes: something else is wrong.
    constexpr int MostNumbers = 999;
    QByteArray temporary;
    if (const int error = writeTemporaryFile(pathFor(1), data, mode, temporary); error != 0)
        return error;
    for (number = 1; number <= MostNumbers; ++number) {
        const int error = claimName(temporary, QFile::encodeName(pathFor(number)));
        if (error == 0)
            return 0;
        if (error != EEXIST) {
            ::unlink(temporary.constData());
            return error;
        }
    }
    ::unlink(temporary.constData());
    return EEXIST;
}

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
