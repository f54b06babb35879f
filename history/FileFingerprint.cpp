#include "history/FileFingerprint.h"

#include <QCryptographicHash>
#include <QFile>

FileFingerprint fingerprintOf(QByteArrayView bytes)
{
    return {bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256)};
}

FileContent readFileContent(const QString &path, qint64 limit)
{
    FileContent content;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        content.status = file.exists() ? FileContent::Status::Unreadable : FileContent::Status::Missing;
        content.error = file.errorString();
        return content;
    }
    // One byte more than the limit tells a file that grew beyond it from one that is exactly as long.
    content.bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError) {
        content.status = FileContent::Status::Unreadable;
        content.error = file.errorString();
        content.bytes.clear();
        return content;
    }
    if (content.bytes.size() > limit) {
        content.status = FileContent::Status::TooLarge;
        content.bytes.clear();
        return content;
    }
    content.status = FileContent::Status::Read;
    return content;
}
