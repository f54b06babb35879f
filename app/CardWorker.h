#pragma once

#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadReporter.h"
#include "history/CardIdentity.h"
#include "history/HistorySnapshot.h"
#include "history/HistoryStore.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

// The one place where card work runs: it lives on a thread of its own, owns the card connection
// (every PC/SC call but the monitor's waits is made here, as pcsc-lite wants one context per
// thread), the download being built and the history's first connection, and is only ever called by
// queued calls. What the download reports, and the end of each piece of work, are signals, in the
// order they happened. It never touches the network.
class CardWorker : public QObject, private DownloadReporter
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

    // --- The history, created and used on the worker's thread ---

    // Opens (and makes or migrates) the history at path; historyOpened follows, so that the
    // network worker opens its own connection to a database that is ready.
    void openHistory(const QString &path);
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
    // downloadId: the history's row of the download (0 when it has none); bytes: what was written.
    void runFinished(const DownloadRunResult &result, qint64 downloadId, const QByteArray &bytes);
    void historyOpened(const QString &path);

    // The card tab's line under the holder of the card just identified.
    void cardHistoryFound(const QString &line);
    // A row of the history changed: an identification, a run.
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

    // The history's row of the run, 0 when it has none.
    qint64 recordRun(const DownloadRunResult &result, const QString &folder);
    void noteIdentifiedCard();
    // The history's time: the clock that names the files, in UTC.
    QDateTime nowUtc() const;

    CardDownload m_download{*this};

    std::unique_ptr<HistoryStore> m_history;
    // The card the last identification read, for a run that fails before it reads it again.
    CardIdentity m_identifiedCard;
    bool m_identified = false;
};
