#pragma once

// Which download files are being sent right now, by any instance of the program: one byte of a
// lock file per download row, locked while that file is sent. The locks belong to the open file
// (not to the process), so two queues in one process exclude each other as two programs do, and
// the kernel releases them when a program dies, whatever it was doing.

#include <QString>

class UploadLock
{
public:
    explicit UploadLock(QString path);
    ~UploadLock();
    UploadLock(const UploadLock &) = delete;
    UploadLock &operator=(const UploadLock &) = delete;

    // False when another holder has the row, or the lock file cannot be used (error says why).
    bool tryLock(qint64 rowId, QString &error);
    void unlock(qint64 rowId);

    const QString &path() const { return m_path; }

private:
    bool ensureOpen(QString &error);

    QString m_path;
    int m_fd = -1;
};
