#include "app/SessionController.h"

#include "app/CardWorker.h"
#include "app/ErrorDisplay.h"
#include "app/NetworkWorker.h"
#include "app/UploadRequest.h"
#include "card/TachoCard.h"

namespace {

const QString NoCardText = QStringLiteral("není vložena žádná karta");
const QString NoReaderText = QStringLiteral("čtečka nenalezena");
const QString ServiceLostText = QStringLiteral("Služba čipových karet není dostupná");

} // namespace

SessionController::SessionController(QObject *parent)
    : QObject(parent)
{
    connectPresence();
    connectReaders();
}

SessionController::~SessionController()
{
    stop();
}

void SessionController::startWorkers()
{
    m_cardWorker = new CardWorker;
    connectCardWorker();
    m_cardThread.start(m_cardWorker);
    m_networkWorker = new NetworkWorker;
    connectNetworkWorker();
    m_networkThread.start(m_networkWorker);
}

void SessionController::endWorkNow()
{
    TachoCard::RequestStop();
    if (m_networkWorker != nullptr)
        m_networkWorker->cancel();
}

void SessionController::closeWhenIdle()
{
    m_closePending = true;
    if (m_networkWorker != nullptr)
        m_networkWorker->cancel();
}

void SessionController::stop()
{
    m_presence.close();
    // Nothing the network does is worth waiting for at the end: what was in flight stays queued.
    if (m_networkWorker != nullptr)
        m_networkWorker->cancel();
    m_cardThread.stop([worker = m_cardWorker] {
        if (worker != nullptr)
            worker->release();
    });
    m_cardWorker = nullptr;
    m_networkThread.stop([worker = m_networkWorker] {
        if (worker != nullptr)
            worker->release();
    });
    m_networkWorker = nullptr;
}

// What the worker reports comes here queued, in the order it was reported.
void SessionController::connectCardWorker()
{
    CardWorker *worker = m_cardWorker;
    connect(worker, &CardWorker::logged, this, &SessionController::logLine);
    connect(worker, &CardWorker::statusReported, this, &SessionController::setStatus);
    connect(worker, &CardWorker::cardInfoReported, this, &SessionController::reportCardInfo);
    connect(worker, &CardWorker::cardConnectionChanged, this,
            [this](bool connected) { setCardPanel(connected ? QStringLiteral("Karta připojena") : QString()); });
    connect(worker, &CardWorker::downloadRunStarted, this, &SessionController::logCleared);
    connect(worker, &CardWorker::progressReported, this, &SessionController::progressChanged);
    connect(worker, &CardWorker::readersListed, this,
            [this](bool listed, const QStringList &readers) { runGuarded([&] { readersListed(listed, readers); }); });
    connect(worker, &CardWorker::identificationFinished, this,
            [this](bool identified) { runGuarded([&] { identificationFinished(identified); }); });
    connect(worker, &CardWorker::runFinished, this,
            [this](const DownloadRunResult &result, qint64 downloadId, const QByteArray &bytes) {
                runGuarded([&] { runFinished(result, downloadId, bytes); });
            });
    connect(worker, &CardWorker::historyOpened, this, [this](const QString &path) {
        m_networkThread.post([worker = m_networkWorker, path, credentials = m_uploadCredentials,
                              limits = m_uploadLimits] { worker->openHistory(path, credentials, limits); });
    });
    connect(worker, &CardWorker::cardHistoryFound, this, &SessionController::reportCardHistory);
    connect(worker, &CardWorker::historyChanged, this, &SessionController::historyChanged);
    connect(worker, &CardWorker::historyLoaded, this, &SessionController::historyLoaded);
}

void SessionController::connectNetworkWorker()
{
    NetworkWorker *worker = m_networkWorker;
    connect(worker, &NetworkWorker::logged, this, &SessionController::logLine);
    connect(worker, &NetworkWorker::statusReported, this, &SessionController::setStatus);
    connect(worker, &NetworkWorker::uploadFinished, this, [this] { runGuarded([this] { uploadFinished(); }); });
    connect(worker, &NetworkWorker::uploadsWaiting, this, &SessionController::uploadsWaiting);
    connect(worker, &NetworkWorker::historyChanged, this, &SessionController::historyChanged);
}

void SessionController::connectPresence()
{
    connect(&m_presence, &CardPresence::cardRemoved, this, [this] { runGuarded([this] { cardRemoved(); }); });
    connect(&m_presence, &CardPresence::cardInserted, this,
            [this](bool deferred) { runGuarded([&] { cardInserted(deferred); }); });
    connect(&m_presence, &CardPresence::serviceLost, this, [this] {
        m_statusBeforeOutage = m_status;
        setStatus(ServiceLostText);
    });
    // The service's message goes, and what it covered comes back: a reader that went with the old
    // service is still for the user to read, whichever of the two was noticed first.
    connect(&m_presence, &CardPresence::serviceBack, this, [this] {
        if (m_status == ServiceLostText)
            setStatus(std::exchange(m_statusBeforeOutage, QString()));
    });
    connect(&m_presence, &CardPresence::readersChanged, this, [this] { runGuarded([this] { requestReaderList(); }); });
}

void SessionController::connectReaders()
{
    connect(&m_readers, &ReaderSelection::listChanged, this, &SessionController::readerListChanged);
    connect(&m_readers, &ReaderSelection::choosingChanged, this, [this](bool choosing) {
        m_presence.setChoosingReader(choosing);
        emit choosingReaderChanged(choosing);
    });
    connect(&m_readers, &ReaderSelection::watch, this, &SessionController::watchReader);
    connect(&m_readers, &ReaderSelection::cardForgotten, this, [this] { m_presence.forget(); });
    connect(&m_readers, &ReaderSelection::cardReleased, this,
            [this] { m_cardThread.post([worker = m_cardWorker] { worker->disconnectCard(); }); });
    connect(&m_readers, &ReaderSelection::readersFound, this, [this] {
        if (m_cardInfo == NoReaderText)
            setCardInfo(NoCardText);
    });
    connect(&m_readers, &ReaderSelection::logLine, this, &SessionController::logLine);
    connect(&m_readers, &ReaderSelection::status, this, &SessionController::setStatus);
    connect(&m_readers, &ReaderSelection::cardInfo, this, &SessionController::setCardInfo);
}

void SessionController::start(const QString &savedReader)
{
    // The reader list comes from the worker, which holds the PC/SC context.
    m_readers.setSavedReader(savedReader);
    setState(SessionState::Starting);
    m_cardThread.post([worker = m_cardWorker] { worker->listReaders(); });
}

EnabledControls SessionController::controls() const
{
    const bool busy = isBusy();
    EnabledControls controls;
    controls.readButton = m_state == SessionState::Ready;
    controls.readerButton = !busy && m_readers.readers().size() > 1;
    controls.readerList = !busy && m_readers.choosing();
    controls.pathButton = !busy;
    return controls;
}

void SessionController::setState(SessionState state)
{
    m_state = state;
    m_presence.setBusy(isBusy());
    updateControls();
}

void SessionController::updateControls()
{
    emit controlsChanged(controls());
}

void SessionController::afterWork()
{
    if (isBusy())
        return;
    if (m_closePending) {
        emit closeReady();
        return;
    }
    if (m_readers.takeChangedMeanwhile())
        requestReaderList();
    m_presence.takePendingInsertion();
}

void SessionController::setStatus(const QString &text)
{
    m_status = text;
    emit statusChanged(text);
}

void SessionController::setCardInfo(const QString &text)
{
    m_cardInfo = text;
    emit cardInfoChanged(text);
}

void SessionController::setCardPanel(const QString &text)
{
    emit cardPanelChanged(text);
}

void SessionController::setDownloadClock(std::function<QDateTime()> clock)
{
    m_cardThread.post([worker = m_cardWorker, clock] { worker->setClock(clock); });
    m_networkThread.post([worker = m_networkWorker, clock = std::move(clock)] { worker->setClock(clock); });
}

// --- The reader list ---

void SessionController::readersListed(bool listed, const QStringList &readers)
{
    m_readers.listArrived();
    if (m_state != SessionState::Starting) {
        // Work that started meanwhile may hold the card of the reader this list would replace.
        if (isBusy()) {
            m_readers.listChangedMeanwhile();
        } else {
            m_readers.follow(listed, readers);
            updateControls();
        }
        afterWork();
        return;
    }
    m_readers.firstList(listed, readers);
    setState(SessionState::Idle);
    afterWork();
}

// Readers came or went after the start: the list is read again once no work runs.
void SessionController::requestReaderList()
{
    if (m_readers.listWanted(isBusy()))
        m_cardThread.post([worker = m_cardWorker] { worker->listReaders(); });
}

void SessionController::watchReader(const QString &reader)
{
    const std::uint32_t tag = m_presence.newMonitor();
    m_cardThread.post([worker = m_cardWorker, reader, receiver = &m_presence, tag] {
        worker->startMonitor(reader, receiver, tag);
    });
}

void SessionController::changeReader()
{
    if (isBusy())
        return;
    m_readers.toggleChoice();
    updateControls();
}

// --- A card: its insertion, identification and removal ---

void SessionController::cardInserted(bool deferred)
{
    // After work that this card waited for, that work's outcome stays in the status bar for the
    // user to read, once the card has been identified.
    if (deferred)
        m_statusToKeep = m_status;
    else
        setStatus(QString());
    setCardPanel(QStringLiteral("Karta vložena"));
    identifyCard();
}

void SessionController::cardRemoved()
{
    setCardPanel(QString());
    setCardInfo(NoCardText);
    if (m_state == SessionState::Ready)
        setState(SessionState::Idle);
}

void SessionController::identifyCard()
{
    setState(SessionState::Identifying);
    m_identificationShown = false;
    m_cardThread.post([worker = m_cardWorker] { worker->identifyCard(); });
}

// An identification first tells the card tab that it reads the card; what it finds (the holder,
// or that the card is not one) is shown when it has ended, together with the state it leaves: a
// holder on the card tab promises a card that can be read, and the worker may still spend a while
// on the card's history between the two.
void SessionController::reportCardInfo(const QString &text)
{
    if (m_state == SessionState::Identifying && std::exchange(m_identificationShown, true)) {
        m_foundCardInfo = text;
        return;
    }
    setCardInfo(text);
}

void SessionController::reportCardHistory(const QString &line)
{
    if (m_state == SessionState::Identifying) {
        m_foundCardHistory = line;
        return;
    }
    // A line that comes after the card has gone belongs to nobody.
    if (cardPresent())
        emit cardHistoryFound(line);
}

void SessionController::identificationFinished(bool identified)
{
    const std::optional<QString> found = std::exchange(m_foundCardInfo, std::nullopt);
    const std::optional<QString> history = std::exchange(m_foundCardHistory, std::nullopt);
    if (!cardPresent()) {
        // Pulled while it was being identified: what the identification found is stale.
        setCardPanel(QString());
        setCardInfo(NoCardText);
    } else if (found) {
        setCardInfo(*found);
        // The view clears the line with each text, so it follows the holder.
        if (history)
            emit cardHistoryFound(*history);
    }
    setState(cardPresent() && identified ? SessionState::Ready : SessionState::Idle);
    if (const std::optional<QString> kept = std::exchange(m_statusToKeep, std::nullopt);
        kept && m_state == SessionState::Ready)
        setStatus(*kept);
    afterWork();
}

// --- A run and the upload that may follow ---

void SessionController::startRun(const QString &folder)
{
    if (m_state != SessionState::Ready)
        return;
    setState(SessionState::Running);
    holdQueue(true);
    m_cardThread.post([worker = m_cardWorker, folder] { worker->runDownload(folder); });
}

void SessionController::runFinished(const DownloadRunResult &result, qint64 downloadId, const QByteArray &bytes)
{
    m_offeredDownload = downloadId;
    m_offeredBytes = bytes;
    if (result.outcome == DownloadRunResult::Outcome::Complete && !m_closePending) {
        setState(SessionState::Asking);
        m_verification = result.verification;
        emit uploadOffered(result.fileName);
        return;
    }
    if (result.outcome == DownloadRunResult::Outcome::Complete)
        uploadNotSent(false);
    else
        holdQueue(false);
    setState(SessionState::Idle);
    // Nobody is there to close a box once the program is ending: the log and the status say it.
    if (result.outcome == DownloadRunResult::Outcome::WriteFailed && !m_closePending)
        emit errorOccurred(result.errorText);
    afterWork();
}

// A file whose signatures do not verify may still be wanted (the office decides), but it is said
// so, and sending it takes a deliberate "Ano".
UploadQuestion SessionController::uploadQuestion() const
{
    if (!m_verification.performed || m_verification.overall != Overall::Failed)
        return {QStringLiteral("Odeslat soubor na server?"), false};
    return {QStringLiteral("Podpisy souboru nejsou ověřeny (%1).\nOdeslat soubor na server?")
                    .arg(m_verification.failedItem),
            true};
}

void SessionController::questionAnswered(bool yes, const UploadRequest &request)
{
    if (!yes || m_closePending) {
        // A question closed by the program's end was not answered: the file can still be sent.
        uploadNotSent(!yes && !m_closePending);
        setState(SessionState::Idle);
        afterWork();
        return;
    }
    if (request.company.isEmpty() || request.user.isEmpty() || request.password.isEmpty()) {
        setStatus(QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"));
        uploadNotSent(false);
        setState(SessionState::Idle);
        afterWork();
        return;
    }
    uploadFile(request);
}

void SessionController::uploadFile(const UploadRequest &request)
{
    setState(SessionState::Uploading);
    UploadRequest offered = request;
    offered.downloadId = std::exchange(m_offeredDownload, 0);
    offered.data = std::exchange(m_offeredBytes, QByteArray());
    // The user's file goes first: a retry in flight gives way and stays waiting.
    if (m_networkWorker != nullptr)
        m_networkWorker->cancelRetry();
    m_networkThread.post([worker = m_networkWorker, offered] { worker->uploadFile(offered); });
}

void SessionController::uploadFinished()
{
    holdQueue(false);
    setState(SessionState::Idle);
    afterWork();
}

void SessionController::uploadNotSent(bool declined)
{
    m_networkThread.post([worker = m_networkWorker, declined, downloadId = std::exchange(m_offeredDownload, 0)] {
        worker->uploadNotSent(downloadId, declined);
    });
    m_offeredBytes.clear();
    holdQueue(false);
}

void SessionController::holdQueue(bool held)
{
    m_networkThread.post([worker = m_networkWorker, held] { worker->setHeld(held); });
}

// --- The history and the upload queue ---

void SessionController::openHistory(const QString &path, const UploadCredentials &credentials, const HttpLimits &limits)
{
    m_uploadCredentials = credentials;
    m_uploadLimits = limits;
    m_cardThread.post([worker = m_cardWorker, path] { worker->openHistory(path); });
}

void SessionController::setUploadSettings(const UploadCredentials &credentials, const HttpLimits &limits)
{
    m_uploadCredentials = credentials;
    m_uploadLimits = limits;
    m_networkThread.post(
            [worker = m_networkWorker, credentials, limits] { worker->setUploadSettings(credentials, limits); });
}

void SessionController::loadHistory()
{
    m_cardThread.post([worker = m_cardWorker] { worker->loadHistory(); });
}

void SessionController::sendFromHistory(qint64 downloadId)
{
    m_networkThread.post([worker = m_networkWorker, downloadId] { worker->sendFromHistory(downloadId); });
}
