#include "download/CardDownload.h"

#include "card/TachoCard.h"
#include "cardmodel/ApplicationIdentification.h"
#include "cardmodel/CardFiles.h"
#include "cardmodel/CvCertificateContent.h"
#include "download/CardFileReader.h"
#include "download/CommandBytes.h"
#include "download/DownloadFile.h"

#include <algorithm>

using namespace TachoCard;
using namespace DownloadFormat;

namespace {

constexpr std::uint16_t Success = 0x9000;

} // namespace

CardDownload::CardDownload(DownloadReporter &reporter)
    : m_reporter(reporter)
{ }

void CardDownload::logFailure(const char *what)
{
    logCommandFailure(m_reporter, what);
}

bool CardDownload::ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed,
                                CardApplication application)
{
    const bool second = application == CardApplication::SecondGeneration;
    m_reporter.SetStatus(QStringLiteral("Načítám soubor ") + FileTitle + QStringLiteral("..."));
    m_reporter.AddLog(QStringLiteral("----- Read file: ") + FileTitle + QStringLiteral(" -----"));

    setCommand({0x00, 0xA4, 0x02, 0x0C, 0x02, highByte(FileId), lowByte(FileId)});
    TransmitCommand();
    if (StatusWord != Success) {
        logFailure("select file");
        return false;
    }

    if (Signed) {
        m_reporter.AddLog(QStringLiteral("- hash file"));
        setCommand({0x80, 0x2A, 0x90, 0x00});
        TransmitCommand();
        if (StatusWord != Success) {
            logFailure("hash file");
            return false;
        }
    }

    const std::optional<std::uint32_t> read = CardFileReader(m_reporter, FileBuffer).readSelectedFile();
    if (!read)
        return false;
    const std::uint32_t count = *read;

    if (!appendRecord(FileId, second ? SecondGenerationDataRecord : DataRecord, FileBuffer.data(), count))
        return false;

    if (FileId == CardFiles::Identification && !second)
        FileNamePart = buildFileNamePart(FileBuffer.data(), count);
    if (FileId == CardFiles::CardSignCertificate && second) {
        const EcCurve *curve = CvCertificateContent::curveOf(std::span(FileBuffer.data(), count));
        m_secondGenerationSignatureLength = curve ? static_cast<std::uint32_t>(curve->signatureLength()) : 0;
    }

    if (Signed && !computeSignature(FileId, application))
        return false;

    m_reporter.AddLog(QStringLiteral("- success"));
    m_reporter.SetStatus(QString());
    return true;
}

bool CardDownload::appendRecord(std::uint16_t fileId, std::uint8_t type, const std::uint8_t *content,
                                std::size_t length)
{
    const auto position = static_cast<std::size_t>(DownloadLength);
    if (position + RecordHeaderSize + length > DownloadCapacity) {
        m_reporter.AddLog(QStringLiteral("- error: download too large, more than %1 bytes").arg(DownloadCapacity));
        return false;
    }
    auto out = DownloadBuffer.begin() + static_cast<std::ptrdiff_t>(position);
    *out++ = highByte(fileId);
    *out++ = lowByte(fileId);
    *out++ = type;
    *out++ = highByte(static_cast<std::uint32_t>(length));
    *out++ = lowByte(static_cast<std::uint32_t>(length));
    std::copy_n(content, length, out);
    DownloadLength += static_cast<std::int32_t>(RecordHeaderSize + length);
    return true;
}

bool CardDownload::computeSignature(std::uint16_t fileId, CardApplication application)
{
    m_reporter.AddLog(QStringLiteral("- compute signature"));
    if (application == CardApplication::FirstGeneration) {
        setCommand({0x00, 0x2A, 0x9E, 0x9A, 0x80});
        TransmitCommand();
        if (StatusWord != Success) {
            logFailure("compute signature");
            return false;
        }
        if (ResponseLength != SignatureSize + 2) {
            m_reporter.AddLog(QStringLiteral("- error: wrong signature length - %1")
                                      .arg(static_cast<qint64>(ResponseLength) - 2));
            return false;
        }
        return appendRecord(fileId, SignatureRecord, ResponseBuffer.data(), SignatureSize);
    }

    // An ECDSA signature's length follows the curve of the signing key. Asked for the length its
    // certificate gives (or, without one, for whatever it has), a card may name the length it
    // takes with 6Cxx, as it does for READ BINARY.
    const std::uint32_t expected = m_secondGenerationSignatureLength;
    setCommand({0x00, 0x2A, 0x9E, 0x9A, static_cast<std::uint8_t>(expected)});
    TransmitCommand();
    if ((StatusWord >> 8) == 0x6C) {
        setCommand({0x00, 0x2A, 0x9E, 0x9A, lowByte(StatusWord)});
        TransmitCommand();
    }
    if (StatusWord != Success) {
        logFailure("compute signature");
        return false;
    }
    const std::uint32_t length = ResponseLength - 2;
    if (expected != 0 ? length != expected : !EcCurve::isSignatureLength(length)) {
        m_reporter.AddLog(QStringLiteral("- error: wrong signature length - %1").arg(length));
        return false;
    }
    return appendRecord(fileId, SecondGenerationSignatureRecord, ResponseBuffer.data(), length);
}

namespace {

void selectByName(const std::array<std::uint8_t, 6> &aid)
{
    setCommand({0x00, 0xA4, 0x04, 0x0C, static_cast<std::uint8_t>(aid.size()), aid[0], aid[1], aid[2], aid[3], aid[4],
                aid[5]});
}

} // namespace

bool CardDownload::selectTachographApplication()
{
    m_reporter.AddLog(QStringLiteral("----- Select TACHO DF -----"));
    selectByName(CardFiles::FirstGenerationAid);
    TransmitCommand();
    if (StatusWord == Success)
        return true;
    m_reporter.AddLog(QStringLiteral("- failed, code ") + hex4(StatusWord));
    return false;
}

CardDownload::SecondApplication CardDownload::selectSecondGenerationApplication()
{
    m_reporter.AddLog(QStringLiteral("----- Select TACHO_G2 DF -----"));
    selectByName(CardFiles::SecondGenerationAid);
    TransmitCommand();
    if (StatusWord == Success)
        return SecondApplication::Selected;
    // A first-generation card has no such application: nothing is missing.
    if (StatusWord == 0x6A82) {
        m_reporter.AddLog(QStringLiteral("- not present, code 6A82: a first-generation card"));
        return SecondApplication::Absent;
    }
    m_reporter.AddLog(QStringLiteral("- failed, code ") + hex4(StatusWord));
    return SecondApplication::Failed;
}

// The date of this download goes into EF Card_Download of the current application, so that a
// vehicle unit and a control see when the card was last downloaded.
bool CardDownload::markLastCardDownload(const QString &title, std::uint32_t timeReal)
{
    m_reporter.AddLog(QStringLiteral("----- Update file: ") + title + QStringLiteral(" -----"));
    setCommand({0x00, 0xA4, 0x02, 0x0C, 0x02, highByte(CardFiles::CardDownload), lowByte(CardFiles::CardDownload)});
    TransmitCommand();
    if (StatusWord != Success) {
        logFailure("select file");
        return false;
    }
    setCommand({0x00, 0xD6, 0x00, 0x00, 0x04, static_cast<std::uint8_t>(timeReal >> 24),
                static_cast<std::uint8_t>(timeReal >> 16), highByte(timeReal), lowByte(timeReal)});
    TransmitCommand();
    if (StatusWord != Success) {
        logFailure("update file");
        return false;
    }
    m_reporter.AddLog(QStringLiteral("- success"));
    return true;
}

void CardDownload::IdentifyCard()
{
    m_reporter.identificationStarted();
    m_reporter.SetCardInfo(QStringLiteral("načítám informace..."));
    if (!ConnectCard()) {
        m_reporter.SetCardInfo(QString());
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: kartu nelze připojit"));
        return;
    }
    m_reporter.cardConnected(true);
    DownloadLength = 0;

    const CardFiles::CardFile &identification = *CardFiles::find(CardFiles::Identification, 1);
    if (!selectTachographApplication()
        || !ReadCardFile(QLatin1String(identification.title), identification.fileId, identification.isSigned)) {
        m_reporter.SetCardInfo(QStringLiteral("vložená karta nebyla rozpoznána"));
        // Nothing more is asked of a card that is not one to download, and held exclusively it
        // would stay closed to every other program until it is pulled.
        ReleaseCard();
        return;
    }

    // The data record of EF Identification starts the download: its content begins at byte 5.
    const std::size_t recordLength = (std::size_t{DownloadBuffer[3]} << 8) | DownloadBuffer[4];
    m_reporter.SetCardInfo(holderName(DownloadBuffer.data() + RecordHeaderSize, recordLength));
    m_reporter.cardIdentified();
}

namespace {

using CardFiles::CardFile;

// Shows how many of the run's files are done, and hides the progress at every end of the run.
// How many files a run has shows only as the card tells its generation and version.
class RunProgress
{
public:
    explicit RunProgress(DownloadReporter &reporter)
        : m_reporter(reporter)
    {
        m_reporter.setProgress(0, m_total);
    }
    ~RunProgress() { m_reporter.setProgress(0, 0); }
    RunProgress(const RunProgress &) = delete;
    RunProgress &operator=(const RunProgress &) = delete;

    void stepDone() { m_reporter.setProgress(++m_done, m_total); }
    void setTotal(int total)
    {
        if (total == m_total)
            return;
        m_total = total;
        m_reporter.setProgress(m_done, m_total);
    }

private:
    DownloadReporter &m_reporter;
    int m_done = 0;
    // Until the card tells, as many as a second-generation card of version 2 has.
    int m_total = CardFiles::runFileCount(1, 1) + CardFiles::runFileCount(2, 2);
};

// Seconds since 1970-01-01 00:00 UTC, as the card keeps its times.
std::uint32_t timeReal(const QDateTime &time)
{
    return static_cast<std::uint32_t>(std::clamp<qint64>(time.toSecsSinceEpoch(), 0, 0xFFFFFFFF));
}

} // namespace

DownloadRunResult CardDownload::runDownload(const QString &folder)
{
    m_reporter.runStarted();
    DownloadLength = 0;
    FileNamePart.clear();
    m_secondGenerationSignatureLength = 0;

    DownloadRunResult result;
    RunProgress progress(m_reporter);
    // The first file of a tachograph application that could not be read whole with its
    // signature: a download without it is not the download the law asks for.
    QString firstFailure;
    auto read = [this, &progress](const CardFile &file) {
        const bool done = ReadCardFile(QLatin1String(file.title), file.fileId, file.isSigned,
                                       file.generation == 2 ? CardApplication::SecondGeneration
                                                            : CardApplication::FirstGeneration);
        progress.stepDone();
        return done;
    };
    auto readApplicationFile = [&read, &firstFailure](const CardFile &file) {
        const bool done = read(file);
        if (!done && firstFailure.isEmpty())
            firstFailure = QLatin1String(file.title);
        return done;
    };
    const int firstGenerationFileCount = CardFiles::runFileCount(1, 1);

    // Identification left the tachograph application selected, and a card finds EF ICC and EF IC
    // only from its master file, where nothing but a reset takes it back.
    ResetCard();
    for (const CardFile &file : CardFiles::files(1)) {
        if (file.read == CardFiles::Read::MasterFile)
            read(file);
    }

    if (!selectTachographApplication()) {
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: není vložena tachografová karta"));
        return result;
    }
    for (const CardFile &file : CardFiles::files(1)) {
        if (file.read != CardFiles::Read::Application)
            continue;
        // Without the holder there is no download to name.
        if (file.fileId == CardFiles::Identification) {
            if (read(file))
                continue;
            m_reporter.SetStatus(QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"));
            return result;
        }
        readApplicationFile(file);
    }

    // A card need not select one application from inside the other: from the master file, after
    // a reset, every card does.
    ResetCard();
    result.cardGeneration = 1;
    switch (selectSecondGenerationApplication()) {
    case SecondApplication::Absent:
        progress.setTotal(firstGenerationFileCount);
        break;
    case SecondApplication::Failed:
        progress.setTotal(firstGenerationFileCount);
        if (firstFailure.isEmpty())
            firstFailure = QStringLiteral("Tachograph G2");
        break;
    case SecondApplication::Selected:
        result.cardGeneration = 2;
        for (const CardFile &file : CardFiles::files(2)) {
            // Without the card's word on its version, the files of version 2 are asked for all
            // the same: a card that lacks them answers so.
            if (file.read != CardFiles::Read::Application || (file.version2Only() && result.cardVersion == 1))
                continue;
            const auto record = static_cast<std::size_t>(DownloadLength);
            const bool done = readApplicationFile(file);
            if (file.fileId != CardFiles::ApplicationIdentification)
                continue;
            if (done) {
                const std::size_t length = std::size_t{DownloadBuffer[record + 3]} << 8 | DownloadBuffer[record + 4];
                result.cardVersion = ApplicationIdentification::secondGenerationVersion(
                        std::span(DownloadBuffer.data() + record + RecordHeaderSize, length));
            }
            progress.setTotal(firstGenerationFileCount + CardFiles::runFileCount(2, result.cardVersion == 1 ? 1 : 2));
        }
        break;
    }

    const QDateTime now = clock();
    const bool complete = firstFailure.isEmpty();
    result.firstFailedFile = firstFailure;
    const auto fileNameFor = [&](int number) {
        return complete ? downloadFileName(now, FileNamePart, number)
                        : incompleteDownloadFileName(now, FileNamePart, number);
    };
    result.fileName = fileNameFor(1);
    const FileWriteResult written =
            writeDownloadFile(folder, fileNameFor, DownloadBuffer.data(), static_cast<std::size_t>(DownloadLength));
    if (!written.fileName.isEmpty())
        result.fileName = written.fileName;

    // Only a download that is complete and kept marks the card as downloaded.
    if (written.written && complete) {
        bool marked = true;
        if (result.cardGeneration == 2)
            marked = markLastCardDownload(QStringLiteral("Card Download G2"), timeReal(now));
        ResetCard();
        marked = selectTachographApplication() && markLastCardDownload(QStringLiteral("Card Download"), timeReal(now))
                && marked;
        result.lastDownloadMarked = marked;
    }

    DisconnectCard();
    m_reporter.SetCardInfo(QStringLiteral("vyjměte kartu"));
    m_reporter.cardConnected(false);

    if (!written.written) {
        result.outcome = DownloadRunResult::Outcome::WriteFailed;
        result.errorText = written.text;
        return result;
    }
    // What was written is checked as the office will keep it; the incomplete status already
    // names what is wrong with it, so only the log tells its verification.
    const auto verifyWritten = [&] {
        return verifyWrittenDownload(m_reporter, downloadFilePath(folder, result.fileName),
                                     std::span(DownloadBuffer.data(), static_cast<std::size_t>(DownloadLength)), now,
                                     *trust);
    };
    if (!complete) {
        m_reporter.AddLog(QStringLiteral("----- Finished incomplete (%1 failed), saved to %2 -----")
                                  .arg(firstFailure, result.fileName));
        result.verification = verifyWritten();
        m_reporter.SetStatus(QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor ") + firstFailure);
        result.outcome = DownloadRunResult::Outcome::Incomplete;
        return result;
    }
    m_reporter.AddLog(QStringLiteral("----- Finished, saved to ") + result.fileName + QStringLiteral(" -----"));
    result.verification = verifyWritten();
    m_reporter.SetStatus(
            (result.lastDownloadMarked
                     ? QStringLiteral("Čtení karty dokončeno")
                     : QStringLiteral("Čtení karty dokončeno, datum vyčtení se na kartu nepodařilo zapsat"))
            + verificationStatusSuffix(result.verification));
    result.outcome = DownloadRunResult::Outcome::Complete;
    return result;
}
