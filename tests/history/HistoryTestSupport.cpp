#include "HistoryTestSupport.h"

#include "history/FileFingerprint.h"

#include <QFile>
#include <QTimeZone>

DownloadRecord sampleDownload(const QString &cardNumber, const QDateTime &timeUtc, const QString &folder,
                              const QByteArray &bytes)
{
    DownloadRecord record;
    record.timeUtc = timeUtc;
    record.card = {0x0C, cardNumber, QStringLiteral("NOVÁK"), QStringLiteral("JAN")};
    record.generation = 2;
    record.version = 2;
    record.fileName =
            QStringLiteral("C_%1_J_NOVAK_%2.ddd").arg(timeUtc.toString(QStringLiteral("yyyyMMdd_HHmm")), cardNumber);
    record.folder = folder;
    const FileFingerprint fingerprint = fingerprintOf(bytes);
    record.size = fingerprint.size;
    record.sha256 = fingerprint.sha256;
    record.outcome = DownloadOutcome::Complete;
    record.verdict = Overall::VerifiedEuropeanRoot;
    return record;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QDateTime utc(int year, int month, int day, int hour, int minute)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC);
}
