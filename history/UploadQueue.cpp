#include "history/UploadQueue.h"

#include "history/FileFingerprint.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr std::chrono::minutes LongestDelay{60};
// How soon a file that another instance was sending is looked at again.
constexpr std::chrono::minutes BusyRecheck{1};

bool endsRetries(int statusCode)
{
    return statusCode == 200 || statusCode == 409;
}

// A redirect or a refusal other than 401 says something about the file or the address that
// sending it again does not change.
bool refusesTheFile(int statusCode)
{
    return statusCode >= 300 && statusCode < 500 && statusCode != 401;
}

} // namespace

UploadQueue::UploadQueue(HistoryStore &store, UploadSender sender, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_sender(std::move(sender))
    , m_lock(store.path() + QStringLiteral(".upload-lock"))
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &UploadQueue::processDue);
}

void UploadQueue::setClock(std::function<QDateTime()> clock)
{
    m_clock = std::move(clock);
}

std::chrono::minutes UploadQueue::retryDelay(int failedAttempts)
{
    if (failedAttempts <= 1)
        return std::chrono::minutes{1};
    if (failedAttempts > 7)
        return LongestDelay;
    return std::min(LongestDelay, std::chrono::minutes{1 << (failedAttempts - 1)});
}

QDateTime UploadQueue::nextWakeUp() const
{
    return m_timer.isActive() ? m_wakeUp : QDateTime();
}

void UploadQueue::log(const QString &fileName, const QString &text)
{
    emit logLine(QStringLiteral("Upload queue: %1: %2").arg(fileName, text));
}

UploadOutcome UploadQueue::sendChosen(qint64 downloadId, const QByteArray &data, const QString &fileName)
{
    UploadOutcome outcome;
    const Attempt result = downloadId > 0 ? attempt(downloadId, true, &outcome) : Attempt::StoreFailed;
    if (result == Attempt::StoreFailed) {
        // Without its row the file cannot be queued, but the user asked for it to be sent.
        emit logLine(QStringLiteral("Upload queue: %1 is sent without the history; it is not retried").arg(fileName));
        outcome = m_sender(data, fileName, m_credentials);
    } else if (result == Attempt::Busy) {
        outcome.failureReason = "the file is being sent by another instance of the program";
    } else if (result == Attempt::NotAllowed) {
        // Sent, declined or given up already: a second answer never sends a file twice.
        outcome.failureReason = "the file's upload has already been settled";
    }
    refreshWaitingCount();
    schedule();
    return outcome;
}

UploadQueue::Attempt UploadQueue::attempt(qint64 id, bool chosenNow, UploadOutcome *chosenOutcome)
{
    QString lockError;
    if (!m_lock.tryLock(id, lockError)) {
        if (lockError.startsWith(QStringLiteral("being sent"))) {
            m_busy.insert(id);
            return Attempt::Busy;
        }
        emit logLine(QStringLiteral("Upload queue: %1").arg(lockError));
        return Attempt::StoreFailed;
    }
    m_busy.erase(id);
    // Whatever happens below, the byte goes back; a crash gives it back through the kernel.
    struct Unlock
    {
        UploadLock &lock;
        qint64 id;
        ~Unlock() { lock.unlock(id); }
    } unlock{m_lock, id};

    const StoreResult<std::optional<DownloadRecord>> begun = m_store.beginAttempt(id, chosenNow);
    if (!begun.ok()) {
        emit logLine(QStringLiteral("Upload queue: %1").arg(begun.error));
        return Attempt::StoreFailed;
    }
    if (!begun.value)
        return Attempt::NotAllowed;
    const DownloadRecord &record = *begun.value;
    const QDateTime now = m_clock();

    const auto finish = [&](UploadState state, int statusCode, const QDateTime &next, const QString &error) {
        const StoreStatus recorded = m_store.finishAttempt(id, state, statusCode, next, error);
        if (!recorded.ok())
            log(record.fileName,
                QStringLiteral("the outcome could not be recorded (%1); the file may be sent once more")
                        .arg(recorded.error));
    };

    const FileContent content = readFileContent(record.filePath(), record.size);
    switch (content.status) {
    case FileContent::Status::Missing:
        finish(UploadState::Gone, record.uploadStatus, {}, QString());
        log(record.fileName, QStringLiteral("the file is no longer on the disk; it is not sent"));
        if (chosenOutcome)
            chosenOutcome->failureReason = "the file is no longer on the disk";
        return Attempt::Ended;
    case FileContent::Status::TooLarge:
    case FileContent::Status::Read:
        if (content.status == FileContent::Status::TooLarge || record.sha256.isEmpty()
            || fingerprintOf(content.bytes) != FileFingerprint{record.size, record.sha256}) {
            finish(UploadState::Changed, record.uploadStatus, {}, QString());
            log(record.fileName, QStringLiteral("the file on the disk is not the one downloaded; it is not sent"));
            if (chosenOutcome)
                chosenOutcome->failureReason = "the file on the disk is not the one downloaded";
            return Attempt::Ended;
        }
        break;
    case FileContent::Status::Unreadable: {
        const QDateTime next = now.addSecs(std::chrono::seconds(retryDelay(record.uploadAttempts)).count());
        finish(UploadState::Waiting, record.uploadStatus, next, content.error);
        log(record.fileName,
            QStringLiteral("cannot read the file (%1); next attempt in %2 min")
                    .arg(content.error)
                    .arg(retryDelay(record.uploadAttempts).count()));
        if (chosenOutcome)
            chosenOutcome->failureReason = content.error.toStdString();
        return Attempt::Queued;
    }
    }

    const UploadOutcome outcome = m_sender(content.bytes, record.fileName, m_credentials);
    if (chosenOutcome)
        *chosenOutcome = outcome;
    if (outcome.cancelled) {
        // Cut off by the program's end, or by the user's own file: it says nothing of the server.
        // The file keeps waiting (the next start tries it first), after the usual pause.
        const std::chrono::minutes delay = retryDelay(record.uploadAttempts);
        finish(UploadState::Waiting, record.uploadStatus, now.addSecs(std::chrono::seconds(delay).count()),
               record.uploadError);
        log(record.fileName, QStringLiteral("the exchange was cancelled; next attempt in %1 min").arg(delay.count()));
        return Attempt::Cancelled;
    }
    if (outcome.completed)
        m_noServerUntil = QDateTime();

    if (outcome.completed && endsRetries(outcome.statusCode)) {
        finish(UploadState::Sent, outcome.statusCode, {}, QString());
        log(record.fileName,
            outcome.statusCode == 200 ? QStringLiteral("sent, the server answered 200")
                                      : QStringLiteral("the server already has it (409)"));
        return Attempt::Ended;
    }
    if (outcome.completed && outcome.statusCode == 401) {
        // Due as soon as the credentials change.
        finish(UploadState::Waiting, 401, now, QString());
        m_paused = true;
        log(record.fileName, QStringLiteral("the server refused the credentials (401); the queue waits for new ones"));
        return Attempt::Paused;
    }
    // The user's own attempt is queued only for what a later attempt can change: no answer, or a
    // server error. Another refusal is final, as the user saw it.
    if (chosenNow && outcome.completed && outcome.statusCode < 500) {
        finish(UploadState::Failed, outcome.statusCode, {}, QString());
        return Attempt::Ended;
    }
    if (outcome.completed && refusesTheFile(outcome.statusCode)) {
        const QString reason = QStringLiteral("the server refused the file (%1)").arg(outcome.statusCode);
        finish(UploadState::Failed, outcome.statusCode, {}, reason);
        log(record.fileName, QStringLiteral("%1; it is not sent again").arg(reason));
        return Attempt::Ended;
    }
    const std::chrono::minutes delay = retryDelay(record.uploadAttempts);
    const QDateTime next = now.addSecs(std::chrono::seconds(delay).count());
    if (!outcome.completed)
        m_noServerUntil = next;
    const QString reason = outcome.completed ? QStringLiteral("the server answered %1").arg(outcome.statusCode)
                                             : QString::fromStdString(outcome.failureReason);
    finish(UploadState::Waiting, outcome.completed ? outcome.statusCode : record.uploadStatus, next, reason);
    log(record.fileName, QStringLiteral("%1; next attempt in %2 min").arg(reason).arg(delay.count()));
    return outcome.completed ? Attempt::Queued : Attempt::NoServer;
}

void UploadQueue::start()
{
    process(true);
}

void UploadQueue::processDue()
{
    process(false);
}

void UploadQueue::process(bool everyWaiting)
{
    if (m_held) {
        m_startPending = m_startPending || everyWaiting;
        return;
    }
    if (!m_paused) {
        const StoreResult<std::vector<DownloadRecord>> queued = m_store.queuedUploads();
        if (!queued.ok())
            emit logLine(QStringLiteral("Upload queue: %1").arg(queued.error));
        const QDateTime now = m_clock();
        std::vector<qint64> due;
        for (const DownloadRecord &record : queued.value) {
            // A row in flight is either another instance's send (its lock says so) or a crash's.
            if (everyWaiting || record.uploadState == UploadState::Sending || !record.nextAttemptUtc.isValid()
                || record.nextAttemptUtc <= now)
                due.push_back(record.id);
        }
        // Until the time the last unanswered exchange set, the server is taken to be away still.
        if (!everyWaiting && m_noServerUntil.isValid() && now < m_noServerUntil)
            due.clear();
        for (std::size_t i = 0; i < due.size(); ++i) {
            const Attempt result = attempt(due[i], false, nullptr);
            if (result == Attempt::Paused || result == Attempt::Cancelled)
                break;
            if (result == Attempt::NoServer) {
                // Each of the others would only wait for the same missing server in turn.
                if (const std::size_t others = due.size() - i - 1; others > 0)
                    emit logLine(
                            QStringLiteral("Upload queue: the server was not reached; %1 other %2 for the next "
                                           "attempt")
                                    .arg(others)
                                    .arg(others == 1 ? QStringLiteral("file waits") : QStringLiteral("files wait")));
                break;
            }
        }
    }
    refreshWaitingCount();
    schedule();
}

void UploadQueue::sendFromHistory(qint64 downloadId)
{
    const StoreResult<bool> queued = m_store.queueFromHistory(downloadId, m_clock());
    if (!queued.ok()) {
        emit logLine(QStringLiteral("Upload queue: %1").arg(queued.error));
        return;
    }
    const StoreResult<std::optional<DownloadRecord>> row = m_store.download(downloadId);
    const QString fileName = row.value ? row.value->fileName : QString::number(downloadId);
    // What the history showed the user may have changed meanwhile: another instance sent it.
    log(fileName,
        queued.value ? QStringLiteral("queued again by the user")
                     : QStringLiteral("its upload was settled meanwhile; it is not queued again"));
    if (!queued.value)
        return;
    processDue();
    // A held queue sends nothing yet, but the file is counted as waiting at once.
    refreshWaitingCount();
}

void UploadQueue::setHeld(bool held)
{
    if (held == m_held)
        return;
    m_held = held;
    if (!m_held)
        process(std::exchange(m_startPending, false));
}

void UploadQueue::setCredentials(const UploadCredentials &credentials)
{
    if (credentials == m_credentials)
        return;
    m_credentials = credentials;
    if (!m_paused)
        return;
    m_paused = false;
    emit logLine(QStringLiteral("Upload queue: the credentials changed; the queue goes on"));
    processDue();
}

void UploadQueue::schedule()
{
    m_timer.stop();
    m_wakeUp = QDateTime();
    if (m_paused)
        return;
    const StoreResult<std::vector<DownloadRecord>> queued = m_store.queuedUploads();
    if (!queued.ok())
        return;
    const QDateTime now = m_clock();
    QDateTime next;
    for (const DownloadRecord &record : queued.value) {
        QDateTime when = record.nextAttemptUtc.isValid() ? record.nextAttemptUtc : now;
        if (m_noServerUntil.isValid())
            when = std::max(when, m_noServerUntil);
        if (m_busy.count(record.id) != 0 || record.uploadState == UploadState::Sending)
            when = std::max(when, now.addSecs(std::chrono::seconds(BusyRecheck).count()));
        if (!next.isValid() || when < next)
            next = when;
    }
    if (!next.isValid())
        return;
    const qint64 ms = std::clamp<qint64>(now.msecsTo(next), 0, std::numeric_limits<int>::max());
    m_wakeUp = next;
    m_timer.start(static_cast<int>(ms));
}

void UploadQueue::refreshWaitingCount()
{
    const StoreResult<int> count = m_store.waitingCount();
    if (!count.ok() || count.value == m_waitingCount)
        return;
    m_waitingCount = count.value;
    emit waitingCountChanged(m_waitingCount);
}
