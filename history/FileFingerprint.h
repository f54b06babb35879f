#pragma once

// What a download file was when it was written: its size and SHA-256. The queue sends a file only
// while the file on the disk still is what was downloaded.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

struct FileFingerprint
{
    qint64 size = 0;
    QByteArray sha256;

    friend bool operator==(const FileFingerprint &, const FileFingerprint &) = default;
};

FileFingerprint fingerprintOf(QByteArrayView bytes);

struct FileContent
{
    enum class Status { Read, Missing, TooLarge, Unreadable };
    Status status = Status::Unreadable;
    QByteArray bytes;
    QString error; // of Unreadable
};

// The whole file, when it is at most limit bytes long.
FileContent readFileContent(const QString &path, qint64 limit);
