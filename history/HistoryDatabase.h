#pragma once

// One connection to the history's SQLite file: opening it (the file and its folders made for the
// owner only), the schema and bringing it up to date. A connection that could not open tries
// again at the next ensureOpen, so a history that was locked or missing recovers on its own.

#include "history/StoreResult.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <vector>

class QSqlError;

// The database's own text when there is one: it names the constraint or the lock.
QString sqlText(const QSqlError &error);

class HistoryDatabase
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

    HistoryDatabase(QString path, Options options);
    ~HistoryDatabase();
    HistoryDatabase(const HistoryDatabase &) = delete;
    HistoryDatabase &operator=(const HistoryDatabase &) = delete;

    // Opens the database, creating it (owner-only) and bringing its schema up to date.
    StoreStatus open();
    StoreStatus ensureOpen();
    bool isOpen() const { return m_open; }
    const QString &path() const { return m_path; }
    // The schema version found at the last open; 0 before one succeeded.
    int schemaVersion() const { return m_schemaVersion; }
    QSqlDatabase &connection() { return m_db; }

    // "history <path>: <what>: <detail>", the form of every failure text of the history.
    StoreStatus failure(const QString &what, const QString &detail) const;

private:
    StoreStatus migrate(int fromVersion);

    QString m_path;
    Options m_options;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
    int m_schemaVersion = 0;
};
