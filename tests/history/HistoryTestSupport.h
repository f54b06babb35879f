#pragma once

#include "history/DownloadRecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A complete download of a card at a time, for a file of the given bytes in folder.
DownloadRecord sampleDownload(const QString &cardNumber, const QDateTime &timeUtc, const QString &folder = {},
                              const QByteArray &bytes = QByteArray("download"));

// Writes bytes to path; false when it could not.
bool writeFile(const QString &path, const QByteArray &bytes);

QDateTime utc(int year, int month, int day, int hour = 12, int minute = 0);
