#include "app/CardWorker.h"

#include "history/DueRule.h"
#include "history/FileFingerprint.h"

namespace {

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
}

void CardWorker::startMonitor(const QString &readerName, TachoCard::CardStateReceiver *receiver, std::uint32_t tag)
{
    TachoCard::StartCardMonitor(readerName.toStdString(), receiver, tag);
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
    const DownloadRunResult result = m_download.runDownload(folder);
    const qint64 downloadId = recordRun(result, folder);
    emit runFinished(result, downloadId,
                     QByteArrayView(m_download.DownloadBuffer.data(), m_download.DownloadLength).toByteArray());
}

qint64 CardWorker::recordRun(const DownloadRunResult &result, const QString &folder)
{
    if (!m_history)
        return 0;
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
        return 0;
    }
    emit historyChanged();
    return recorded.value;
}

void CardWorker::openHistory(const QString &path)
{
    m_history = std::make_unique<HistoryStore>(path);
    if (const StoreStatus opened = m_history->open(); !opened.ok())
        AddLog(opened.error);
    emit historyOpened(path);
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
    m_history.reset();
}

void CardWorker::setClock(std::function<QDateTime()> clock)
{
    m_download.clock = std::move(clock);
}
