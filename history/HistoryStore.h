#pragma once

// The office's download history in an SQLite database: one row per download run, the cards that
// were identified, and the upload state of each file.
//
// One store is one database connection, and Qt's SQL connections belong to the thread that made
// them: create and use a store on one thread only. The card worker keeps the program's store; the
// window never opens one and shows the snapshots the worker sends it by value. The database runs
// in WAL mode, so a store opened ReadOnly beside a writer never waits for it.
//
// Every failure (no driver, a damaged or read-only file, a database locked by another program, a
// full disk, a newer schema) is a result with a text for the log. A store that could not open
// tries again at its next operation.

#include "history/DownloadRecord.h"
#include "history/StoreResult.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>
#include <vector>

// One card of the drivers list.
struct DriverRow
{
    CardIdentity card;
    std::optional<QDateTime> lastComplete; // UTC
    std::optional<int> daysSince; // local calendar days; none when never downloaded completely
    bool due = true;
};

class HistoryStore
{
public:
    enum class Access { ReadWrite, ReadOnly };

    // The statements that bring a database of version toVersion - 1 to toVersion, run in one
    // transaction with the version change.
    struct Migration
    {
        int toVersion;
        QStringList statements;
    };

    struct Options
    {
        Access access = Access::ReadWrite;
        // How long a statement waits for another connection's lock before it fails.
        int busyTimeoutMs = 2000;
        std::vector<Migration> migrations = schemaMigrations();
    };

    // Every migration from an empty database to the current schema, in order.
    static std::vector<Migration> schemaMigrations();
    static int currentSchemaVersion();
    // $XDG_DATA_HOME/Merkalo/Korvan/history.sqlite (normally ~/.local/share/...).
    static QString defaultPath();

    explicit HistoryStore(QString path);
    HistoryStore(QString path, Options options);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the database, creating it (owner-only) and bringing its schema up to date.
    StoreStatus open();
    bool isOpen() const { return m_open; }
    const QString &path() const { return m_path; }
    // The schema version found at the last open; 0 before one succeeded.
    int schemaVersion() const { return m_schemaVersion; }

    // The id of the new row.
    StoreResult<qint64> recordDownload(const DownloadRecord &record);
    // Many rows in one transaction (imports, benchmarks).
    StoreStatus recordDownloads(const std::vector<DownloadRecord> &records);
    // A card that was identified joins the drivers list, due until downloaded completely.
    StoreStatus noteIdentified(const CardIdentity &card, const QDateTime &time);
    // The time (UTC) of the card's last complete download; none when there was none.
    StoreResult<std::optional<QDateTime>> lastCompleteDownload(int issuingState, const QString &cardNumber);

    // One row per card, most overdue first (never downloaded, then the oldest download).
    StoreResult<std::vector<DriverRow>> drivers(const QDateTime &now);
    // Every download, newest first.
    StoreResult<std::vector<DownloadRecord>> downloads();
    StoreResult<std::optional<DownloadRecord>> download(qint64 id);

    // The user answered No: the file is never sent.
    StoreStatus setUploadDeclined(qint64 id);

    // --- The upload queue's part ---

    // Waiting files and attempts found in flight, in the order of the downloads.
    StoreResult<std::vector<DownloadRecord>> queuedUploads();
    StoreResult<int> waitingCount();
    // Moves the row to Sending and counts the attempt, when it is waiting, in flight (the caller
    // holds its lock, so whoever sent it died), or, with chosenNow, not yet offered. None when the
    // row is in another state: sent, declined, gone ... it is then not sent.
    StoreResult<std::optional<DownloadRecord>> beginAttempt(qint64 id, bool chosenNow);
    // Records how an attempt ended.
    StoreStatus finishAttempt(qint64 id, UploadState state, int statusCode, const QDateTime &nextAttempt,
                              const QString &error);

private:
    StoreStatus ensureOpen();
    StoreStatus migrate(int fromVersion);
    StoreStatus failure(const QString &what, const QString &detail);
    // The download rows the SQL after FROM selects (a WHERE and an ORDER BY), its ? bound in turn.
    StoreResult<std::vector<DownloadRecord>> selectDownloads(const QString &condition, const QVariantList &values = {});

    QString m_path;
    Options m_options;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
    int m_schemaVersion = 0;
};
