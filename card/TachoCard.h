#pragma once

// The card access unit: the program's only contact with the smart-card reader. One reader and one
// card per process, as plain routines over unit-level state. pcsc-lite wants one context per
// thread: these routines are called from one thread only (the program's card worker), and the
// card presence monitor waits on a context of its own on its own thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace TachoCard {

inline constexpr std::size_t ApduBufferSize = 0x8000;

// The exchange area: a caller fills the command, calls TransmitCommand and reads the response
// before its next exchange.
extern std::uint32_t CommandLength;
extern std::uint32_t ResponseLength;
extern std::array<std::uint8_t, ApduBufferSize> CommandBuffer;
extern std::array<std::uint8_t, ApduBufferSize> ResponseBuffer;
extern std::uint16_t StatusWord;

// Event-state word of the watched reader, written by the monitor thread before each notice.
extern std::atomic<std::uint32_t> ReaderState;

// Where the card layer's log lines go; the card worker installs it. Lines are plain ASCII.
using LogSink = std::function<void(const std::string &line)>;
void setLogSink(LogSink sink);
void CardLog(const std::string &text);

// Fills CommandBuffer and CommandLength.
void setCommand(std::initializer_list<std::uint8_t> bytes);

bool ListReaders(std::vector<std::string> &items);
bool ConnectCard();
bool IsCardConnected();
void TransmitCommand();
// The program is ending: every later command fails at once as a cancelled one, so that a run
// stops at its next command and writes what it read. Any thread may call it; releasing the
// context ends the request.
void RequestStop();
bool DisconnectCard();
// Disconnects and forgets the card: no later command goes to it, and IsCardConnected says so.
void ReleaseCard();
void ReleaseCardContext();

// Warm reset of the held connection (still exclusive, T=0): the card returns to its master file.
bool ResetCard();

// One notice of the monitor: the result of a wait and the reader's event state it left, taken
// together, so that a receiver that handles it late still sees what that wait saw. pcsc-lite
// counts the card insertions and removals of a reader in the high 16 bits of the event state.
struct CardNotice
{
    std::uint32_t result = 0;
    std::uint32_t eventState = 0;
    // The tag given to StartCardMonitor: tells the notices of one monitor from those of the one
    // it replaced.
    std::uint32_t monitor = 0;
    // The wait saw readers come or go (or a service that came back): the list is to be read
    // again.
    bool readersChanged = false;

    std::uint32_t eventCounter() const { return eventState >> 16; }
};

// Receives the monitor's notices. PostCardState is called on the monitor thread and must only
// hand the notice over to the receiver's own thread.
class CardStateReceiver
{
public:
    virtual void PostCardState(const CardNotice &notice) = 0;

protected:
    ~CardStateReceiver() = default;
};

// Watches the reader, and the reader list of the resource manager; with an empty name, only the
// list (no reader to watch yet).
bool StartCardMonitor(const std::string &readerName, CardStateReceiver *receiver, std::uint32_t monitorTag = 0);

// The reader that the monitor watches and ConnectCard connects to.
std::string currentReaderName();

} // namespace TachoCard
