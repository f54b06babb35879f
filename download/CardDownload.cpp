#include "download/CardDownload.h"

#include "card/TachoCard.h"
#include "download/DownloadFile.h"

#include <algorithm>

using namespace TachoCard;
using namespace DownloadFormat;

namespace {

constexpr std::uint16_t Success = 0x9000;
constexpr std::uint32_t ReadPieceSize = 256;
// READ BINARY carries the offset in P1-P2 with the top bit clear; files of 32 768 bytes or more
// are read on with the odd instruction, whose offset travels in a data object (tag 54).
constexpr std::uint32_t MaxEvenReadOffset = 0x7FFF;

QString hex4(std::uint16_t value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

std::uint8_t highByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

std::uint8_t lowByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}

// Answers that a card gives to a read at the offset just past the end of its file: 6B00 (offset
// beyond the end) or 6C00 (no bytes left).
bool isEndOfFileAnswer(std::uint16_t statusWord)
{
    return statusWord == 0x6B00 || statusWord == 0x6C00;
}

} // namespace

CardDownload::CardDownload(DownloadReporter &reporter)
    : m_reporter(reporter)
{ }

void CardDownload::logFailure(const char *what)
{
    m_reporter.AddLog(QStringLiteral("- error: %1, code %2").arg(QLatin1String(what), hex4(StatusWord)));
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

    // Every read after the first starts just past the bytes gathered so far, which all came in
    // whole pieces.
    std::uint32_t count = 0;
    for (;;) {
        std::uint32_t received = 0;
        const ReadOutcome outcome = readPiece(count, received);
        if (outcome == ReadOutcome::Failed)
            return false;
        if (outcome == ReadOutcome::EndOfFile)
            break;
        const bool oddInstruction = count > MaxEvenReadOffset;
        count += received;
        // A short piece of an even READ BINARY is the file's end. The pieces of the odd one have
        // no fixed size (the data object around them takes part of the answer): only the card's
        // answer at the end tells it.
        if (received == 0 || (!oddInstruction && received < ReadPieceSize))
            break;
    }

    if (!appendRecord(FileId, second ? SecondGenerationDataRecord : DataRecord, FileBuffer.data(), count))
        return false;

    if (FileId == IdentificationFileId && !second)
        FileNamePart = buildFileNamePart(FileBuffer.data(), count);
    if (FileId == CardSignCertificateFileId && second)
        m_secondGenerationSignatureLength = signatureLengthOfCertificate(FileBuffer.data(), count);

    if (Signed && !computeSignature(FileId, application))
        return false;

    m_reporter.AddLog(QStringLiteral("- success"));
    m_reporter.SetStatus(QString());
    return true;
}

std::uint32_t CardDownload::sendRead(std::uint32_t offset, std::uint8_t le)
{
    if (offset <= MaxEvenReadOffset) {
        setCommand({0x00, 0xB0, highByte(offset), lowByte(offset), le});
    } else if (offset <= 0xFF) {
        setCommand({0x00, 0xB1, 0x00, 0x00, 0x03, 0x54, 0x01, lowByte(offset), le});
    } else {
        setCommand({0x00, 0xB1, 0x00, 0x00, 0x04, 0x54, 0x02, highByte(offset), lowByte(offset), le});
    }
    TransmitCommand();
    return le == 0 ? ReadPieceSize : le;
}

CardDownload::ReadOutcome CardDownload::readPiece(std::uint32_t offset, std::uint32_t &received)
{
    // An offset beyond what the command can carry: the file would not fit the file buffer anyway.
    if (offset > 0xFFFF || offset > FileCapacity) {
        m_reporter.AddLog(QStringLiteral("- error: file too large, more than %1 bytes").arg(FileCapacity));
        return ReadOutcome::Failed;
    }

    // A read at the offset just past the bytes of a file whose size is a multiple of the pieces:
    // the card's refusal there means the file is complete.
    const bool atEndOfWholePieces = offset > 0;

    std::uint32_t asked = sendRead(offset, 0x00);
    if (atEndOfWholePieces && isEndOfFileAnswer(StatusWord))
        return ReadOutcome::EndOfFile;

    if ((StatusWord >> 8) == 0x6C)
        asked = sendRead(offset, lowByte(StatusWord));
    else if (StatusWord == 0x6700)
        return searchLengthLeft(offset, atEndOfWholePieces, received);

    if (StatusWord != Success) {
        logFailure("read file");
        return ReadOutcome::Failed;
    }
    return copyResponse(offset, asked, received) ? ReadOutcome::Data : ReadOutcome::Failed;
}

// Some cards answer a read that reaches past the end of the file with 6700 instead of telling the
// bytes left, also when none are left. Find the largest length the card accepts by halving the
// interval: eight more reads, each of which returns real data when it succeeds. When none is
// accepted just past whole pieces, the file was complete.
CardDownload::ReadOutcome CardDownload::searchLengthLeft(std::uint32_t offset, bool atEndOfWholePieces,
                                                         std::uint32_t &received)
{
    std::uint32_t accepted = 0;
    std::uint32_t refused = ReadPieceSize;
    std::uint16_t refusal = StatusWord;
    while (refused - accepted > 1) {
        const std::uint32_t length = (accepted + refused) / 2;
        sendRead(offset, static_cast<std::uint8_t>(length));
        if ((StatusWord >> 8) == 0x6C && lowByte(StatusWord) != 0) {
            // The card told the length after all.
            const std::uint32_t asked = sendRead(offset, lowByte(StatusWord));
            if (StatusWord != Success)
                break;
            return copyResponse(offset, asked, received) ? ReadOutcome::Data : ReadOutcome::Failed;
        }
        if (StatusWord == Success && ResponseLength >= 2) {
            accepted = length;
            if (!copyResponse(offset, length, received))
                return ReadOutcome::Failed;
        } else {
            refused = length;
            refusal = StatusWord;
        }
    }
    if (accepted == 0) {
        if (atEndOfWholePieces)
            return ReadOutcome::EndOfFile;
        StatusWord = refusal;
        logFailure("read file");
        return ReadOutcome::Failed;
    }
    // The data of the largest accepted read is already in the file buffer; the response area may
    // hold a later, refused probe.
    return ReadOutcome::Data;
}

bool CardDownload::copyResponse(std::uint32_t gathered, std::uint32_t asked, std::uint32_t &received)
{
    const std::uint8_t *data = ResponseBuffer.data();
    std::uint32_t length = ResponseLength - 2;
    // Beyond the offsets of an even READ BINARY the card wraps the data in a data object (tag
    // 53); the object must fill the answer exactly.
    if (gathered > MaxEvenReadOffset && length > 0) {
        std::size_t header = 0;
        std::size_t valueLength = 0;
        if (length >= 2 && data[0] == 0x53 && data[1] < 0x80) {
            header = 2;
            valueLength = data[1];
        } else if (length >= 3 && data[0] == 0x53 && data[1] == 0x81) {
            header = 3;
            valueLength = data[2];
        } else if (length >= 4 && data[0] == 0x53 && data[1] == 0x82) {
            header = 4;
            valueLength = std::size_t{data[2]} << 8 | data[3];
        }
        if (header == 0 || header + valueLength != length) {
            m_reporter.AddLog(QStringLiteral("- error: wrong data object - %1 bytes").arg(length));
            return false;
        }
        data += header;
        length = static_cast<std::uint32_t>(valueLength);
    }
    // Bytes beyond those asked for have no known place in the file; taking them would shift
    // every later piece.
    if (length > asked) {
        m_reporter.AddLog(QStringLiteral("- error: wrong data length - %1").arg(length));
        return false;
    }
    if (gathered + length > FileCapacity) {
        m_reporter.AddLog(QStringLiteral("- error: file too large, more than %1 bytes").arg(FileCapacity));
        return false;
    }
    std::copy_n(data, length, FileBuffer.begin() + gathered);
    received = length;
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
    if (expected != 0 ? length != expected : !isSecondGenerationSignatureLength(length)) {
        m_reporter.AddLog(QStringLiteral("- error: wrong signature length - %1").arg(length));
        return false;
    }
    return appendRecord(fileId, SecondGenerationSignatureRecord, ResponseBuffer.data(), length);
}

bool CardDownload::selectTachographApplication()
{
    m_reporter.AddLog(QStringLiteral("----- Select TACHO DF -----"));
    setCommand({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F});
    TransmitCommand();
    if (StatusWord == Success)
        return true;
    m_reporter.AddLog(QStringLiteral("- failed, code ") + hex4(StatusWord));
    return false;
}

CardDownload::SecondApplication CardDownload::selectSecondGenerationApplication()
{
    m_reporter.AddLog(QStringLiteral("----- Select TACHO_G2 DF -----"));
    setCommand({0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54});
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
    setCommand({0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x0E});
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

    if (!selectTachographApplication() || !ReadCardFile(QStringLiteral("Identification"), IdentificationFileId, true)) {
        m_reporter.SetCardInfo(QStringLiteral("vložená karta nebyla rozpoznána"));
        return;
    }

    // The data record of EF Identification starts the download: its content begins at byte 5.
    const std::size_t recordLength = (std::size_t{DownloadBuffer[3]} << 8) | DownloadBuffer[4];
    m_reporter.SetCardInfo(holderName(DownloadBuffer.data() + RecordHeaderSize, recordLength));
    m_reporter.cardIdentified();
}

namespace {

struct RunStep
{
    const char *title;
    std::uint16_t fileId;
    bool Signed;
};

constexpr RunStep MasterFileSteps[] = {
        {"ICC", 0x0002, false},
        {"IC", 0x0005, false},
};
constexpr RunStep StepsBeforeIdentification[] = {
        {"Card Certificate", 0xC100, false},
        {"CA Certificate", 0xC108, false},
        {"Application Identification", 0x0501, true},
};
constexpr RunStep IdentificationStep{"Identification", IdentificationFileId, true};
constexpr RunStep StepsAfterIdentification[] = {
        {"Card Download", 0x050E, true},
        {"Driving Licence Info", 0x0521, true},
        {"Events Data", 0x0502, true},
        {"Faults Data", 0x0503, true},
        {"Driver Activity Data", 0x0504, true},
        {"Vehicles Used", 0x0505, true},
        {"Places", 0x0506, true},
        {"Current Usage", 0x0507, true},
        {"Control Activity Data", 0x0508, true},
        {"Specific Conditions", 0x0522, true},
};

// Second-generation application: the certificates unsigned, then every application data EF but
// EF Card_Download and EF VU_Configuration, each signed, in the order of the card's file table.
constexpr RunStep SecondGenerationCertificates[] = {
        {"Card Sign Certificate G2", 0xC101, false},
        {"CA Certificate G2", 0xC108, false},
        {"Link Certificate G2", 0xC109, false},
};
constexpr RunStep SecondGenerationApplicationIdentification{"Application Identification G2", 0x0501, true};
constexpr RunStep SecondGenerationFiles[] = {
        {"Identification G2", 0x0520, true},
        {"Driving Licence Info G2", 0x0521, true},
        {"Events Data G2", 0x0502, true},
        {"Faults Data G2", 0x0503, true},
        {"Driver Activity Data G2", 0x0504, true},
        {"Vehicles Used G2", 0x0505, true},
        {"Places G2", 0x0506, true},
        {"Current Usage G2", 0x0507, true},
        {"Control Activity Data G2", 0x0508, true},
        {"Specific Conditions G2", 0x0522, true},
        {"Vehicle Units Used G2", 0x0523, true},
        {"GNSS Places G2", 0x0524, true},
};
// Only on cards of version 2.
constexpr RunStep SecondGenerationVersion2Files[] = {
        {"Application Identification V2 G2", 0x0525, true}, {"Places Authentication G2", 0x0526, true},
        {"GNSS Places Authentication G2", 0x0527, true},    {"Border Crossings G2", 0x0528, true},
        {"Load Unload Operations G2", 0x0529, true},        {"Load Type Entries G2", 0x0530, true},
};

constexpr int FirstGenerationFileCount = static_cast<int>(
        std::size(MasterFileSteps) + std::size(StepsBeforeIdentification) + 1 + std::size(StepsAfterIdentification));
constexpr int SecondGenerationVersion1FileCount =
        static_cast<int>(std::size(SecondGenerationCertificates) + 1 + std::size(SecondGenerationFiles));
constexpr int SecondGenerationVersion2FileCount =
        SecondGenerationVersion1FileCount + static_cast<int>(std::size(SecondGenerationVersion2Files));

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
    int m_total = FirstGenerationFileCount + SecondGenerationVersion2FileCount;
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
    auto read = [this, &progress](const RunStep &step, CardApplication application) {
        const bool done = ReadCardFile(QLatin1String(step.title), step.fileId, step.Signed, application);
        progress.stepDone();
        return done;
    };
    auto readApplicationFile = [&read, &firstFailure](const RunStep &step, CardApplication application) {
        const bool done = read(step, application);
        if (!done && firstFailure.isEmpty())
            firstFailure = QLatin1String(step.title);
        return done;
    };
    constexpr CardApplication First = CardApplication::FirstGeneration;
    constexpr CardApplication Second = CardApplication::SecondGeneration;

    // Identification left the tachograph application selected, and a card finds EF ICC and EF IC
    // only from its master file, where nothing but a reset takes it back.
    ResetCard();
    for (const RunStep &step : MasterFileSteps)
        read(step, First);

    if (!selectTachographApplication()) {
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: není vložena tachografová karta"));
        return result;
    }
    for (const RunStep &step : StepsBeforeIdentification)
        readApplicationFile(step, First);
    if (!read(IdentificationStep, First)) {
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"));
        return result;
    }
    for (const RunStep &step : StepsAfterIdentification)
        readApplicationFile(step, First);

    // A card need not select one application from inside the other: from the master file, after
    // a reset, every card does.
    ResetCard();
    result.cardGeneration = 1;
    switch (selectSecondGenerationApplication()) {
    case SecondApplication::Absent:
        progress.setTotal(FirstGenerationFileCount);
        break;
    case SecondApplication::Failed:
        progress.setTotal(FirstGenerationFileCount);
        if (firstFailure.isEmpty())
            firstFailure = QStringLiteral("Tachograph G2");
        break;
    case SecondApplication::Selected: {
        result.cardGeneration = 2;
        for (const RunStep &step : SecondGenerationCertificates)
            readApplicationFile(step, Second);
        const auto record = static_cast<std::size_t>(DownloadLength);
        if (readApplicationFile(SecondGenerationApplicationIdentification, Second)) {
            const std::size_t length = std::size_t{DownloadBuffer[record + 3]} << 8 | DownloadBuffer[record + 4];
            result.cardVersion = secondGenerationVersion(DownloadBuffer.data() + record + RecordHeaderSize, length);
        }
        // Without the card's word on its version, the files of version 2 are asked for all the
        // same: a card that lacks them answers so.
        progress.setTotal(
                FirstGenerationFileCount
                + (result.cardVersion == 1 ? SecondGenerationVersion1FileCount : SecondGenerationVersion2FileCount));
        for (const RunStep &step : SecondGenerationFiles)
            readApplicationFile(step, Second);
        if (result.cardVersion != 1) {
            for (const RunStep &step : SecondGenerationVersion2Files)
                readApplicationFile(step, Second);
        }
        break;
    }
    }

    const QDateTime now = clock();
    const bool complete = firstFailure.isEmpty();
    result.firstFailedFile = firstFailure;
    result.fileName = complete ? downloadFileName(now, FileNamePart) : incompleteDownloadFileName(now, FileNamePart);
    const FileWriteResult written =
            writeDownloadFile(folder, result.fileName, DownloadBuffer.data(), static_cast<std::size_t>(DownloadLength));

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
