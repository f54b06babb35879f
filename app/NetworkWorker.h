#pragma once

#include "app/UploadRequest.h"
#include "history/HistoryStore.h"
#include "history/UploadQueue.h"
#include "upload/HttpCancel.h"
#include "upload/Upload.h"
#include "upload/UploadReporter.h"

#include <QDateTime>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// The network's own worker: the user's upload and the queue's retries, on a thread of its own
// with its own connection to the history, so that no card ever waits for a server. Called only by
// queued calls, except cancel(), which any thread may call to end the exchange in flight at once.
class NetworkWorker : public QObject, private UploadReporter
{
    Q_OBJECT

public:
    NetworkWorker();
    ~NetworkWorker() override;

    // Opens the history at path (the card worker has made it) and starts the queue: every waiting
    // file now, then the schedule.
    void openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits);
    // Committed settings edits: a change of the credentials lifts a 401's hold on the queue.
    void setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits);
    // While held, the queue sends nothing but the user's own file: during a run and its question.
    void setHeld(bool held);
    void uploadFile(const UploadRequest &request);
    // The upload question ended without an upload: declined (the user's No) or not answered.
    void uploadNotSent(qint64 downloadId, bool declined);
    // The user asked from the history tab for a download never sent to be sent: queued as a retry.
    void sendFromHistory(qint64 downloadId);
    void setClock(std::function<QDateTime()> clock);
    // Closes the history's connection on the worker's thread: the last call.
    void release();

    // --- Thread-safe ---
    // Ends the exchange in flight and every later one at once: the program is ending. What was in
    // flight stays waiting in the queue.
    void cancel();
    // Ends a retry in flight so that the user's own file, queued behind it, goes now.
    void cancelRetry();

signals:
    void logged(const QString &line);
    void statusReported(const QString &text);
    void uploadFinished(const UploadOutcome &outcome);
    void uploadsWaiting(int count);
    // A row of the history changed: an answer, an upload attempt.
    void historyChanged();

private:
    void AddLog(const QString &text) override;
    void SetStatus(const QString &text) override;

    UploadOutcome sendToServer(UploadReporter &reporter, const QByteArray &data, const QString &fileName,
                               const UploadCredentials &credentials);
    // Makes the cancellation ready for the next exchange, unless the program is ending.
    void prepareExchange();
    QDateTime nowUtc() const;

    std::unique_ptr<HistoryStore> m_history;
    std::unique_ptr<UploadQueue> m_queue;
    HttpLimits m_uploadLimits;
    std::function<QDateTime()> m_clock = [] {
        return QDateTime::currentDateTimeUtc();
    };
    HttpCancel m_cancel;
    std::mutex m_cancelMutex; // a reset for the next exchange never crosses a cancel
    bool m_ending = false;
    std::atomic<bool> m_retryInFlight{false};
    // The exchange of the user's own upload is told to the window; a retry's goes to the log only,
    // so that it never takes the status bar from the work the user sees.
    bool m_userUpload = false;
    bool m_senderCalled = false;
};
