#include "history/HistoryStore.h"

#include "history/DueRule.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> connectionCounter{0};

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

// Qt binds a null QString as NULL; the text columns hold '' instead.
QString notNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

QString sqlText(const QSqlError &error)
{
    const QString database = error.databaseText();
    return database.isEmpty() ? error.text() : database;
}

// The columns of a download row, in the order readDownload takes them.
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

// The holder's names follow the latest card data; a card keeps its place however often it is seen.
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

// Creates the folders that are missing, each readable by the owner only: the history names the
// company's drivers.
bool makeOwnerOnlyFolder(const QString &folder, QString &error)
{
    const QString absolute = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    QStringList missing;
    QString current = absolute;
    while (!current.isEmpty() && !QFileInfo::exists(current)) {
        missing.prepend(current);
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            break;
        current = parent;
    }
    for (const QString &path : missing) {
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
            error = QStringLiteral("cannot create the folder %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<HistoryStore::Migration> HistoryStore::schemaMigrations()
{
    return {
            {1,
             {
                     QStringLiteral("CREATE TABLE cards ("
                                    " issuing_state INTEGER NOT NULL,"
                                    " card_number TEXT NOT NULL,"
                                    " surname TEXT NOT NULL,"
                                    " first_names TEXT NOT NULL,"
                                    " last_seen_utc_ms INTEGER NOT NULL,"
                                    " PRIMARY KEY (issuing_state, card_number))"),
                     QStringLiteral(
                             "CREATE TABLE downloads ("
                             " id INTEGER PRIMARY KEY,"
                             " time_utc_ms INTEGER NOT NULL,"
                             " issuing_state INTEGER NOT NULL,"
                             " card_number TEXT NOT NULL,"
                             " surname TEXT NOT NULL,"
                             " first_names TEXT NOT NULL,"
                             " generation INTEGER NOT NULL,"
                             " version INTEGER NOT NULL,"
                             " file_name TEXT NOT NULL,"
                             " folder TEXT NOT NULL,"
                             " size INTEGER NOT NULL,"
                             " sha256 BLOB,"
                             " outcome TEXT NOT NULL CHECK (outcome IN ('complete', 'incomplete', 'not_written')),"
                             " verdict TEXT CHECK (verdict IN ('european_root', 'test_root', 'failed')),"
                             " upload_state TEXT NOT NULL CHECK (upload_state IN ('not_offered', 'declined', 'sent',"
                             "  'failed', 'waiting', 'sending', 'gone', 'changed')),"
                             " upload_status INTEGER NOT NULL DEFAULT 0,"
                             " upload_attempts INTEGER NOT NULL DEFAULT 0,"
                             " next_attempt_utc_ms INTEGER,"
                             " upload_error TEXT NOT NULL DEFAULT '')"),
                     // The last complete download of a card is one step down this index.
                     QStringLiteral("CREATE INDEX downloads_by_card ON downloads "
                                    "(issuing_state, card_number, outcome, time_utc_ms)"),
                     QStringLiteral("CREATE INDEX downloads_in_queue ON downloads (id) "
                                    "WHERE upload_state IN ('waiting', 'sending')"),
             }},
    };
}

int HistoryStore::currentSchemaVersion()
{
    return schemaMigrations().back().toVersion;
}

QString HistoryStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/Merkalo/Korvan/history.sqlite");
}

HistoryStore::HistoryStore(QString path)
    : HistoryStore(std::move(path), Options{})
{ }

HistoryStore::HistoryStore(QString path, Options options)
    : m_path(std::move(path))
    , m_options(std::move(options))
    , m_connectionName(QStringLiteral("korvan-history-%1").arg(connectionCounter.fetch_add(1)))
{ }

HistoryStore::~HistoryStore()
{
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

StoreStatus HistoryStore::failure(const QString &what, const QString &detail)
{
    return {QStringLiteral("history %1: %2: %3").arg(m_path, what, detail)};
}

StoreStatus HistoryStore::open()
{
    if (m_open)
        return {};
    const bool readOnly = m_options.access == Access::ReadOnly;
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }

    const QByteArray encoded = QFile::encodeName(m_path);
    if (readOnly) {
        if (!QFileInfo::exists(m_path))
            return failure(QStringLiteral("cannot open"), QStringLiteral("no history yet"));
    } else {
        QString error;
        if (!makeOwnerOnlyFolder(QFileInfo(m_path).path(), error))
            return failure(QStringLiteral("cannot open"), error);
        // SQLite would create the file with the umask's permissions; the history is the owner's.
        const int fd = ::open(encoded.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EACCES && errno != EROFS)
            return failure(QStringLiteral("cannot open"), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
    }

    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(m_path);
    QString connectOptions = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(m_options.busyTimeoutMs);
    if (readOnly)
        connectOptions += QStringLiteral(";QSQLITE_OPEN_READONLY");
    m_db.setConnectOptions(connectOptions);
    if (!m_db.open())
        return failure(QStringLiteral("cannot open"), sqlText(m_db.lastError()));

    // SQLite opens any file: the first read tells a database from random bytes.
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return failure(QStringLiteral("cannot read"), sqlText(query.lastError()));
    const int version = query.value(0).toInt();
    query.finish();
    const int current = m_options.migrations.empty() ? 0 : m_options.migrations.back().toVersion;
    if (version > current)
        return failure(QStringLiteral("cannot use"),
                       QStringLiteral("schema version %1 is newer than this program's %2").arg(version).arg(current));

    if (!readOnly) {
        // WAL lets the window read while the worker writes; FULL keeps a recorded answer of the
        // server through a power cut, so that a file taken is not sent again.
        query.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
        query.finish();
        query.exec(QStringLiteral("PRAGMA synchronous = FULL"));
        query.finish();
        if (version < current) {
            if (StoreStatus migrated = migrate(version); !migrated.ok())
                return migrated;
        }
    } else if (version < current) {
        return failure(QStringLiteral("cannot read"),
                       QStringLiteral("schema version %1 has not been brought up to %2 yet").arg(version).arg(current));
    }
    m_schemaVersion = current;
    m_open = true;
    return {};
}

StoreStatus HistoryStore::migrate(int fromVersion)
{
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failure(QStringLiteral("cannot update the schema"), sqlText(query.lastError()));
    // Another instance may have brought it up to date while this one waited for the lock.
    int version = fromVersion;
    if (query.exec(QStringLiteral("PRAGMA user_version")) && query.next())
        version = query.value(0).toInt();
    query.finish();
    for (const Migration &migration : m_options.migrations) {
        if (migration.toVersion <= version)
            continue;
        for (const QString &statement : migration.statements) {
            if (!query.exec(statement)) {
                const QString detail = sqlText(query.lastError());
                query.exec(QStringLiteral("ROLLBACK"));
                return failure(QStringLiteral("cannot update the schema to version %1").arg(migration.toVersion),
                               detail);
            }
        }
        if (!query.exec(QStringLiteral("PRAGMA user_version = %1").arg(migration.toVersion))) {
            const QString detail = sqlText(query.lastError());
            query.exec(QStringLiteral("ROLLBACK"));
            return failure(QStringLiteral("cannot update the schema"), detail);
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QString detail = sqlText(query.lastError());
        query.exec(QStringLiteral("ROLLBACK"));
        return failure(QStringLiteral("cannot update the schema"), detail);
    }
    return {};
}

StoreStatus HistoryStore::ensureOpen()
{
    return m_open ? StoreStatus{} : open();
}

StoreResult<qint64> HistoryStore::recordDownload(const DownloadRecord &record)
{
    StoreResult<qint64> result;
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        result.error = failure(QStringLiteral("cannot record the download"), sqlText(query.lastError())).error;
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
        result.error = failure(QStringLiteral("cannot record the download"), sqlText(query.lastError())).error;
        result.value = 0;
        query.exec(QStringLiteral("ROLLBACK"));
    }
    return result;
}

StoreStatus HistoryStore::recordDownloads(const std::vector<DownloadRecord> &records)
{
    if (StoreStatus opened = ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failure(QStringLiteral("cannot record the downloads"), sqlText(query.lastError()));
    QSqlQuery card(m_db);
    card.prepare(QLatin1String(UpsertCard));
    QSqlQuery download(m_db);
    download.prepare(QLatin1String(InsertDownload));
    for (const DownloadRecord &record : records) {
        if (record.card.known()) {
            bindCard(card, record.card, record.timeUtc);
            if (!card.exec()) {
                const QString detail = sqlText(card.lastError());
                query.exec(QStringLiteral("ROLLBACK"));
                return failure(QStringLiteral("cannot record the downloads"), detail);
            }
        }
        bindDownload(download, record);
        if (!download.exec()) {
            const QString detail = sqlText(download.lastError());
            query.exec(QStringLiteral("ROLLBACK"));
            return failure(QStringLiteral("cannot record the downloads"), detail);
        }
    }
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QString detail = sqlText(query.lastError());
        query.exec(QStringLiteral("ROLLBACK"));
        return failure(QStringLiteral("cannot record the downloads"), detail);
    }
    return {};
}

StoreStatus HistoryStore::noteIdentified(const CardIdentity &card, const QDateTime &time)
{
    if (!card.known())
        return {};
    if (StoreStatus opened = ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_db);
    query.prepare(QLatin1String(UpsertCard));
    bindCard(query, card, time);
    if (!query.exec())
        return failure(QStringLiteral("cannot record the card"), sqlText(query.lastError()));
    return {};
}

StoreResult<std::optional<QDateTime>> HistoryStore::lastCompleteDownload(int issuingState, const QString &cardNumber)
{
    StoreResult<std::optional<QDateTime>> result;
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT max(time_utc_ms) FROM downloads WHERE issuing_state = ? AND card_number = ? "
                                 "AND outcome = 'complete'"));
    query.addBindValue(issuingState);
    query.addBindValue(cardNumber);
    if (!query.exec() || !query.next()) {
        result.error = failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    if (!query.value(0).isNull())
        result.value = fromMs(query.value(0));
    return result;
}

StoreResult<std::vector<DriverRow>> HistoryStore::drivers(const QDateTime &now)
{
    StoreResult<std::vector<DriverRow>> result;
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(
                QStringLiteral("SELECT c.issuing_state, c.card_number, c.surname, c.first_names, "
                               "(SELECT max(d.time_utc_ms) FROM downloads d WHERE d.issuing_state = c.issuing_state "
                               "AND d.card_number = c.card_number AND d.outcome = 'complete') FROM cards c"))) {
        result.error = failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
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
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM downloads %2").arg(QLatin1String(DownloadColumns), condition));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        result.error = failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
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
    if (StoreStatus opened = ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_db);
    // Only a file not yet offered: an answer that comes late never undoes a send.
    query.prepare(QStringLiteral(
            "UPDATE downloads SET upload_state = 'declined' WHERE id = ? AND upload_state = 'not_offered'"));
    query.addBindValue(id);
    if (!query.exec())
        return failure(QStringLiteral("cannot record the answer"), sqlText(query.lastError()));
    return {};
}

StoreResult<std::vector<DownloadRecord>> HistoryStore::queuedUploads()
{
    return selectDownloads(QStringLiteral("WHERE upload_state IN ('waiting', 'sending') ORDER BY id"));
}

StoreResult<int> HistoryStore::waitingCount()
{
    StoreResult<int> result;
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM downloads WHERE upload_state IN ('waiting', 'sending')"))
        || !query.next()) {
        result.error = failure(QStringLiteral("cannot read"), sqlText(query.lastError())).error;
        return result;
    }
    result.value = query.value(0).toInt();
    return result;
}

StoreResult<std::optional<DownloadRecord>> HistoryStore::beginAttempt(qint64 id, bool chosenNow)
{
    StoreResult<std::optional<DownloadRecord>> result;
    if (StoreStatus opened = ensureOpen(); !opened.ok()) {
        result.error = opened.error;
        return result;
    }
    QSqlQuery query(m_db);
    // IMMEDIATE: the state read and the state written belong to one writer, whatever another
    // instance does meanwhile.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        result.error = failure(QStringLiteral("cannot start an upload"), sqlText(query.lastError())).error;
        return result;
    }
    const auto fail = [&](const QSqlQuery &failed) {
        result.error = failure(QStringLiteral("cannot start an upload"), sqlText(failed.lastError())).error;
        result.value.reset();
        QSqlQuery rollback(m_db);
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
    if (StoreStatus opened = ensureOpen(); !opened.ok())
        return opened;
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE downloads SET upload_state = ?, upload_status = ?, next_attempt_utc_ms = ?, "
                                 "upload_error = ? WHERE id = ?"));
    query.addBindValue(uploadStateKey(state));
    query.addBindValue(statusCode);
    query.addBindValue(optionalMs(nextAttempt));
    query.addBindValue(notNull(error));
    query.addBindValue(id);
    if (!query.exec())
        return failure(QStringLiteral("cannot record the upload"), sqlText(query.lastError()));
    return {};
}
