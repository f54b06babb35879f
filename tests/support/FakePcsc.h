#pragma once

// A link-time stand-in for the pcsc-lite functions the card layer calls. Tests script results and
// card answers and read back what was called. Safe to use from the monitor thread.

#include "card/WinSCard.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace FakePcsc {

struct Reply
{
    LONG result = SCARD_S_SUCCESS;
    std::vector<std::uint8_t> bytes; // response data followed by SW1 SW2
};

struct StatusEvent
{
    LONG result = SCARD_S_SUCCESS;
    DWORD eventState = 0; // of every watched reader
    // The reader list changed: the reader-list notification record gets CHANGED and the count.
    bool readersChanged = false;
};

using Card = std::function<Reply(const std::vector<std::uint8_t> &command)>;

// Everything is reset by reset(); the setters may be called while a monitor thread runs.
void reset();

void setEstablishResult(LONG result);
void setListResult(LONG result);
// Reader names; the multi-string with its terminators is built from them. rawList, when given,
// is returned as it stands (for odd listings).
void setReaders(const std::vector<std::string> &names);
void setRawReaderList(const std::string &rawList);
void setConnectResult(LONG result, DWORD activeProtocol = SCARD_PROTOCOL_T0);
void setReconnectResult(LONG result);
// Called on every successful SCardReconnect that resets the card.
void setOnReset(std::function<void()> onReset);

// Answers of the card: scripted replies are used first, in order; then the card function.
void setCard(Card card);
void queueReply(Reply reply);

// The monitor's waits: each wait takes the next queued event; with none queued it blocks until a
// cancel arrives while it waits (a cancel with no wait in progress is lost, as in pcsc-lite) or an
// event is queued.
void queueStatusEvent(StatusEvent event);

std::vector<std::vector<std::uint8_t>> transmittedCommands();
std::vector<std::string> calls(); // function names in call order
int countCalls(const std::string &name);
int waitingCalls(); // waits in progress now
int openContexts();
int openCards(); // connections not yet disconnected

// Last arguments seen.
DWORD lastConnectShareMode();
DWORD lastConnectProtocols();
DWORD lastDisconnectDisposition();
SCARD_IO_REQUEST lastSendPci();
std::string lastConnectReader();

} // namespace FakePcsc
