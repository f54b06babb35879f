#include "download/CardFileReader.h"

#include "card/TachoCard.h"
#include "download/CommandBytes.h"
#include "download/DownloadFormat.h"

#include <algorithm>

using namespace TachoCard;
using namespace DownloadFormat;

namespace {

constexpr std::uint16_t Success = 0x9000;
constexpr std::uint32_t ReadPieceSize = 256;
// READ BINARY carries the offset in P1-P2 with the top bit clear; files of 32 768 bytes or more
// are read on with the odd instruction, whose offset travels in a data object (tag 54).
constexpr std::uint32_t MaxEvenReadOffset = 0x7FFF;

// Answers that a card gives to a read at the offset just past the end of its file: 6B00 (offset
// beyond the end) or 6C00 (no bytes left).
bool isEndOfFileAnswer(std::uint16_t statusWord)
{
    return statusWord == 0x6B00 || statusWord == 0x6C00;
}

} // namespace

void logCommandFailure(DownloadReporter &reporter, const char *what)
{
    reporter.AddLog(QStringLiteral("- error: %1, code %2").arg(QLatin1String(what), hex4(StatusWord)));
}

std::optional<std::uint32_t> CardFileReader::readSelectedFile()
{
    // Every read after the first starts just past the bytes gathered so far, which all came in
    // whole pieces.
    std::uint32_t count = 0;
    for (;;) {
        std::uint32_t received = 0;
        const ReadOutcome outcome = readPiece(count, received);
        if (outcome == ReadOutcome::Failed)
            return std::nullopt;
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

    return count;
}

std::uint32_t CardFileReader::sendRead(std::uint32_t offset, std::uint8_t le)
{
    if (offset <= MaxEvenReadOffset) {
        setCommand({0x00, 0xB0, highByte(offset), lowByte(offset), le});
    } else {
        // Past the even instruction's reach the offset always takes two bytes.
        setCommand({0x00, 0xB1, 0x00, 0x00, 0x04, 0x54, 0x02, highByte(offset), lowByte(offset), le});
    }
    TransmitCommand();
    return le == 0 ? ReadPieceSize : le;
}

CardFileReader::ReadOutcome CardFileReader::readPiece(std::uint32_t offset, std::uint32_t &received)
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
CardFileReader::ReadOutcome CardFileReader::searchLengthLeft(std::uint32_t offset, bool atEndOfWholePieces,
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

bool CardFileReader::copyResponse(std::uint32_t gathered, std::uint32_t asked, std::uint32_t &received)
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
    std::copy_n(data, length, m_buffer.begin() + gathered);
    received = length;
    return true;
}
