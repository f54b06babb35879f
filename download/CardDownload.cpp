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

bool CardDownload::ReadCardFile(const QString &FileTitle, std::uint16_t FileId, bool Signed)
{
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

    if (!appendRecord(FileId, DataRecord, FileBuffer.data(), count))
        return false;

    if (FileId == IdentificationFileId)
        FileNamePart = buildFileNamePart(FileBuffer.data(), count);

    if (Signed) {
        m_reporter.AddLog(QStringLiteral("- compute signature"));
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
        if (!appendRecord(FileId, SignatureRecord, ResponseBuffer.data(), SignatureSize))
            return false;
    }

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

void CardDownload::IdentifyCard()
{
    m_reporter.setReadButtonEnabled(false);
    m_reporter.SetCardInfo(QStringLiteral("načítám informace..."));
    if (!ConnectCard()) {
        m_reporter.SetCardInfo(QString());
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: kartu nelze připojit"));
        return;
    }
    m_reporter.setCardPanel(QStringLiteral("Karta připojena"));
    DownloadLength = 0;

    if (!selectTachographApplication() || !ReadCardFile(QStringLiteral("Identification"), IdentificationFileId, true)) {
        m_reporter.SetCardInfo(QStringLiteral("vložená karta nebyla rozpoznána"));
        return;
    }

    // The data record of EF Identification starts the download: its content begins at byte 5.
    const std::size_t recordLength = (std::size_t{DownloadBuffer[3]} << 8) | DownloadBuffer[4];
    m_reporter.SetCardInfo(holderName(DownloadBuffer.data() + RecordHeaderSize, recordLength));
    m_reporter.setReadButtonEnabled(true);
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

constexpr int RunFileCount = static_cast<int>(std::size(MasterFileSteps) + std::size(StepsBeforeIdentification) + 1
                                              + std::size(StepsAfterIdentification));

// Shows how many of the run's files are done, and hides the progress at every end of the run.
class RunProgress
{
public:
    explicit RunProgress(DownloadReporter &reporter)
        : m_reporter(reporter)
    {
        m_reporter.setProgress(0, RunFileCount);
    }
    ~RunProgress() { m_reporter.setProgress(0, 0); }
    RunProgress(const RunProgress &) = delete;
    RunProgress &operator=(const RunProgress &) = delete;

    void stepDone() { m_reporter.setProgress(++m_done, RunFileCount); }

private:
    DownloadReporter &m_reporter;
    int m_done = 0;
};

} // namespace

DownloadRunResult CardDownload::runDownload(const QString &folder)
{
    m_reporter.setReadButtonEnabled(false);
    m_reporter.clearLog();
    DownloadLength = 0;
    FileNamePart.clear();

    RunProgress progress(m_reporter);
    auto read = [this, &progress](const RunStep &step) {
        const bool done = ReadCardFile(QLatin1String(step.title), step.fileId, step.Signed);
        progress.stepDone();
        return done;
    };
    // The first file of the tachograph application that could not be read whole with its
    // signature: a download without it is not the download the law asks for.
    QString firstFailure;
    auto readApplicationFile = [&read, &firstFailure](const RunStep &step) {
        const bool done = read(step);
        if (!done && firstFailure.isEmpty())
            firstFailure = QLatin1String(step.title);
        return done;
    };

    // Identification left the tachograph application selected, and a card finds EF ICC and EF IC
    // only from its master file, where nothing but a reset takes it back.
    ResetCard();
    for (const RunStep &step : MasterFileSteps)
        read(step);

    if (!selectTachographApplication()) {
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: není vložena tachografová karta"));
        return {};
    }
    for (const RunStep &step : StepsBeforeIdentification)
        readApplicationFile(step);
    if (!read(IdentificationStep)) {
        m_reporter.SetStatus(QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"));
        return {};
    }
    for (const RunStep &step : StepsAfterIdentification)
        readApplicationFile(step);

    DisconnectCard();
    m_reporter.SetCardInfo(QStringLiteral("vyjměte kartu"));
    m_reporter.setCardPanel(QString());

    const bool complete = firstFailure.isEmpty();
    const QString fileName =
            complete ? downloadFileName(clock(), FileNamePart) : incompleteDownloadFileName(clock(), FileNamePart);
    const FileWriteResult written =
            writeDownloadFile(folder, fileName, DownloadBuffer.data(), static_cast<std::size_t>(DownloadLength));
    if (!written.written)
        return {DownloadRunResult::Outcome::WriteFailed, fileName, written.text, firstFailure};

    if (!complete) {
        m_reporter.AddLog(
                QStringLiteral("----- Finished incomplete (%1 failed), saved to %2 -----").arg(firstFailure, fileName));
        m_reporter.SetStatus(QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor ") + firstFailure);
        return {DownloadRunResult::Outcome::Incomplete, fileName, {}, firstFailure};
    }
    m_reporter.AddLog(QStringLiteral("----- Finished, saved to ") + fileName + QStringLiteral(" -----"));
    m_reporter.SetStatus(QStringLiteral("Čtení karty dokončeno"));
    return {DownloadRunResult::Outcome::Complete, fileName, {}, {}};
}
