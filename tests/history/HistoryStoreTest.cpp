#include "HistoryTestSupport.h"

#include "history/HistoryStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

namespace {

class HistoryStoreTest : public testing::Test
{
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("data/Merkalo/Korvan/history.sqlite"));
};

// A connection of the test's own, as another program would open the file.
class RawConnection
{
public:
    explicit RawConnection(const QString &path)
        : m_name(QStringLiteral("raw-%1").arg(++counter))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        db.open();
    }
    ~RawConnection()
    {
        QSqlDatabase::database(m_name).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool exec(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        return query.exec(statement);
    }
    QVariant value(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        return query.exec(statement) && query.next() ? query.value(0) : QVariant();
    }

private:
    static inline int counter = 0;
    QString m_name;
};

TEST_F(HistoryStoreTest, RoundTripOfEveryField)
{
    HistoryStore store(path);
    ASSERT_TRUE(store.open().ok());
    EXPECT_EQ(store.schemaVersion(), HistoryStore::currentSchemaVersion());

    DownloadRecord record = sampleDownload(QStringLiteral("CZ12345678901234"), utc(2026, 11, 12, 8, 30),
                                           QStringLiteral("/home/office/karty"));
    record.card.issuingState = 0x0C;
    record.generation = 2;
    record.version = 1;
    record.verdict = Overall::VerifiedTestRoot;
    record.uploadState = UploadState::Waiting;
    record.uploadStatus = 503;
    record.uploadAttempts = 3;
    record.nextAttemptUtc = utc(2026, 11, 12, 8, 34);
    record.uploadError = QStringLiteral("the server answered 503");
    const StoreResult<qint64> id = store.recordDownload(record);
    ASSERT_TRUE(id.ok()) << id.error.toStdString();
    record.id = id.value;

    DownloadRecord unverified = sampleDownload(QStringLiteral("CZ2"), utc(2026, 11, 13));
    unverified.outcome = DownloadOutcome::NotWritten;
    unverified.verdict.reset();
    unverified.sha256.clear();
    unverified.nextAttemptUtc = QDateTime();
    const StoreResult<qint64> second = store.recordDownload(unverified);
    ASSERT_TRUE(second.ok()) << second.error.toStdString();
    unverified.id = second.value;

    const StoreResult<std::vector<DownloadRecord>> all = store.downloads();
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all.value.size(), 2u);
    for (const auto &[stored, expected] : {std::pair{all.value[1], record}, std::pair{all.value[0], unverified}}) {
        EXPECT_EQ(stored.id, expected.id);
        EXPECT_EQ(stored.timeUtc, expected.timeUtc);
        EXPECT_EQ(stored.card, expected.card);
        EXPECT_EQ(stored.generation, expected.generation);
        EXPECT_EQ(stored.version, expected.version);
        EXPECT_EQ(stored.fileName, expected.fileName);
        EXPECT_EQ(stored.folder, expected.folder);
        EXPECT_EQ(stored.size, expected.size);
        EXPECT_EQ(stored.sha256, expected.sha256);
        EXPECT_EQ(stored.outcome, expected.outcome);
        EXPECT_EQ(stored.verdict, expected.verdict);
        EXPECT_EQ(stored.uploadState, expected.uploadState);
        EXPECT_EQ(stored.uploadStatus, expected.uploadStatus);
        EXPECT_EQ(stored.uploadAttempts, expected.uploadAttempts);
        EXPECT_EQ(stored.nextAttemptUtc, expected.nextAttemptUtc);
        EXPECT_EQ(stored.uploadError, expected.uploadError);
    }
    EXPECT_EQ(all.value[1].filePath(), QStringLiteral("/home/office/karty/") + record.fileName);

    // The history names the company's drivers: the owner's only, and so is every folder made for it.
    EXPECT_EQ(QFileInfo(path).permissions() & 0x0077, 0);
    for (const char *folder : {"data", "data/Merkalo", "data/Merkalo/Korvan"})
        EXPECT_EQ(QFileInfo(dir.filePath(QString::fromLatin1(folder))).permissions() & 0x0077, 0) << folder;
}

// The first folder that cannot be made is named, with the system's reason.
TEST_F(HistoryStoreTest, AFolderThatCannotBeMadeIsNamed)
{
    QFile plain(dir.filePath(QStringLiteral("data")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    HistoryStore store(path);
    EXPECT_EQ(store.open().error,
              QStringLiteral("history %1: cannot open: cannot create the folder %2: Not a directory")
                      .arg(path, dir.filePath(QStringLiteral("data/Merkalo"))));
    EXPECT_FALSE(store.isOpen());
}

TEST_F(HistoryStoreTest, LastCompleteDownloadAndTheDriversList)
{
    HistoryStore store(path);
    const QDateTime now = utc(2026, 12, 1);
    std::vector<DownloadRecord> records = {
            sampleDownload(QStringLiteral("RECENT"), utc(2026, 11, 25)),
            sampleDownload(QStringLiteral("OLD"), utc(2026, 10, 1)),
            sampleDownload(QStringLiteral("OLD"), utc(2026, 9, 1)),
            sampleDownload(QStringLiteral("OLDEST"), utc(2026, 8, 1)),
            sampleDownload(QStringLiteral("INCOMPLETE"), utc(2026, 11, 30)),
    };
    // A later incomplete download leaves the last complete one as it was.
    DownloadRecord incomplete = sampleDownload(QStringLiteral("OLD"), utc(2026, 11, 30));
    incomplete.outcome = DownloadOutcome::Incomplete;
    records.push_back(incomplete);
    records[4].outcome = DownloadOutcome::Incomplete;
    ASSERT_TRUE(store.recordDownloads(records).ok());
    // Another state's card of the same number is another card.
    CardIdentity slovak{0x2D, QStringLiteral("RECENT"), QStringLiteral("KOVÁČ"), QStringLiteral("PETER")};
    ASSERT_TRUE(store.noteIdentified(slovak, utc(2026, 11, 30)).ok());

    const auto last = store.lastCompleteDownload(0x0C, QStringLiteral("OLD"));
    ASSERT_TRUE(last.ok());
    EXPECT_EQ(last.value, utc(2026, 10, 1));
    EXPECT_EQ(store.lastCompleteDownload(0x0C, QStringLiteral("INCOMPLETE")).value, std::nullopt);
    EXPECT_EQ(store.lastCompleteDownload(0x2D, QStringLiteral("RECENT")).value, std::nullopt);

    const auto drivers = store.drivers(now);
    ASSERT_TRUE(drivers.ok());
    std::vector<std::pair<int, QString>> order;
    for (const DriverRow &row : drivers.value)
        order.emplace_back(row.card.issuingState, row.card.cardNumber);
    // Never downloaded completely first, then the oldest download.
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[2], std::pair(0x0C, QStringLiteral("OLDEST")));
    EXPECT_EQ(order[3], std::pair(0x0C, QStringLiteral("OLD")));
    EXPECT_EQ(order[4], std::pair(0x0C, QStringLiteral("RECENT")));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(drivers.value[static_cast<std::size_t>(i)].lastComplete);
        EXPECT_TRUE(drivers.value[static_cast<std::size_t>(i)].due);
    }
    EXPECT_TRUE(drivers.value[3].due);
    EXPECT_EQ(drivers.value[4].daysSince, 6);
    EXPECT_FALSE(drivers.value[4].due);
    EXPECT_EQ(drivers.value[4].card.holder(), QStringLiteral("JAN NOVÁK"));
}

// Version 1 written by an earlier program, brought to a version 2 that adds a column.
TEST_F(HistoryStoreTest, MigratesAnOlderSchemaAndKeepsItsRows)
{
    {
        HistoryStore old(path);
        ASSERT_TRUE(old.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    }
    HistoryStore::Options options;
    options.migrations.push_back(
            {2, {QStringLiteral("ALTER TABLE downloads ADD COLUMN note TEXT NOT NULL DEFAULT 'migrated'")}});
    HistoryStore store(path, options);
    ASSERT_TRUE(store.open().ok());
    EXPECT_EQ(store.schemaVersion(), 2);
    EXPECT_EQ(store.downloads().value.size(), 1u);

    RawConnection raw(path);
    EXPECT_EQ(raw.value(QStringLiteral("PRAGMA user_version")).toInt(), 2);
    EXPECT_EQ(raw.value(QStringLiteral("SELECT note FROM downloads")).toString(), QStringLiteral("migrated"));
}

TEST_F(HistoryStoreTest, AFailingMigrationChangesNothing)
{
    {
        HistoryStore old(path);
        ASSERT_TRUE(old.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    }
    HistoryStore::Options options;
    options.migrations.push_back(
            {2, {QStringLiteral("ALTER TABLE downloads ADD COLUMN note TEXT"), QStringLiteral("NOT SQL AT ALL")}});
    HistoryStore store(path, options);
    const StoreStatus opened = store.open();
    EXPECT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error.contains(QStringLiteral("version 2"))) << opened.error.toStdString();
    EXPECT_FALSE(store.recordDownload(sampleDownload(QStringLiteral("CZ2"), utc(2026, 1, 3))).ok());

    RawConnection raw(path);
    EXPECT_EQ(raw.value(QStringLiteral("PRAGMA user_version")).toInt(), 1);
    EXPECT_FALSE(raw.exec(QStringLiteral("SELECT note FROM downloads")));
    EXPECT_EQ(raw.value(QStringLiteral("SELECT count(*) FROM downloads")).toInt(), 1);
}

TEST_F(HistoryStoreTest, ANewerSchemaIsLeftAlone)
{
    {
        HistoryStore old(path);
        ASSERT_TRUE(old.open().ok());
    }
    {
        RawConnection raw(path);
        ASSERT_TRUE(raw.exec(QStringLiteral("PRAGMA user_version = 7")));
    }
    HistoryStore store(path);
    const StoreStatus opened = store.open();
    EXPECT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error.contains(QStringLiteral("newer"))) << opened.error.toStdString();
    EXPECT_FALSE(store.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    RawConnection raw(path);
    EXPECT_EQ(raw.value(QStringLiteral("PRAGMA user_version")).toInt(), 7);
}

// Every operation fails with a text; nothing crashes and the file's bytes stay for whoever looks.
TEST_F(HistoryStoreTest, ADamagedFileGivesErrorsAndIsKept)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QByteArray junk(8192, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 7919 + 13) % 251);
    ASSERT_TRUE(writeFile(path, junk));

    HistoryStore store(path);
    const StoreStatus opened = store.open();
    EXPECT_FALSE(opened.ok());
    EXPECT_TRUE(opened.error.contains(path));
    EXPECT_FALSE(store.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    EXPECT_FALSE(store.noteIdentified({1, QStringLiteral("CZ1"), {}, {}}, utc(2026, 1, 2)).ok());
    EXPECT_FALSE(store.lastCompleteDownload(1, QStringLiteral("CZ1")).ok());
    EXPECT_FALSE(store.drivers(utc(2026, 1, 2)).ok());
    EXPECT_FALSE(store.queuedUploads().ok());
    EXPECT_FALSE(store.beginAttempt(1, true).ok());

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), junk);
}

TEST_F(HistoryStoreTest, ReadOnlyDatabase)
{
    {
        HistoryStore writer(path);
        ASSERT_TRUE(writer.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    }
    // The window's reading connection: reads, and every write fails.
    HistoryStore reader(path, {.access = HistoryStore::Access::ReadOnly});
    ASSERT_TRUE(reader.open().ok());
    EXPECT_EQ(reader.downloads().value.size(), 1u);
    EXPECT_FALSE(reader.recordDownload(sampleDownload(QStringLiteral("CZ2"), utc(2026, 1, 3))).ok());

    if (geteuid() == 0)
        GTEST_SKIP() << "root writes to read-only files";
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner));
    HistoryStore store(path);
    const StoreResult<qint64> recorded = store.recordDownload(sampleDownload(QStringLiteral("CZ3"), utc(2026, 1, 4)));
    EXPECT_FALSE(recorded.ok());
    EXPECT_FALSE(recorded.error.isEmpty());
}

TEST_F(HistoryStoreTest, LockedByAnotherProgramFailsThenRecovers)
{
    HistoryStore store(path, {.busyTimeoutMs = 50});
    ASSERT_TRUE(store.open().ok());
    {
        RawConnection other(path);
        ASSERT_TRUE(other.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        const StoreResult<qint64> recorded =
                store.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2)));
        EXPECT_FALSE(recorded.ok());
        EXPECT_TRUE(recorded.error.contains(QStringLiteral("locked"))) << recorded.error.toStdString();
        EXPECT_FALSE(store.beginAttempt(1, true).ok());
        other.exec(QStringLiteral("ROLLBACK"));
    }
    EXPECT_TRUE(store.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
}

// A file size limit stands in for a full disk: the write fails the way a full disk fails it.
TEST_F(HistoryStoreTest, AFullDiskFailsTheWriteAndKeepsWhatWasThere)
{
    HistoryStore store(path);
    ASSERT_TRUE(store.recordDownload(sampleDownload(QStringLiteral("KEPT"), utc(2026, 1, 2))).ok());

    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit tight = previous;
    tight.rlim_cur = static_cast<rlim_t>(QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size());
    setrlimit(RLIMIT_FSIZE, &tight);
    std::vector<DownloadRecord> many;
    for (int i = 0; i < 2000; ++i)
        many.push_back(sampleDownload(QStringLiteral("LOST%1").arg(i), utc(2026, 1, 3)));
    const StoreStatus full = store.recordDownloads(many);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(full.ok());
    EXPECT_FALSE(full.error.isEmpty());
    const auto rows = store.downloads();
    ASSERT_TRUE(rows.ok()) << rows.error.toStdString();
    ASSERT_EQ(rows.value.size(), 1u);
    EXPECT_EQ(rows.value[0].card.cardNumber, QStringLiteral("KEPT"));
    EXPECT_TRUE(store.recordDownload(sampleDownload(QStringLiteral("AFTER"), utc(2026, 1, 4))).ok());
}

// The database appears after the reader was made: the reader opens it at its next read.
TEST_F(HistoryStoreTest, AStoreThatCouldNotOpenTriesAgain)
{
    HistoryStore reader(path, {.access = HistoryStore::Access::ReadOnly});
    EXPECT_FALSE(reader.downloads().ok());
    HistoryStore writer(path);
    ASSERT_TRUE(writer.recordDownload(sampleDownload(QStringLiteral("CZ1"), utc(2026, 1, 2))).ok());
    const auto rows = reader.downloads();
    ASSERT_TRUE(rows.ok()) << rows.error.toStdString();
    EXPECT_EQ(rows.value.size(), 1u);
}

TEST(CardIdentity, FromADownloadFile)
{
    QByteArray identification(143, '\0');
    identification[0] = 0x0C;
    identification.replace(1, 16, "CZ12345678901234");
    identification.replace(66, 5, "NOV\xC1K");
    identification.replace(102, 3, "JAN");
    QByteArray download;
    const auto record = [&](const char header[5], const QByteArray &content) {
        download.append(header, 5);
        download.append(content);
    };
    record("\x00\x02\x00\x00\x04", QByteArray(4, 'x'));
    record("\x05\x20\x00\x00\x8F", identification);
    const CardIdentity identity = cardIdentityFromDownload(download);
    EXPECT_EQ(identity.issuingState, 0x0C);
    EXPECT_EQ(identity.cardNumber, QStringLiteral("CZ12345678901234"));
    EXPECT_EQ(identity.holder(), QStringLiteral("JAN NOVÁK"));
    // A record that claims more than the file holds is not read past its end.
    download.chop(10);
    EXPECT_FALSE(cardIdentityFromDownload(download).known());
}

} // namespace
