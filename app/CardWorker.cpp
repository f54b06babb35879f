#include "app/CardWorker.h"

#include "history/DueRule.h"
#include "history/FileFingerprint.h"

#include <QTimer>

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

DownloadOutcome historyOutcome(DownloadRunResult::Outcome outcome)
{
    switch (outcome) {
    case DownloadRunResult::Outcome::Complete:
        return DownloadOutcome::Complete;
    case DownloadRunResult::Outcome::Incomplete:
        return DownloadOutcome::Incomplete;
    case DownloadRunResult::Outcome::NoFile:
    case DownloadRunResult::Outcome::WriteFailed:
        break;
    }
    return DownloadOutcome::NotWritten;
}

} // namespace

CardWorker::CardWorker()
{
    TachoCard::setLogSink([this](const std::string &line) { AddLog(QString::fromLatin1(line)); });
}

CardWorker::~CardWorker()
{
    TachoCard::setLogSink(nullptr);
}

// Each report is a signal: queued to the session's thread, they arrive in the order they were
// made, and those still queued when the session goes are dropped with it.
void CardWorker::AddLog(const QString &text)
{
    emit logged(text);
}

void CardWorker::SetStatus(const QString &text)
{
    emit statusReported(text);
}

void CardWorker::SetCardInfo(const QString &text)
{
    emit cardInfoReported(text);
}

void CardWorker::cardConnected(bool connected)
{
    emit cardConnectionChanged(connected);
}

void CardWorker::identificationStarted()
{
    m_identified = false;
}

void CardWorker::cardIdentified()
{
    m_identified = true;
}

void CardWorker::runStarted()
{
    m_identified = false;
    emit downloadRunStarted();
}

void CardWorker::setProgress(int done, int total)
{
    emit progressReported(done, total);
}

void CardWorker::listReaders()
{
    std::vector<std::string> readers;
    const bool listed = TachoCard::ListReaders(readers);
    QStringList names;
    for (const std::string &reader : readers)
        names.append(QString::fromUtf8(reader));
    emit readersListed(listed, names);
    // Without a reader no monitor starts: the queue does not wait for one.
    if (!listed)
        startQueueOnce();
}

void CardWorker::startMonitor(const QString &readerName, TachoCard::CardStateReceiver *receiver, std::uint32_t tag)
{
    TachoCard::StartCardMonitor(readerName.toStdString(), receiver, tag);
    startQueueOnce();
}

void CardWorker::disconnectCard()
{
    TachoCard::DisconnectCard();
}

void CardWorker::identifyCard()
{
    m_identifiedCard = {};
    m_download.IdentifyCard();
    if (m_identified)
        noteIdentifiedCard();
    emit identificationFinished(m_identified);
}

void CardWorker::noteIdentifiedCard()
{
    m_identifiedCard =
            cardIdentityFromDownload(QByteArrayView(m_download.DownloadBuffer.data(), m_download.DownloadLength));
    if (!m_history || !m_identifiedCard.known())
        return;
    const QDateTime now = nowUtc();
    if (const StoreStatus noted = m_history->noteIdentified(m_identifiedCard, now); !noted.ok()) {
        // One line is enough: the lookup would fail the same way.
        AddLog(noted.error);
        return;
    }
    const StoreResult<std::optional<QDateTime>> last =
            m_history->lastCompleteDownload(m_identifiedCard.issuingState, m_identifiedCard.cardNumber);
    if (!last.ok()) {
        AddLog(last.error);
        return;
    }
    emit cardHistoryFound(cardHistoryLine(last.value, now));
    emit historyChanged();
}

void CardWorker::runDownload(const QString &folder)
{
    // No retry may come between the run and the question that follows a complete one.
    if (m_queue)
        m_queue->setHeld(true);
    const DownloadRunResult result = m_download.runDownload(folder);
    recordRun(result, folder);
    if (m_queue && result.outcome != DownloadRunResult::Outcome::Complete)
        m_queue->setHeld(false);
    emit runFinished(result);
}

void CardWorker::recordRun(const DownloadRunResult &result, const QString &folder)
{
    m_offeredDownload = 0;
    if (!m_history)
        return;
    const QByteArrayView bytes(m_download.DownloadBuffer.data(), m_download.DownloadLength);
    DownloadRecord record;
    record.timeUtc = nowUtc();
    record.card = cardIdentityFromDownload(bytes);
    // A run that could not read EF Identification still belongs to the card identified before.
    if (!record.card.known())
        record.card = m_identifiedCard;
    record.generation = result.cardGeneration;
    record.version = result.cardVersion;
    record.fileName = result.fileName;
    record.folder = folder;
    record.outcome = historyOutcome(result.outcome);
    if (record.outcome != DownloadOutcome::NotWritten) {
        // The bytes written; the queue sends the file only while the disk still holds these.
        const FileFingerprint fingerprint = fingerprintOf(bytes);
        record.size = fingerprint.size;
        record.sha256 = fingerprint.sha256;
    }
    if (result.verification.performed)
        record.verdict = result.verification.overall;
    const StoreResult<qint64> recorded = m_history->recordDownload(record);
    if (!recorded.ok()) {
        AddLog(recorded.error);
        return;
    }
    m_offeredDownload = recorded.value;
    emit historyChanged();
}

void CardWorker::uploadFile(const UploadRequest &request)
{
    m_uploadLimits = request.limits;
    const UploadCredentials credentials{request.company, request.user, request.password};
    const QByteArray data = QByteArrayView(m_download.DownloadBuffer.data(), m_download.DownloadLength).toByteArray();
    UploadOutcome outcome;
    if (m_queue) {
        // Held still: new credentials that lift a 401 send nothing before the user's own file.
        m_queue->setCredentials(credentials);
        m_senderCalled = false;
        m_userUpload = true;
        outcome = m_queue->sendChosen(std::exchange(m_offeredDownload, 0), data, request.fileName);
        m_userUpload = false;
        if (!m_senderCalled) {
            // The queue found the file gone or changed on the disk: nothing went out.
            AddLog(QStringLiteral("HTTP Upload failed: ") + QString::fromStdString(outcome.failureReason));
            SetStatus(QStringLiteral("Odeslání souboru na server selhalo"));
        }
    } else {
        outcome = sendToServer(*this, data, request.fileName, credentials);
    }
    emit uploadFinished(outcome);
    // The user's file first, then what fell due meanwhile.
    QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_queue)
                    m_queue->setHeld(false);
            },
            Qt::QueuedConnection);
    emit historyChanged();
}

UploadOutcome CardWorker::sendToServer(UploadReporter &reporter, const QByteArray &data, const QString &fileName,
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
    return UploadFile(reporter, input);
}

void CardWorker::uploadNotSent(bool declined)
{
    if (declined && m_offeredDownload != 0 && m_history) {
        if (const StoreStatus recorded = m_history->setUploadDeclined(m_offeredDownload); !recorded.ok())
            AddLog(recorded.error);
        emit historyChanged();
    }
    m_offeredDownload = 0;
    if (m_queue)
        m_queue->setHeld(false);
}

void CardWorker::openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits)
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
                return sendToServer(logOnly, data, fileName, with);
            });
    m_queue->setClock([this] { return nowUtc(); });
    m_queue->setCredentials(credentials);
    connect(m_queue.get(), &UploadQueue::logLine, this, [this](const QString &line) {
        AddLog(line);
        emit historyChanged();
    });
    connect(m_queue.get(), &UploadQueue::waitingCountChanged, this, &CardWorker::uploadsWaiting);
    m_queue->refreshWaitingCount();
}

void CardWorker::startQueueOnce()
{
    if (!m_queue || std::exchange(m_queueStarted, true))
        return;
    // Queued: the work already asked for (the monitor, an identification) goes first.
    QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_queue)
                    m_queue->start();
            },
            Qt::QueuedConnection);
}

void CardWorker::setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits)
{
    m_uploadLimits = limits;
    if (m_queue)
        m_queue->setCredentials(credentials);
}

void CardWorker::loadHistory()
{
    HistorySnapshot snapshot;
    if (!m_history) {
        emit historyLoaded(snapshot);
        return;
    }
    StoreResult<std::vector<DriverRow>> drivers = m_history->drivers(nowUtc());
    StoreResult<std::vector<DownloadRecord>> downloads = m_history->downloads();
    snapshot.drivers = std::move(drivers.value);
    snapshot.downloads = std::move(downloads.value);
    snapshot.error = !drivers.ok() ? drivers.error : downloads.error;
    if (!snapshot.error.isEmpty())
        AddLog(snapshot.error);
    emit historyLoaded(snapshot);
}

QDateTime CardWorker::nowUtc() const
{
    return m_download.clock().toUTC();
}

void CardWorker::release()
{
    TachoCard::ReleaseCardContext();
    // The database connection belongs to this thread: it is closed here, not where the worker is
    // deleted.
    m_queue.reset();
    m_history.reset();
}

void CardWorker::setClock(std::function<QDateTime()> clock)
{
    m_download.clock = std::move(clock);
}
