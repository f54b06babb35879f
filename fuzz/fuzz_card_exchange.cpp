// The command exchange and the download steps, fed with arbitrary card answers through the fake
// PC/SC functions.
//
// The input is a script of steps. Each step is an operation byte and its arguments; the card's
// answers to the step's commands follow in the input, one per exchange:
//   op % 4 == 0  ReadCardFile unsigned, then a file id (a byte choosing from FileIds; 0xF0 and
//                up: the next two bytes); with bit 6 of op set, as a file of the second-generation
//                application
//   op % 4 == 1  ReadCardFile signed, then a file id; bit 6 as above
//   op % 4 == 2  IdentifyCard; with the top bit of op set the connection fails
//   op % 4 == 3  one raw exchange: a command length (word) and the command bytes
// An answer is a control byte; by its top three bits: 0 a PC/SC failure (the low bits choose
// it), 1 a status word alone, 2 to 4 the data asked for and 9000, 5 the data asked for and a
// status word, 6 a data length (word) and a status word, 7 raw bytes (word length, the bytes).
// A status word is a byte choosing from StatusWords; 0xC0 to 0xDF: 6Cxx with xx the next byte;
// 0xE0 and up: the next two bytes. The data comes from fileByte. Words are big-endian.

#include "FuzzInput.h"
#include "card/TachoCard.h"
#include "cardmodel/CardFiles.h"
#include "cardmodel/EcCurve.h"
#include "download/CardDownload.h"
#include "support/DddFile.h"
#include "support/FakePcsc.h"
#include "support/RecordingReporter.h"

#include <algorithm>
#include <bitset>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace DownloadFormat;

constexpr std::size_t MaxSteps = 24;

constexpr std::uint16_t FileIds[] = {
        CardFiles::Identification, 0x0002, 0x0005, 0xC100, 0x0501, 0x050E, 0x0504, 0x0507, 0xC101, 0x0529};
constexpr LONG Failures[] = {
        SCARD_E_NOT_TRANSACTED, SCARD_W_REMOVED_CARD,   SCARD_E_INSUFFICIENT_BUFFER, SCARD_E_TIMEOUT,
        SCARD_F_COMM_ERROR,     SCARD_E_INVALID_HANDLE, SCARD_W_RESET_CARD,          SCARD_E_NO_SMARTCARD,
};
constexpr std::uint16_t StatusWords[] = {0x9000, 0x6C00, 0x6B00, 0x6700, 0x6A82, 0x6985, 0x6281,
                                         0x6D00, 0x6F00, 0x6982, 0x6100, 0x6CFF, 0x6C01, 0x6C80};

// PSO: COMPUTE DIGITAL SIGNATURE, whatever length it asks for.
bool isSignCommand(const Bytes &command)
{
    return command.size() == 5 && command[0] == 0x00 && command[1] == 0x2A && command[2] == 0x9E && command[3] == 0x9A;
}

// One READ BINARY that the card answered with data and 9000.
struct ReadAnswer
{
    std::uint32_t offset = 0;
    Bytes data;
};

// What the scripted card did during the current step.
struct CardScript
{
    FuzzInput *input = nullptr;
    bool rawStep = false;
    std::uint16_t selected = 0;
    std::vector<ReadAnswer> reads;
    Bytes lastCommand;
    FakePcsc::Reply lastReply;
    Bytes lastSignature;
    std::size_t exchanges = 0;
} script;

std::uint16_t fileIdFrom(FuzzInput &input)
{
    const std::uint8_t choice = input.byte();
    return choice < 0xF0 ? FileIds[choice % std::size(FileIds)] : input.word();
}

std::uint16_t statusWordFrom(FuzzInput &input)
{
    const std::uint8_t choice = input.byte();
    if (choice < 0xC0)
        return StatusWords[choice % std::size(StatusWords)];
    if (choice < 0xE0)
        return static_cast<std::uint16_t>(0x6C00 | input.byte());
    return input.word();
}

// The bytes of a file differ from piece to piece, so that data put at the wrong offset shows.
std::uint8_t fileByte(std::uint16_t fileId, std::size_t position)
{
    return static_cast<std::uint8_t>(position * 7 + (position >> 8) * 13 + fileId);
}

// The data a well-behaved card sends for a command: Le bytes of a short read or signature,
// none for the others.
std::size_t askedLength(const Bytes &command)
{
    if (command.size() != 5)
        return 0;
    return command[4] == 0 ? 256 : command[4];
}

std::uint32_t readOffset(const Bytes &command)
{
    return static_cast<std::uint32_t>(command[2] << 8 | command[3]);
}

bool isReadBinary(const Bytes &command)
{
    return command.size() >= 4 && command[1] == 0xB0;
}

FakePcsc::Reply dataAnswer(const Bytes &command, std::size_t length, std::uint16_t statusWord)
{
    const std::uint32_t offset = isReadBinary(command) ? readOffset(command) : 0;
    FakePcsc::Reply reply;
    for (std::size_t i = 0; i < length; ++i)
        reply.bytes.push_back(fileByte(script.selected, offset + i));
    reply.bytes.push_back(static_cast<std::uint8_t>(statusWord >> 8));
    reply.bytes.push_back(static_cast<std::uint8_t>(statusWord & 0xFF));
    return reply;
}

FakePcsc::Reply answerTo(const Bytes &command)
{
    FuzzInput &input = *script.input;
    const std::uint8_t control = input.byte();
    switch (control >> 5) {
    case 0:
        return {Failures[control & 7], {}};
    case 1:
        return dataAnswer(command, 0, statusWordFrom(input));
    case 2:
    case 3:
    case 4:
        return dataAnswer(command, askedLength(command), 0x9000);
    case 5:
        return dataAnswer(command, askedLength(command), statusWordFrom(input));
    case 6: {
        const std::size_t length = input.word();
        return dataAnswer(command, length, statusWordFrom(input));
    }
    default: {
        // Raw bytes, even fewer than a status word.
        const auto raw = input.bytes(input.word());
        return {SCARD_S_SUCCESS, Bytes(raw.begin(), raw.end())};
    }
    }
}

bool deliverable(const FakePcsc::Reply &reply)
{
    return reply.result == SCARD_S_SUCCESS && reply.bytes.size() <= TachoCard::ApduBufferSize;
}

FakePcsc::Reply cardAnswer(const Bytes &command)
{
    ++script.exchanges;
    if (!script.rawStep && isReadBinary(command)) {
        fuzzCheck(command.size() == 5, "READ BINARY has five bytes");
        // With the top bit set, P1 names a short file identifier instead of an offset.
        fuzzCheck(command[2] < 0x80, "READ BINARY offset below 0x8000");
    }
    if (command.size() >= 7 && command[1] == 0xA4 && command[2] == 0x02)
        script.selected = static_cast<std::uint16_t>(command[5] << 8 | command[6]);

    FakePcsc::Reply reply = answerTo(command);
    const std::size_t size = reply.bytes.size();
    const bool success = deliverable(reply) && size >= 2 && reply.bytes[size - 2] == 0x90 && reply.bytes[size - 1] == 0;
    if (success && isReadBinary(command))
        script.reads.push_back({readOffset(command), Bytes(reply.bytes.begin(), reply.bytes.end() - 2)});
    if (success && isSignCommand(command))
        script.lastSignature.assign(reply.bytes.begin(), reply.bytes.end() - 2);
    script.lastCommand = command;
    script.lastReply = reply;
    return reply;
}

void startStep()
{
    script.rawStep = false;
    script.reads.clear();
    script.lastCommand.clear();
    script.lastSignature.clear();
}

Bytes downloaded(const CardDownload &download)
{
    fuzzCheck(download.DownloadLength >= 0
                      && static_cast<std::size_t>(download.DownloadLength) <= download.DownloadBuffer.size(),
              "DownloadLength within the download buffer");
    return {download.DownloadBuffer.begin(), download.DownloadBuffer.begin() + download.DownloadLength};
}

// The records of the download, which must always be a well-formed file.
std::vector<DddRecord> records(const Bytes &bytes)
{
    if (bytes.empty())
        return {};
    const DddFile::ParseResult parsed = DddFile::parse(bytes);
    fuzzCheck(parsed.ok, "the download parses as records");
    fuzzCheck(DddFile::signaturesFollowData(parsed.records).ok, "every signature follows its data record");
    return parsed.records;
}

// Every byte of a data record is a byte the card sent for that position of the file.
void checkContentCameFromTheCard(const Bytes &content)
{
    fuzzCheck(content.size() <= FileCapacity, "data record within the file buffer");
    std::vector<std::bitset<256>> sent(content.size());
    for (const ReadAnswer &read : script.reads) {
        for (std::size_t i = 0; i < read.data.size() && read.offset + i < content.size(); ++i)
            sent[read.offset + i].set(read.data[i]);
    }
    for (std::size_t i = 0; i < content.size(); ++i)
        fuzzCheck(sent[i].test(content[i]), "data record holds what the card sent at each offset");
}

void readStep(CardDownload &download, std::uint16_t fileId, bool Signed, bool second)
{
    const Bytes before = downloaded(download);
    const QByteArray namePartBefore = download.FileNamePart;

    startStep();
    const bool done =
            download.ReadCardFile(QStringLiteral("File"), fileId, Signed,
                                  second ? CardApplication::SecondGeneration : CardApplication::FirstGeneration);
    const DddRecordType dataType = second ? DddRecordType::SecondGenerationData : DddRecordType::Data;

    const Bytes after = downloaded(download);
    fuzzCheck(after.size() >= before.size() && std::equal(before.begin(), before.end(), after.begin()),
              "earlier records stay as they were");
    records(after);
    const std::vector<DddRecord> added = records(Bytes(after.begin() + std::ssize(before), after.end()));

    const bool dataAdded = !added.empty() && added[0].fileId == fileId && added[0].type == dataType;
    if (done && Signed) {
        fuzzCheck(added.size() == 2 && dataAdded && added[1].fileId == fileId, "a signed step adds two records");
        fuzzCheck(added[1].content == script.lastSignature, "the signature record holds the card's signature");
        fuzzCheck(second ? EcCurve::isSignatureLength(added[1].content.size())
                         : added[1].content.size() == SignatureSize,
                  "a signature as long as the application's keys make them");
    } else if (done) {
        fuzzCheck(added.size() == 1 && dataAdded, "an unsigned step adds one data record");
    } else {
        // Only the data record may stay, when the signature was what failed.
        fuzzCheck(added.empty() || (Signed && added.size() == 1 && dataAdded && isSignCommand(script.lastCommand)),
                  "a failed step adds no partial record");
    }
    if (dataAdded)
        checkContentCameFromTheCard(added[0].content);
    if (dataAdded && fileId == CardFiles::Identification && !second) {
        fuzzCheck(download.FileNamePart == buildFileNamePart(added[0].content.data(), added[0].content.size()),
                  "the file name part comes from the identification just read");
    } else {
        fuzzCheck(download.FileNamePart == namePartBefore, "the file name part changes only with identification");
    }
}

void identifyStep(CardDownload &download, RecordingReporter &reporter, bool connectionFails)
{
    FakePcsc::setConnectResult(connectionFails ? static_cast<LONG>(SCARD_E_NO_SMARTCARD) : SCARD_S_SUCCESS);
    const Bytes before = downloaded(download);
    startStep();
    download.IdentifyCard();

    if (connectionFails) {
        fuzzCheck(downloaded(download) == before && !reporter.identified,
                  "a card that cannot be connected changes nothing");
        return;
    }
    const std::vector<DddRecord> found = records(downloaded(download));
    for (const DddRecord &record : found)
        fuzzCheck(record.fileId == CardFiles::Identification, "identification records only identification");
    if (reporter.identified) {
        fuzzCheck(found.size() == 2 && found[0].type == DddRecordType::Data, "identified with data and signature");
        const Bytes &content = found[0].content;
        fuzzCheck(reporter.cardInfo == holderName(content.data(), content.size()), "the holder comes from the card");
    } else {
        fuzzCheck(found.size() <= 1, "an unidentified card leaves at most its data record");
    }
}

void rawExchangeStep(FuzzInput &input)
{
    using namespace TachoCard;
    const std::uint16_t length = input.word();
    const auto command = input.bytes(std::min<std::size_t>(length, CommandBuffer.size()));
    std::copy(command.begin(), command.end(), CommandBuffer.begin());
    CommandLength = length;

    startStep();
    script.rawStep = true;
    const std::size_t exchangesBefore = script.exchanges;
    TransmitCommand();

    if (!IsCardConnected()) {
        fuzzCheck(StatusWord == 0 && script.exchanges == exchangesBefore, "no exchange without a card");
        return;
    }
    fuzzCheck(script.exchanges == exchangesBefore + 1, "one command, one exchange");
    const std::size_t sent = std::min<std::size_t>(length, CommandBuffer.size());
    fuzzCheck(script.lastCommand
                      == Bytes(CommandBuffer.begin(), CommandBuffer.begin() + static_cast<std::ptrdiff_t>(sent)),
              "the command goes out as filled in");
    const FakePcsc::Reply &reply = script.lastReply;
    if (!deliverable(reply)) {
        fuzzCheck(ResponseLength == 0 && StatusWord == 0, "a failed exchange leaves no response");
        return;
    }
    const std::size_t size = reply.bytes.size();
    fuzzCheck(ResponseLength == size && std::equal(reply.bytes.begin(), reply.bytes.end(), ResponseBuffer.begin()),
              "the response is what the card sent");
    const std::uint16_t expected =
            size < 2 ? 0 : static_cast<std::uint16_t>(reply.bytes[size - 2] << 8 | reply.bytes[size - 1]);
    fuzzCheck(StatusWord == expected, "the status word is the response's last two bytes");
}

// KORVAN_FUZZ_TRACE=1 shows the exchanges and the step log of an input run by hand.
const bool Trace = std::getenv("KORVAN_FUZZ_TRACE") != nullptr;

void checkLogLine(const std::string &line)
{
    if (Trace)
        std::fprintf(stderr, "card: %s\n", line.c_str());
    fuzzCheck(std::all_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }),
              "card log lines are plain ASCII");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool sinkSet = [] {
        TachoCard::setLogSink(checkLogLine);
        return true;
    }();
    (void)sinkSet;

    FuzzInput input(data, size);
    script = CardScript{};
    script.input = &input;

    FakePcsc::reset();
    FakePcsc::setCard(cardAnswer);
    std::vector<std::string> readers;
    fuzzCheck(TachoCard::ListReaders(readers), "the fake reader is listed");
    TachoCard::StartCardMonitor(readers.front(), nullptr);
    fuzzCheck(TachoCard::ConnectCard(), "the fake card connects");

    RecordingReporter reporter;
    auto download = std::make_unique<CardDownload>(reporter);
    for (std::size_t step = 0; step < MaxSteps && !input.empty(); ++step) {
        const std::uint8_t op = input.byte();
        switch (op % 4) {
        case 0:
        case 1:
            readStep(*download, fileIdFrom(input), op % 4 == 1, (op & 0x40) != 0);
            break;
        case 2:
            identifyStep(*download, reporter, (op & 0x80) != 0);
            break;
        default:
            rawExchangeStep(input);
            break;
        }
    }
    for (const QString &line : reporter.log) {
        if (Trace)
            std::fprintf(stderr, "step: %s\n", line.toUtf8().constData());
    }
    return 0;
}
