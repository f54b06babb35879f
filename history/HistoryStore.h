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
#include "history/HistoryDatabase.h"
#include "history/StoreResult.h"

#include <QDateTime>
#include <QString>
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
    using Access = HistoryDatabase::Access;
    using Migration = HistoryDatabase::Migration;
    using Options = HistoryDatabase::Options;

    static std::vector<Migration> schemaMigrations() { return HistoryDatabase::schemaMigrations(); }
    static int currentSchemaVersion() { return HistoryDatabase::currentSchemaVersion(); }
    // $XDG_DATA_HOME/Merkalo/Korvan/history.sqlite (normally ~/.local/share/...).
    static QString defaultPath();

    explicit HistoryStore(QString path);
    HistoryStore(QString path, Options options);

    // Opens the database, creating it (owner-only) and bringing its schema up to date.
    StoreStatus open() { return m_database.open(); }
    bool isOpen() const { return m_database.isOpen(); }
    const QString &path() const { return m_database.path(); }
    // The schema version found at the last open; 0 before one succeeded.
    int schemaVersion() const { return m_database.schemaVersion(); }

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

    // A complete download whose file was never sent: not offered (or the question went
    // unanswered), declined, or refused by the server. The user can send it from the history.
    static bool canSendFromHistory(const DownloadRecord &record);
    // Puts such a download into the queue, due at now, with its attempts counted afresh. The check
    // and the change are one statement, so a row another instance has queued or sent meanwhile is
    // left as it is. True when it was queued.
    StoreResult<bool> queueFromHistory(qint64 id, const QDateTime &now);

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
    // The download rows the SQL after FROM selects (a WHERE and an ORDER BY), its ? bound in turn.
    StoreResult<std::vector<DownloadRecord>> selectDownloads(const QString &condition, const QVariantList &values = {});

    HistoryDatabase m_database;
};
