#include "card/TachoCard.h"

#include "card/CardMonitor.h"
#include "card/SCardErr.h"
#include "card/WinSCard.h"

#include <algorithm>
#include <cstring>

namespace TachoCard {

std::uint32_t CommandLength = 0;
std::uint32_t ResponseLength = 0;
std::array<std::uint8_t, ApduBufferSize> CommandBuffer{};
std::array<std::uint8_t, ApduBufferSize> ResponseBuffer{};
std::uint16_t StatusWord = 0;
std::atomic<std::uint32_t> ReaderState{0};

namespace {

SCARDCONTEXT ContextHandle = 0;
SCARDHANDLE CardHandle = 0;
SCARD_IO_REQUEST SendPci{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
LONG LastResult = SCARD_S_SUCCESS;
std::atomic<bool> StopRequested{false};
std::string ReaderName;
LogSink logSink;

void logResult()
{
    CardLog(SCardErrorText(resultCode(LastResult)));
}

bool succeeded()
{
    return LastResult == SCARD_S_SUCCESS;
}

// " 00 A4 04 ..." : every byte preceded by one space.
std::string hexLine(const std::uint8_t *bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string line(count * 3, ' ');
    for (std::size_t i = 0; i < count; ++i) {
        line[i * 3 + 1] = digits[bytes[i] >> 4];
        line[i * 3 + 2] = digits[bytes[i] & 0x0F];
    }
    return line;
}

std::string characterLine(const std::uint8_t *bytes, std::size_t count)
{
    std::string line(count, '.');
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7F)
            line[i] = static_cast<char>(bytes[i]);
    }
    return line;
}

} // namespace

void setLogSink(LogSink sink)
{
    logSink = std::move(sink);
}

void CardLog(const std::string &text)
{
    if (logSink)
        logSink(text);
}

void setCommand(std::initializer_list<std::uint8_t> bytes)
{
    const std::size_t count = std::min(bytes.size(), CommandBuffer.size());
    std::copy_n(bytes.begin(), count, CommandBuffer.begin());
    CommandLength = static_cast<std::uint32_t>(count);
}

// After the resource manager restarted, the context of the start is dead: establish a new one.
static bool reestablishContext()
{
    if (ContextHandle != 0)
        SCardReleaseContext(ContextHandle);
    ContextHandle = 0;
    LastResult = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ContextHandle);
    if (succeeded())
        return true;
    ContextHandle = 0;
    return false;
}

// The multi-string of reader names, however long: its length is asked first, and asked again
// when a reader came between the two calls.
static bool readReaderList(std::string &list)
{
    constexpr int Attempts = 4;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        DWORD length = 0;
        LastResult = SCardListReaders(ContextHandle, nullptr, nullptr, &length);
        if (!succeeded())
            return false;
        list.assign(static_cast<std::size_t>(length), '\0');
        LastResult = SCardListReaders(ContextHandle, nullptr, list.data(), &length);
        if (LastResult == SCARD_E_INSUFFICIENT_BUFFER)
            continue;
        if (!succeeded())
            return false;
        list.resize(std::min(list.size(), static_cast<std::size_t>(length)));
        return true;
    }
    return false;
}

// The context of the first listing is kept for later ones: a card connected through it stays
// connected when the list is read again because a reader came or went.
bool ListReaders(std::vector<std::string> &items)
{
    if (ContextHandle == 0 && !reestablishContext()) {
        logResult();
        return false;
    }
    std::string list;
    bool read = readReaderList(list);
    if (!read && (isServiceLost(resultCode(LastResult)) || LastResult == SCARD_E_INVALID_HANDLE)
        && reestablishContext())
        read = readReaderList(list);
    if (!read) {
        logResult();
        return false;
    }
    if (list.empty() || list[0] == '\0') {
        logResult();
        return false;
    }

    items.clear();
    std::size_t position = 0;
    while (position < list.size() && list[position] != '\0') {
        const std::size_t end = std::min(list.find('\0', position), list.size());
        items.emplace_back(list, position, end - position);
        position = end + 1;
    }
    return true;
}

bool IsCardConnected()
{
    return CardHandle != 0;
}

bool ConnectCard()
{
    if (CardHandle != 0) {
        // The handle of an earlier card (gone, or left after a failed identification) would
        // otherwise stay open in the resource manager for the life of the program.
        SCardDisconnect(CardHandle, SCARD_UNPOWER_CARD);
    }
    CardHandle = 0;
    DWORD activeProtocol = SCARD_PROTOCOL_T0;
    auto connect = [&activeProtocol] {
        LastResult = SCardConnect(ContextHandle, ReaderName.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0,
                                  &CardHandle, &activeProtocol);
    };
    connect();
    if (isServiceLost(resultCode(LastResult)) && reestablishContext())
        connect();
    if (succeeded()) {
        CardLog("Card connected");
    } else {
        CardHandle = 0;
        logResult();
    }
    SendPci.dwProtocol = activeProtocol;
    SendPci.cbPciLength = sizeof(SCARD_IO_REQUEST);
    return IsCardConnected();
}

bool ResetCard()
{
    DWORD activeProtocol = SendPci.dwProtocol;
    LastResult =
            SCardReconnect(CardHandle, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &activeProtocol);
    if (!succeeded()) {
        logResult();
        return false;
    }
    SendPci.dwProtocol = activeProtocol;
    SendPci.cbPciLength = sizeof(SCARD_IO_REQUEST);
    CardLog("Card reset");
    return true;
}

void RequestStop()
{
    StopRequested = true;
}

void TransmitCommand()
{
    StatusWord = 0;
    if (!IsCardConnected())
        return;
    if (StopRequested) {
        ResponseLength = 0;
        LastResult = SCARD_E_CANCELLED;
        CardLog("Error:");
        logResult();
        return;
    }

    const std::size_t commandLength = std::min<std::size_t>(CommandLength, CommandBuffer.size());
    CardLog("Command:");
    CardLog(hexLine(CommandBuffer.data(), commandLength));

    DWORD received = ApduBufferSize;
    LastResult = SCardTransmit(CardHandle, &SendPci, CommandBuffer.data(), static_cast<DWORD>(commandLength), nullptr,
                               ResponseBuffer.data(), &received);
    if (!succeeded()) {
        ResponseLength = 0;
        CardLog("Error:");
        logResult();
        return;
    }
    ResponseLength = static_cast<std::uint32_t>(std::min<DWORD>(received, ApduBufferSize));

    if (ResponseLength > 2) {
        const std::size_t dataLength = ResponseLength - 2;
        CardLog("Response data (len = " + std::to_string(dataLength) + "):");
        CardLog(hexLine(ResponseBuffer.data(), dataLength));
        CardLog(characterLine(ResponseBuffer.data(), dataLength));
    }
    CardLog("Response code:");
    if (ResponseLength < 2) {
        // No status word came back: show what did and leave StatusWord at 0, which every caller
        // reads as a failed command.
        CardLog(hexLine(ResponseBuffer.data(), ResponseLength));
        return;
    }
    CardLog(hexLine(ResponseBuffer.data() + ResponseLength - 2, 2));
    StatusWord =
            static_cast<std::uint16_t>(ResponseBuffer[ResponseLength - 2] * 256 + ResponseBuffer[ResponseLength - 1]);
}

bool DisconnectCard()
{
    cancelMonitorWait();
    LastResult = SCardDisconnect(CardHandle, SCARD_UNPOWER_CARD);
    return true;
}

void ReleaseCard()
{
    DisconnectCard();
    CardHandle = 0;
}

void ReleaseCardContext()
{
    stopCardMonitor();
    DisconnectCard();
    if (ContextHandle != 0) {
        LastResult = SCardReleaseContext(ContextHandle);
        ContextHandle = 0;
    }
    // The session that asked for the stop is over; a window opened after it starts afresh.
    StopRequested = false;
}

bool StartCardMonitor(const std::string &readerName, CardStateReceiver *window, std::uint32_t monitorTag)
{
    stopCardMonitor();
    DisconnectCard();
    ReaderName = readerName;
    if (window != nullptr) {
        ReaderState = 0;
        startCardMonitor(ReaderName, window, monitorTag);
    }
    return true;
}

std::string currentReaderName()
{
    return ReaderName;
}

} // namespace TachoCard
