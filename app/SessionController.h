#pragma once

#include "app/CardPresence.h"
#include "app/ReaderSelection.h"
#include "app/SessionState.h"
#include "app/WorkerThread.h"
#include "download/CardDownload.h"
#include "history/HistorySnapshot.h"
#include "history/UploadQueue.h"
#include "upload/HttpClient.h"
#include "upload/Upload.h"

#include <QDateTime>
#include <QObject>

#include <functional>
#include <optional>

class CardWorker;
class NetworkWorker;
struct UploadRequest;

// How the upload question is put for the download just written.
struct UploadQuestion
{
    QString text;
    // Its signatures do not verify: sending it takes a deliberate "Ano".
    bool warning = false;
};

// The order of the work of one session, without a window: the state and the one place that
// changes it, the card worker and its thread, the card presence and the reader selection, what
// runs when work has ended, and which controls can be used. The view shows what it signals and
// hands it the user's actions.
class SessionController : public QObject
{
    Q_OBJECT

public:
    explicit SessionController(QObject *parent = nullptr);
    ~SessionController() override;

    // Starts the card and the network workers on their threads; until then no work is done.
    void startWorkers();
    // The program is ending and nobody waits for the work: a run stops at its next command (what
    // was read is written as an incomplete download), the exchange with the server in flight ends
    // at once and its file stays waiting. Any thread may call it.
    void endWorkNow();
    // Powers a held card down, ends the monitor and the workers: the last call. Only work that has
    // ended is waited for: a close waits for running work before it comes here.
    void stop();

    // The reader list is read; the settings' stored reader is watched whenever it is listed.
    void start(const QString &savedReader);

    SessionState state() const { return m_state; }
    bool isBusy() const { return ::isBusy(m_state); }
    EnabledControls controls() const;
    bool cardPresent() const { return m_presence.present(); }
    // A card was inserted while work ran; it is identified when the work has ended.
    bool cardWaiting() const { return m_presence.insertionPending(); }
    const QString &status() const { return m_status; }
    const QString &cardInfo() const { return m_cardInfo; }
    CardPresence &presence() { return m_presence; }
    ReaderSelection &readers() { return m_readers; }

    // --- The user's actions and what the view sets ---
    void setStatus(const QString &text);
    void setCardInfo(const QString &text);
    void identifyCard();
    // A run of the identified card into folder.
    void startRun(const QString &folder);
    UploadQuestion uploadQuestion() const;
    void questionAnswered(bool yes, const UploadRequest &request);
    void uploadFile(const UploadRequest &request);
    void changeReader();
    void pickReader(int index) { m_readers.pick(index); }
    // A close (the window's, a termination request) as soon as running work has ended. A run is
    // finished first (whoever closes mid-run wants the download); an exchange with the server
    // ends at once and its file stays waiting.
    void closeWhenIdle();
    void setDownloadClock(std::function<QDateTime()> clock);

    // --- The history (the card worker's) and the upload queue (the network worker's) ---
    void openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits);
    void setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits);
    void loadHistory();
    // A download of the history that was never sent goes to the upload queue.
    void sendFromHistory(qint64 downloadId);

    // --- The card worker's results; public so that a session can be driven without one ---
    void readersListed(bool listed, const QStringList &readers);
    // The card tab's text and the line of the card's history, as the worker reports them.
    void reportCardInfo(const QString &text);
    void reportCardHistory(const QString &line);
    void identificationFinished(bool identified);
    void runFinished(const DownloadRunResult &result, qint64 downloadId = 0, const QByteArray &bytes = {});
    void uploadFinished();

signals:
    void controlsChanged(const EnabledControls &controls);
    void statusChanged(const QString &text);
    void cardInfoChanged(const QString &text);
    void cardPanelChanged(const QString &text);
    void logLine(const QString &line);
    void logCleared();
    void progressChanged(int done, int total);
    void readerListChanged(const QStringList &readers, int current);
    void choosingReaderChanged(bool choosing);
    // A complete download was written: the user is asked whether to send it.
    void uploadOffered(const QString &fileName);
    void errorOccurred(const QString &text);
    // Work that a close waited for has ended.
    void closeReady();
    // The history and the upload queue, as the workers keep them.
    void cardHistoryFound(const QString &line);
    void uploadsWaiting(int count);
    void historyChanged();
    void historyLoaded(const HistorySnapshot &snapshot);

private:
    void connectCardWorker();
    void connectNetworkWorker();
    void connectPresence();
    void connectReaders();
    void setState(SessionState state);
    void updateControls();
    // Work has ended: what waited for that (a close, a card inserted meanwhile) runs now.
    void afterWork();
    void requestReaderList();
    void watchReader(const QString &reader);
    void cardInserted(bool deferred);
    void cardRemoved();
    void uploadNotSent(bool declined);
    // The queue sends nothing but the user's own file during a run and its question.
    void holdQueue(bool held);
    void setCardPanel(const QString &text);

    SessionState m_state = SessionState::Starting;
    WorkerThread m_cardThread{QStringLiteral("card worker")};
    CardWorker *m_cardWorker = nullptr;
    WorkerThread m_networkThread{QStringLiteral("network worker")};
    NetworkWorker *m_networkWorker = nullptr;
    // The credentials and limits the network worker opens the queue with, once the history is made.
    UploadCredentials m_uploadCredentials;
    HttpLimits m_uploadLimits;
    CardPresence m_presence;
    ReaderSelection m_readers;
    // The download the upload question is about.
    DownloadVerification m_verification;
    qint64 m_offeredDownload = 0;
    QByteArray m_offeredBytes;
    QString m_status;
    QString m_cardInfo;
    // The status text an identification that waited for other work restores when it succeeds.
    std::optional<QString> m_statusToKeep;
    // What the running identification found for the card tab, shown at its end.
    bool m_identificationShown = false;
    std::optional<QString> m_foundCardInfo;
    std::optional<QString> m_foundCardHistory;
    QString m_statusBeforeOutage;
    bool m_closePending = false;
};
