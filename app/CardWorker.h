#pragma once

#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadReporter.h"
#include "upload/HttpClient.h"
#include "upload/Upload.h"
#include "upload/UploadReporter.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <functional>

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
// What the download and the upload report goes to the window as queued calls too, in the order
// it was reported; the end of each piece of work is a signal.
class CardWorker : public QObject, private DownloadReporter, private UploadReporter
{
    Q_OBJECT

public:
    // Reports go to target, called on the thread of context. The upload's log lines and status
    // texts go there too: they are the download's kinds of report.
    CardWorker(QObject *context, DownloadReporter &target);
    ~CardWorker() override;

    // Each runs on the worker's thread; the window calls them through QMetaObject::invokeMethod.
    void listReaders();
    void startMonitor(const QString &readerName, TachoCard::CardStateReceiver *receiver, std::uint32_t tag);
    void disconnectCard();
    void identifyCard();
    void readCardFile(const QString &title, std::uint16_t fileId, bool Signed);
    void runDownload(const QString &folder);
    void uploadFile(const UploadRequest &request);
    // Powers a held card down, ends the monitor and releases the context: the last call.
    void release();
    void setClock(std::function<QDateTime()> clock);

signals:
    void readersListed(bool listed, const QStringList &readers);
    void identificationFinished();
    void cardFileRead(bool done);
    void runFinished(const DownloadRunResult &result);
    void uploadFinished(const UploadOutcome &outcome);

private:
    void AddLog(const QString &text) override;
    void SetStatus(const QString &text) override;
    void SetCardInfo(const QString &text) override;
    void setCardPanel(const QString &text) override;
    void setReadButtonEnabled(bool enabled) override;
    void clearLog() override;
    void setProgress(int done, int total) override;

    template<typename Call>
    void toWindow(Call call);

    QObject *m_context;
    DownloadReporter &m_target;
    CardDownload m_download{*this};
};
