#include "history/UploadLock.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool setLock(int fd, qint64 rowId, short type)
{
    struct flock lock
    {
    };
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(rowId);
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

} // namespace

UploadLock::UploadLock(QString path)
    : m_path(std::move(path))
{ }

UploadLock::~UploadLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UploadLock::ensureOpen(QString &error)
{
    if (m_fd >= 0)
        return true;
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        error = QStringLiteral("cannot open the lock file %1: %2")
                        .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

bool UploadLock::tryLock(qint64 rowId, QString &error)
{
    if (!ensureOpen(error))
        return false;
    if (setLock(m_fd, rowId, F_WRLCK))
        return true;
    if (errno == EAGAIN || errno == EACCES)
        error = QStringLiteral("being sent by another instance");
    else
        error = QStringLiteral("cannot lock %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

void UploadLock::unlock(qint64 rowId)
{
    if (m_fd >= 0)
        setLock(m_fd, rowId, F_UNLCK);
}
