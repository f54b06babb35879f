#include "history/DownloadRows.h"

#include <QMetaType>
#include <QSqlQuery>
#include <QVariant>

namespace DownloadRows {

qint64 toMs(const QDateTime &time)
{
    return time.toMSecsSinceEpoch();
}

QDateTime fromMs(const QVariant &value)
{
    if (value.isNull())
        return {};
    return QDateTime::fromMSecsSinceEpoch(value.toLongLong(), Qt::UTC);
}

QVariant optionalMs(const QDateTime &time)
{
    return time.isValid() ? QVariant(toMs(time)) : QVariant(QMetaType(QMetaType::LongLong));
}

QString notNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

const char DownloadColumns[] = "id, time_utc_ms, issuing_state, card_number, surname, first_names, generation, "
                               "version, file_name, folder, size, sha256, outcome, verdict, upload_state, "
                               "upload_status, upload_attempts, next_attempt_utc_ms, upload_error";

DownloadRecord readDownload(const QSqlQuery &query)
{
    DownloadRecord record;
    record.id = query.value(0).toLongLong();
    record.timeUtc = fromMs(query.value(1));
    record.card.issuingState = query.value(2).toInt();
    record.card.cardNumber = query.value(3).toString();
    record.card.surname = query.value(4).toString();
    record.card.firstNames = query.value(5).toString();
    record.generation = query.value(6).toInt();
    record.version = query.value(7).toInt();
    record.fileName = query.value(8).toString();
    record.folder = query.value(9).toString();
    record.size = query.value(10).toLongLong();
    record.sha256 = query.value(11).toByteArray();
    record.outcome = outcomeFromKey(query.value(12).toString()).value_or(DownloadOutcome::NotWritten);
    if (!query.value(13).isNull())
        record.verdict = verdictFromKey(query.value(13).toString());
    // A state this version does not know is kept out of the queue.
    record.uploadState = uploadStateFromKey(query.value(14).toString()).value_or(UploadState::Failed);
    record.uploadStatus = query.value(15).toInt();
    record.uploadAttempts = query.value(16).toInt();
    record.nextAttemptUtc = fromMs(query.value(17));
    record.uploadError = query.value(18).toString();
    return record;
}

const char InsertDownload[] =
        "INSERT INTO downloads (time_utc_ms, issuing_state, card_number, surname, first_names, generation, version, "
        "file_name, folder, size, sha256, outcome, verdict, upload_state, upload_status, upload_attempts, "
        "next_attempt_utc_ms, upload_error) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

void bindDownload(QSqlQuery &query, const DownloadRecord &record)
{
    query.addBindValue(toMs(record.timeUtc));
    query.addBindValue(record.card.issuingState);
    query.addBindValue(notNull(record.card.cardNumber));
    query.addBindValue(notNull(record.card.surname));
    query.addBindValue(notNull(record.card.firstNames));
    query.addBindValue(record.generation);
    query.addBindValue(record.version);
    query.addBindValue(notNull(record.fileName));
    query.addBindValue(notNull(record.folder));
    query.addBindValue(record.size);
    query.addBindValue(record.sha256.isEmpty() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(record.sha256));
    query.addBindValue(outcomeKey(record.outcome));
    query.addBindValue(record.verdict ? QVariant(verdictKey(*record.verdict))
                                      : QVariant(QMetaType(QMetaType::QString)));
    query.addBindValue(uploadStateKey(record.uploadState));
    query.addBindValue(record.uploadStatus);
    query.addBindValue(record.uploadAttempts);
    query.addBindValue(optionalMs(record.nextAttemptUtc));
    query.addBindValue(notNull(record.uploadError));
}

const char UpsertCard[] = "INSERT INTO cards (issuing_state, card_number, surname, first_names, last_seen_utc_ms) "
                          "VALUES (?, ?, ?, ?, ?) ON CONFLICT (issuing_state, card_number) DO UPDATE SET "
                          "surname = excluded.surname, first_names = excluded.first_names, "
                          "last_seen_utc_ms = max(last_seen_utc_ms, excluded.last_seen_utc_ms)";

void bindCard(QSqlQuery &query, const CardIdentity &card, const QDateTime &time)
{
    query.addBindValue(card.issuingState);
    query.addBindValue(notNull(card.cardNumber));
    query.addBindValue(notNull(card.surname));
    query.addBindValue(notNull(card.firstNames));
    query.addBindValue(toMs(time));
}

} // namespace DownloadRows
