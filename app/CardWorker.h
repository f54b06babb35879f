#pragma once

#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadReporter.h"
#include "history/CardIdentity.h"
#include "history/HistorySnapshot.h"
#include "history/HistoryStore.h"
#include "history/UploadQueue.h"
#include "upload/HttpClient.h"
#include "upload/Upload.h"
#include "upload/UploadReporter.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

// What the window hands over for an upload: the texts of the settings edits as they stand when
// the user answered the question.
struct UploadRequest
{
    QString company;
    QString user;
    QString password;
    QString fileName;
    HttpLimits limits;
};

// The one place where card and network work runs: it lives on a thread of its own, owns the card
// connection (every PC/SC call but the monitor's waits is made here, as pcsc-lite wants one
// context per thread) and the download being built, and is only ever called by queued calls.
// What the download and the upload report, and the end of each piece of work, are signals, in the
// order they happened.
class CardWorker : public QObject, private DownloadReporter, private UploadReporter
{
    Q_OBJECT

public:
    CardWorker();
    ~CardWorker() override;

    // Each runs on the worker's thread, called through QMetaObject::invokeMethod.
    void listReaders();
    // The monitor's notices go to receiver, on the monitor's thread.
    void startMonitor(const QString &readerName, TachoCard::CardStateReceiver *receiver, std::uint32_t tag);
    void disconnectCard();
    void identifyCard();
    void runDownload(const QString &folder);
    void uploadFile(const UploadRequest &request);

    // --- The history and the upload queue, both created and used on the worker's thread ---

    // Opens the history at path and starts the upload queue with the credentials and limits the
    // window has now. The queue's first pass (every waiting file) comes after the card monitor
    // has started, so that a slow server never delays the first identification.
    void openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits);
    // The settings edits changed: a change of the credentials lifts a 401's hold on the queue.
    void setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits);
    // The upload question ended without an upload: declined (the user's No) or not sent.
    void uploadNotSent(bool declined);
    void loadHistory();
    // Powers a held card down, ends the monitor and releases the context: the last call.
    void release();
    void setClock(std::function<QDateTime()> clock);

signals:
    // --- What the work reports as it goes; the log lines also come from the monitor's thread ---
    void logged(const QString &line);
    void statusReported(const QString &text);
    void cardInfoReported(const QString &text);
    void cardConnectionChanged(bool connected);
    void downloadRunStarted();
    void progressReported(int done, int total);

    // --- The end of each piece of work ---
    void readersListed(bool listed, const QStringList &readers);
    // identified: a tachograph card whose holder was read, ready to be downloaded.
    void identificationFinished(bool identified);
    void runFinished(const DownloadRunResult &result);
    void uploadFinished(const UploadOutcome &outcome);

    // The card tab's line under the holder of the card just identified.
    void cardHistoryFound(const QString &line);
    void uploadsWaiting(int count);
    // A row of the history changed: a run, an answer, an upload attempt.
    void historyChanged();
    void historyLoaded(const HistorySnapshot &snapshot);

private:
    void AddLog(const QString &text) override;
    void SetStatus(const QString &text) override;
    void SetCardInfo(const QString &text) override;
    void cardConnected(bool connected) override;
    void identificationStarted() override;
    void cardIdentified() override;
    void runStarted() override;
    void setProgress(int done, int total) override;

    void recordRun(const DownloadRunResult &result, const QString &folder);
    void noteIdentifiedCard();
    void startQueueOnce();
    UploadOutcome sendToServer(UploadReporter &reporter, const QByteArray &data, const QString &fileName,
                               const UploadCredentials &credentials);
    // The history's time: the clock that names the files, in UTC.
    QDateTime nowUtc() const;

    CardDownload m_download{*this};

    std::unique_ptr<HistoryStore> m_history;
    std::unique_ptr<UploadQueue> m_queue;
    bool m_queueStarted = false;
    HttpLimits m_uploadLimits;
    // The exchange of the user's own upload is told to the window; a retry's goes to the log only,
    // so that it never takes the status bar from the work the user sees.
    bool m_userUpload = false;
    bool m_senderCalled = false;
    // The history's row of the download the upload question is about; 0 when it has none.
    qint64 m_offeredDownload = 0;
    // The card the last identification read, for a run that fails before it reads it again.
    CardIdentity m_identifiedCard;
    bool m_identified = false;
};
