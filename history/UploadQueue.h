#pragma once

// The files the user chose to send that have not reached the fleet server yet. Lives on the worker
// thread beside the HistoryStore it uses; the queue's state is in the database, so it survives a
// restart, and a byte lock per file keeps two instances of the program from sending one file twice.
//
// A file is queued when the user's upload failed, or the server answered 5xx or 401, or when the
// user sends from the history a file that was never sent. Retries come after 1, 2, 4 ... and at
// most 60 minutes while the program runs, and for every waiting file at start, in the order of the
// downloads, each from the file on the disk and only while the file is still the one downloaded.
// 200 and 409 end a file's retries; a redirect or another refusal ends them as failed; 401 holds
// the queue until the credentials change. An exchange that finds no server ends the pass: the
// other files wait for the next attempt rather than each finding the same. An attempt cut off by a
// crash is made once more at the next start.

#include "history/HistoryStore.h"
#include "history/UploadLock.h"
#include "upload/Upload.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <set>

struct UploadCredentials
{
    QString company;
    QString user;
    QString password;

    friend bool operator==(const UploadCredentials &, const UploadCredentials &) = default;
};

// The exchange with the server; blocks until it ends. The program passes UploadFile.
using UploadSender =
        std::function<UploadOutcome(const QByteArray &data, const QString &fileName, const UploadCredentials &)>;

class UploadQueue : public QObject
{
    Q_OBJECT

public:
    // The lock file lies beside the store's database: "<database>.upload-lock".
    UploadQueue(HistoryStore &store, UploadSender sender, QObject *parent = nullptr);

    // The current time in UTC; tests fix it and call processDue themselves.
    void setClock(std::function<QDateTime()> clock);

    // 1, 2, 4 ... 60 minutes after the failedAttempts-th failure.
    static std::chrono::minutes retryDelay(int failedAttempts);

    // The user answered Yes for this download. Sent now, whatever the queue's schedule or pause,
    // and queued when it fails. When the history cannot take part (no row, a database failure),
    // data is sent as it is, so that the history never keeps a chosen upload from happening.
    UploadOutcome sendChosen(qint64 downloadId, const QByteArray &data, const QString &fileName);

    bool isPaused() const { return m_paused; }
    bool isHeld() const { return m_held; }
    int waitingCount() const { return m_waitingCount; }
    // Reads the count from the database and signals it when it differs from the last one: at
    // start, the files an earlier run left waiting.
    void refreshWaitingCount();
    // When the timer will next call processDue; invalid when it is stopped.
    QDateTime nextWakeUp() const;

public slots:
    // At program start: every waiting file now, then the schedule.
    void start();
    // The credentials as the user last committed them in the settings; a change lifts the hold
    // that a 401 put on the queue.
    void setCredentials(const UploadCredentials &credentials);
    // Sends every waiting file whose time has come, and sets the timer for the next one.
    void processDue();
    // The user asked from the history for a complete download that was never sent to be sent: it
    // joins the queue, due now, and goes as a retry would (not while held or paused, and not
    // before a server that was not reached is tried again).
    void sendFromHistory(qint64 downloadId);
    // While held, nothing is sent but what the user chooses: the program holds the queue during a
    // download run and the upload question, so that a retry never comes between them. Letting go
    // sends what fell due meanwhile.
    void setHeld(bool held);

signals:
    void waitingCountChanged(int count);
    // One line per event, for the log; never a credential.
    void logLine(const QString &line);

private:
    // NoServer: queued after an exchange that found no server (no answer at all).
    enum class Attempt { Ended, Queued, NoServer, Cancelled, Paused, Busy, NotAllowed, StoreFailed };

    Attempt attempt(qint64 id, bool chosenNow, UploadOutcome *outcome);
    void process(bool everyWaiting);
    void schedule();
    void log(const QString &fileName, const QString &text);

    HistoryStore &m_store;
    UploadSender m_sender;
    UploadLock m_lock;
    std::function<QDateTime()> m_clock;
    UploadCredentials m_credentials;
    bool m_paused = false;
    bool m_held = false;
    // A start that came while held: every waiting file goes when the hold ends.
    bool m_startPending = false;
    int m_waitingCount = 0;
    // Files another instance was sending at the last look: looked at again a minute later.
    std::set<qint64> m_busy;
    QTimer m_timer;
    QDateTime m_wakeUp;
    // After an exchange that found no server: no retry before the time that exchange's file was
    // given; an answer from the server clears it.
    QDateTime m_noServerUntil;
};
