#include "history/HistoryStore.h"

#include "history/DownloadRows.h"
#include "history/DueRule.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimeZone>
#include <QVariant>

#include <algorithm>

using namespace DownloadRows;

QString HistoryStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/Merkalo/Korvan/history.sqlite");
}

HistoryStore::HistoryStore(QString path)
    : HistoryStore(std::move(path), Options{})
{ }

HistoryStore::HistoryStore(QString path, Options options)
    : m_database(std::move(path), std::move(options))
{ }

StoreResult<qint64> HistoryStore::recordDownload(const DownloadRecord &record)
{
    StoreResult<qint64> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        result.error =
                m_database.failure(QStringLiteral("cannot record the download"), sqlText(query.lastError())).error;
        return result;
    }
    bool done = true;
    if (record.card.known()) {
        query.prepare(QLatin1String(UpsertCard));
        bindCard(query, record.card, record.timeUtc);
        done = query.exec();
    }
    if (done) {
        query.prepare(QLatin1String(InsertDownload));
        bindDownload(query, record);
        done = query.exec();
    }
    if (done) {
        result.value = query.lastInsertId().toLongLong();
        done = query.exec(QStringLiteral("COMMIT"));
    }
    if (!done) {
        result.error =
                m_database.failure(QStringLiteral("cannot record the download"), sqlText(query.lastError())).error;
        result.value = 0;
        query.exec(QStringLiteral("ROLLBACK"));
    }
    return result;
}

StoreStatus HistoryStore::recordDownloads(const std::vector<DownloadRecord> &records)
{
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_database.connection());
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return m_database.failure(QStringLiteral("cannot record the downloads"), sqlText(query.lastError()));
    QSqlQuery card(m_database.connection());
    card.prepare(QLatin1String(UpsertCard));
    QSqlQuery download(m_database.connection());
    download.prepare(QLatin1String(InsertDownload));
    for (const DownloadRecord &record : records) {
        if (record.card.known()) {
            bindCard(card, record.card, record.timeUtc);
            if (!card.exec()) {
                const QString detail = sqlText(card.lastError());
                query.exec(QStringLiteral("ROLLBACK"));
                return m_database.failure(QStringLiteral("cannot record the downloads"), detail);
            }
        }
        bindDownload(download, record);
        if (!download.exec()) {
            const QString detail = sqlText(download.lastError());
            query.exec(QStringLiteral("ROLLBACK"));
            return m_database.failure(QStringLiteral("cannot record the downloads"), detail);
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QString detail = sqlText(query.lastError());
        query.exec(QStringLiteral("ROLLBACK"));
        return m_database.failure(QStringLiteral("cannot record the downloads"), detail);
    }
    return {};
}

StoreStatus HistoryStore::noteIdentified(const CardIdentity &card, const QDateTime &time)
{
    if (!card.known())
        return {};
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_database.connection());
    query.prepare(QLatin1String(UpsertCard));
    bindCard(query, card, time);
    if (!query.exec())
        return m_database.failure(QStringLiteral("cannot record the card"), sqlText(query.lastError()));
    return {};
}

StoreResult<std::optional<QDateTime>> HistoryStore::lastCompleteDownload(int issuingState, const QString &cardNumber)
{
    StoreResult<std::optional<QDateTime>> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT max(time_utc_ms) FROM downloads WHERE issuing_state = ? AND card_number = ? "
                                 "AND outcome = 'complete'"));
    query.addBindValue(issuingState);
    query.addBindValue(cardNumber);
    if (!query.exec() || !query.next()) {
        result.error = m_database.failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    if (!query.value(0).isNull())
        result.value = fromMs(query.value(0));
    return result;
}

StoreResult<std::vector<DriverRow>> HistoryStore::drivers(const QDateTime &now)
{
    StoreResult<std::vector<DriverRow>> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    query.setForwardOnly(true);
    if (!query.exec(
                QStringLiteral("SELECT c.issuing_state, c.card_number, c.surname, c.first_names, "
                               "(SELECT max(d.time_utc_ms) FROM downloads d WHERE d.issuing_state = c.issuing_state "
                               "AND d.card_number = c.card_number AND d.outcome = 'complete') FROM cards c"))) {
        result.error = m_database.failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    const QTimeZone zone = QTimeZone::systemTimeZone();
    while (query.next()) {
        DriverRow row;
        row.card.issuingState = query.value(0).toInt();
        row.card.cardNumber = query.value(1).toString();
        row.card.surname = query.value(2).toString();
        row.card.firstNames = query.value(3).toString();
        if (!query.value(4).isNull())
            row.lastComplete = fromMs(query.value(4));
        row.daysSince = daysSinceDownload(row.lastComplete, now, zone);
        row.due = isDownloadDue(row.lastComplete, now, zone);
        result.value.push_back(std::move(row));
    }
    std::stable_sort(result.value.begin(), result.value.end(), [](const DriverRow &a, const DriverRow &b) {
        if (a.lastComplete.has_value() != b.lastComplete.has_value())
            return !a.lastComplete.has_value();
        return a.lastComplete && *a.lastComplete < *b.lastComplete;
    });
    return result;
}

StoreResult<std::vector<DownloadRecord>> HistoryStore::selectDownloads(const QString &condition,
                                                                       const QVariantList &values)
{
    StoreResult<std::vector<DownloadRecord>> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM downloads %2").arg(QLatin1String(DownloadColumns), condition));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        result.error = m_database.failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    while (query.next())
        result.value.push_back(readDownload(query));
    return result;
}

StoreResult<std::vector<DownloadRecord>> HistoryStore::downloads()
{
    return selectDownloads(QStringLiteral("ORDER BY time_utc_ms DESC, id DESC"));
}

StoreResult<std::optional<DownloadRecord>> HistoryStore::download(qint64 id)
{
    StoreResult<std::vector<DownloadRecord>> found = selectDownloads(QStringLiteral("WHERE id = ?"), {id});
    StoreResult<std::optional<DownloadRecord>> result;
    result.error = std::move(found.error);
    if (!found.value.empty())
        result.value = std::move(found.value.front());
    return result;
}

StoreStatus HistoryStore::setUploadDeclined(qint64 id)
{
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_database.connection());
    // Only a file not yet offered: an answer that comes late never undoes a send.
    query.prepare(QStringLiteral(
            "UPDATE downloads SET upload_state = 'declined' WHERE id = ? AND upload_state = 'not_offered'"));
    query.addBindValue(id);
    if (!query.exec())
        return m_database.failure(QStringLiteral("cannot record the answer"), sqlText(query.lastError()));
    return {};
}

bool HistoryStore::canSendFromHistory(const DownloadRecord &record)
{
    return record.outcome == DownloadOutcome::Complete
            && (record.uploadState == UploadState::NotOffered || record.uploadState == UploadState::Declined
                || record.uploadState == UploadState::Failed);
}

StoreResult<bool> HistoryStore::queueFromHistory(qint64 id, const QDateTime &now)
{
    StoreResult<bool> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    // The attempts start again at none, so the pauses between retries start at the shortest, as
    // for a file the user has just chosen to send; the server's last answer stays.
    query.prepare(QStringLiteral("UPDATE downloads SET upload_state = 'waiting', next_attempt_utc_ms = ?, "
                                 "upload_attempts = 0, upload_error = '' WHERE id = ? AND outcome = 'complete' "
                                 "AND upload_state IN ('not_offered', 'declined', 'failed')"));
    query.addBindValue(toMs(now));
    query.addBindValue(id);
    if (!query.exec()) {
        result.error = m_database.failure(QStringLiteral("cannot queue the upload"), sqlText(query.lastError())).error;
        return result;
    }
    result.value = query.numRowsAffected() == 1;
    return result;
}

StoreResult<std::vector<DownloadRecord>> HistoryStore::queuedUploads()
{
    return selectDownloads(QStringLiteral("WHERE upload_state IN ('waiting', 'sending') ORDER BY id"));
}

StoreResult<int> HistoryStore::waitingCount()
{
    StoreResult<int> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    if (!query.exec(QStringLiteral("SELECT count(*) FROM downloads WHERE upload_state IN ('waiting', 'sending')"))
        || !query.next()) {
        result.error = m_database.failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    result.value = query.value(0).toInt();
    return result;
}

StoreResult<std::optional<DownloadRecord>> HistoryStore::beginAttempt(qint64 id, bool chosenNow)
{
    StoreResult<std::optional<DownloadRecord>> result;
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_database.connection());
    // IMMEDIATE: the state read and the state written belong to one writer, whatever another
    // instance does meanwhile.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        result.error = m_database.failure(QStringLiteral("cannot start an upload"), sqlText(query.lastError())).error;
        return result;
    }
    const auto fail = [&](const QSqlQuery &failed) {
        result.error = m_database.failure(QStringLiteral("cannot start an upload"), sqlText(failed.lastError())).error;
        result.value.reset();
        QSqlQuery rollback(m_database.connection());
        rollback.exec(QStringLiteral("ROLLBACK"));
        return result;
    };
    query.prepare(QStringLiteral("SELECT %1 FROM downloads WHERE id = ?").arg(QLatin1String(DownloadColumns)));
    query.addBindValue(id);
    if (!query.exec())
        return fail(query);
    if (!query.next()) {
        query.finish();
        query.exec(QStringLiteral("ROLLBACK"));
        return result;
    }
    DownloadRecord record = readDownload(query);
    query.finish();
    const bool allowed = record.uploadState == UploadState::Waiting || record.uploadState == UploadState::Sending
            || (chosenNow && record.uploadState == UploadState::NotOffered);
    if (!allowed) {
        query.exec(QStringLiteral("ROLLBACK"));
        return result;
    }
    query.prepare(QStringLiteral("UPDATE downloads SET upload_state = 'sending', upload_attempts = upload_attempts + 1 "
                                 "WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec())
        return fail(query);
    if (!query.exec(QStringLiteral("COMMIT")))
        return fail(query);
    record.uploadState = UploadState::Sending;
    ++record.uploadAttempts;
    result.value = std::move(record);
    return result;
}

StoreStatus HistoryStore::finishAttempt(qint64 id, UploadState state, int statusCode, const QDateTime &nextAttempt,
                                        const QString &error)
{
    if (StoreStatus opened = m_database.ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_database.connection());
    query.prepare(QStringLiteral("UPDATE downloads SET upload_state = ?, upload_status = ?, next_attempt_utc_ms = ?, "
                                 "upload_error = ? WHERE id = ?"));
    query.addBindValue(uploadStateKey(state));
    query.addBindValue(statusCode);
    query.addBindValue(optionalMs(nextAttempt));
    query.addBindValue(notNull(error));
    query.addBindValue(id);
    if (!query.exec())
        return m_database.failure(QStringLiteral("cannot record the upload"), sqlText(query.lastError()));
    return {};
}
