#include "app/NetworkWorker.h"

#include <utility>

namespace {

// A retry's exchange is told in the log only: the status bar belongs to what the user is doing.
class LogOnlyUploadReporter final : public UploadReporter
{
public:
    explicit LogOnlyUploadReporter(std::function<void(const QString &)> log)
        : m_log(std::move(log))
    { }
    void AddLog(const QString &text) override { m_log(text); }
    void SetStatus(const QString &) override { }

private:
    std::function<void(const QString &)> m_log;
};

} // namespace

NetworkWorker::NetworkWorker() = default;

NetworkWorker::~NetworkWorker() = default;

void NetworkWorker::AddLog(const QString &text)
{
    emit logged(text);
}

void NetworkWorker::SetStatus(const QString &text)
{
    emit statusReported(text);
}

void NetworkWorker::openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits)
{
    m_uploadLimits = limits;
    m_history = std::make_unique<HistoryStore>(path);
    if (const StoreStatus opened = m_history->open(); !opened.ok())
        AddLog(opened.error);
    m_queue = std::make_unique<UploadQueue>(
            *m_history, [this](const QByteArray &data, const QString &fileName, const UploadCredentials &with) {
                if (m_userUpload)
                    return sendToServer(*this, data, fileName, with);
                LogOnlyUploadReporter logOnly([this](const QString &line) { AddLog(line); });
                prepareExchange();
                m_retryInFlight = true;
                UploadOutcome outcome = sendToServer(logOnly, data, fileName, with);
                m_retryInFlight = false;
                return outcome;
            });
    m_queue->setClock([this] { return nowUtc(); });
    m_queue->setCredentials(credentials);
    connect(m_queue.get(), &UploadQueue::logLine, this, [this](const QString &line) {
        AddLog(line);
        emit historyChanged();
    });
    connect(m_queue.get(), &UploadQueue::waitingCountChanged, this, &NetworkWorker::uploadsWaiting);
    m_queue->refreshWaitingCount();
    // Queued: a hold asked for meanwhile (a run already started) comes first.
    QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_queue)
                    m_queue->start();
            },
            Qt::QueuedConnection);
}

void NetworkWorker::setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits)
{
    m_uploadLimits = limits;
    if (m_queue)
        m_queue->setCredentials(credentials);
}

void NetworkWorker::setHeld(bool held)
{
    if (m_queue)
        m_queue->setHeld(held);
}

void NetworkWorker::uploadFile(const UploadRequest &request)
{
    prepareExchange();
    m_uploadLimits = request.limits;
    const UploadCredentials credentials{request.company, request.user, request.password};
    UploadOutcome outcome;
    if (m_queue) {
        m_queue->setCredentials(credentials);
        m_senderCalled = false;
        m_userUpload = true;
        outcome = m_queue->sendChosen(request.downloadId, request.data, request.fileName);
        m_userUpload = false;
        if (!m_senderCalled) {
            // The queue found the file gone or changed on the disk: nothing went out.
            AddLog(QStringLiteral("HTTP Upload failed: ") + QString::fromStdString(outcome.failureReason));
            SetStatus(QStringLiteral("Odeslání souboru na server selhalo"));
        }
    } else {
        outcome = sendToServer(*this, request.data, request.fileName, credentials);
    }
    // The outcome first; what fell due meanwhile goes when the window lets the queue go.
    emit uploadFinished(outcome);
    emit historyChanged();
}

UploadOutcome NetworkWorker::sendToServer(UploadReporter &reporter, const QByteArray &data, const QString &fileName,
                                          const UploadCredentials &credentials)
{
    m_senderCalled = true;
    UploadInput input;
    input.company = credentials.company;
    input.user = credentials.user;
    input.password = credentials.password;
    input.fileName = fileName;
    input.data = data;
    input.limits = m_uploadLimits;
    input.cancel = &m_cancel;
    return UploadFile(reporter, input);
}

void NetworkWorker::uploadNotSent(qint64 downloadId, bool declined)
{
    if (declined && downloadId != 0 && m_history) {
        if (const StoreStatus recorded = m_history->setUploadDeclined(downloadId); !recorded.ok())
            AddLog(recorded.error);
        emit historyChanged();
    }
}

void NetworkWorker::sendFromHistory(qint64 downloadId)
{
    if (m_queue)
        m_queue->sendFromHistory(downloadId);
}

void NetworkWorker::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
}

QDateTime NetworkWorker::nowUtc() const
{
    return m_clock().toUTC();
}

void NetworkWorker::release()
{
    // The database connection belongs to this thread: it is closed here, not where the worker is
    // deleted.
    m_queue.reset();
    m_history.reset();
}

void NetworkWorker::prepareExchange()
{
    std::lock_guard lock(m_cancelMutex);
    if (!m_ending)
        m_cancel.reset();
}

void NetworkWorker::cancel()
{
    std::lock_guard lock(m_cancelMutex);
    m_ending = true;
    m_cancel.cancel();
}

void NetworkWorker::cancelRetry()
{
    std::lock_guard lock(m_cancelMutex);
    if (m_retryInFlight)
        m_cancel.cancel();
}
