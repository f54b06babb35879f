#include "app/CardWorker.h"

CardWorker::CardWorker(QObject *context, DownloadReporter &target)
    : m_context(context)
    , m_target(target)
{
    TachoCard::setLogSink([this](const std::string &line) { AddLog(QString::fromLatin1(line)); });
}

CardWorker::~CardWorker()
{
    TachoCard::setLogSink(nullptr);
}

// A call queued to the window's thread. Calls queued one after another run there in that order;
// those still queued when the window goes are dropped with it.
template<typename Call>
void CardWorker::toWindow(Call call)
{
    QMetaObject::invokeMethod(m_context, std::move(call), Qt::QueuedConnection);
}

void CardWorker::AddLog(const QString &text)
{
    toWindow([target = &m_target, text] { target->AddLog(text); });
}

void CardWorker::SetStatus(const QString &text)
{
    toWindow([target = &m_target, text] { target->SetStatus(text); });
}

void CardWorker::SetCardInfo(const QString &text)
{
    toWindow([target = &m_target, text] { target->SetCardInfo(text); });
}

void CardWorker::setCardPanel(const QString &text)
{
    toWindow([target = &m_target, text] { target->setCardPanel(text); });
}

void CardWorker::setReadButtonEnabled(bool enabled)
{
    toWindow([target = &m_target, enabled] { target->setReadButtonEnabled(enabled); });
}

void CardWorker::clearLog()
{
    toWindow([target = &m_target] { target->clearLog(); });
}

void CardWorker::setProgress(int done, int total)
{
    toWindow([target = &m_target, done, total] { target->setProgress(done, total); });
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
    m_download.IdentifyCard();
    emit identificationFinished();
}

void CardWorker::readCardFile(const QString &title, std::uint16_t fileId, bool Signed)
{
    emit cardFileRead(m_download.ReadCardFile(title, fileId, Signed));
}

void CardWorker::runDownload(const QString &folder)
{
    emit runFinished(m_download.runDownload(folder));
}

void CardWorker::uploadFile(const UploadRequest &request)
{
    UploadInput input;
    input.company = request.company;
    input.user = request.user;
    input.password = request.password;
    input.fileName = request.fileName;
    input.data = QByteArrayView(m_download.DownloadBuffer.data(), m_download.DownloadLength);
    input.limits = request.limits;
    emit uploadFinished(UploadFile(*this, input));
}

void CardWorker::release()
{
    TachoCard::ReleaseCardContext();
}

void CardWorker::setClock(std::function<QDateTime()> clock)
{
    m_download.clock = std::move(clock);
}
