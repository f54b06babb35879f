#include "history/HistoryDatabase.h"

#include "download/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<int> connectionCounter{0};

} // namespace

QString sqlText(const QSqlError &error)
{
    const QString database = error.databaseText();
    return database.isEmpty() ? error.text() : database;
}

std::vector<HistoryDatabase::Migration> HistoryDatabase::schemaMigrations()
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

int HistoryDatabase::currentSchemaVersion()
{
    return schemaMigrations().back().toVersion;
}

HistoryDatabase::HistoryDatabase(QString path, Options options)
    : m_path(std::move(path))
    , m_options(std::move(options))
    , m_connectionName(QStringLiteral("korvan-history-%1").arg(connectionCounter.fetch_add(1)))
{ }

HistoryDatabase::~HistoryDatabase()
{
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

StoreStatus HistoryDatabase::failure(const QString &what, const QString &detail) const
{
    return {QStringLiteral("history %1: %2: %3").arg(m_path, what, detail)};
}

StoreStatus HistoryDatabase::open()
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
        // The history names the company's drivers: its folders are the owner's alone.
        QString failedFolder;
        if (const int number = makeOwnerOnlyFolders(QFileInfo(m_path).path(), &failedFolder); number != 0)
            return failure(QStringLiteral("cannot open"),
                           QStringLiteral("cannot create the folder %1: %2")
                                   .arg(failedFolder, QString::fromLocal8Bit(std::strerror(number))));
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
        // WAL lets a reader read while a writer writes; FULL keeps a recorded answer of the
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

StoreStatus HistoryDatabase::migrate(int fromVersion)
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

StoreStatus HistoryDatabase::ensureOpen()
{
    return m_open ? StoreStatus{} : open();
}
