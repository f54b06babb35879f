#include "support/FakePcsc.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace FakePcsc {
namespace {

struct State
{
    LONG establishResult = SCARD_S_SUCCESS;
    LONG listResult = SCARD_S_SUCCESS;
    std::string readerList{"Fake Reader 00 00\0\0", 19};
    LONG connectResult = SCARD_S_SUCCESS;
    DWORD activeProtocol = SCARD_PROTOCOL_T0;
    LONG reconnectResult = SCARD_S_SUCCESS;
    std::function<void()> onReset;
    Card card;
    std::deque<Reply> replies;
    std::deque<StatusEvent> statusEvents;
    std::vector<std::vector<std::uint8_t>> commands;
    std::vector<std::string> calls;
    std::set<SCARDCONTEXT> contexts;
    std::set<SCARDHANDLE> cards;
    std::map<SCARDCONTEXT, int> waiting;
    std::set<SCARDCONTEXT> cancelled;
    SCARDCONTEXT nextContext = 0x1000;
    SCARDHANDLE nextCard = 0x2000;
    DWORD shareMode = 0;
    DWORD protocols = 0;
    DWORD disposition = 0;
    SCARD_IO_REQUEST sendPci{};
    std::string connectReader;
};

std::mutex mutex;
std::condition_variable changed;
State state;

void record(const char *name)
{
    state.calls.emplace_back(name);
}

} // namespace

void reset()
{
    std::lock_guard lock(mutex);
    state = State{};
    changed.notify_all();
}

void setEstablishResult(LONG result)
{
    std::lock_guard lock(mutex);
    state.establishResult = result;
}

void setListResult(LONG result)
{
    std::lock_guard lock(mutex);
    state.listResult = result;
}

void setReaders(const std::vector<std::string> &names)
{
    std::string list;
    for (const auto &name : names) {
        list += name;
        list += '\0';
    }
    list += '\0';
    setRawReaderList(list);
}

void setRawReaderList(const std::string &rawList)
{
    std::lock_guard lock(mutex);
    state.readerList = rawList;
}

void setConnectResult(LONG result, DWORD activeProtocol)
{
    std::lock_guard lock(mutex);
    state.connectResult = result;
    state.activeProtocol = activeProtocol;
}

void setReconnectResult(LONG result)
{
    std::lock_guard lock(mutex);
    state.reconnectResult = result;
}

void setOnReset(std::function<void()> onReset)
{
    std::lock_guard lock(mutex);
    state.onReset = std::move(onReset);
}

void setCard(Card card)
{
    std::lock_guard lock(mutex);
    state.card = std::move(card);
}

void queueReply(Reply reply)
{
    std::lock_guard lock(mutex);
    state.replies.push_back(std::move(reply));
}

void queueStatusEvent(StatusEvent event)
{
    std::lock_guard lock(mutex);
    state.statusEvents.push_back(event);
    changed.notify_all();
}

std::vector<std::vector<std::uint8_t>> transmittedCommands()
{
    std::lock_guard lock(mutex);
    return state.commands;
}

std::vector<std::string> calls()
{
    std::lock_guard lock(mutex);
    return state.calls;
}

int countCalls(const std::string &name)
{
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count(state.calls.begin(), state.calls.end(), name));
}

int waitingCalls()
{
    std::lock_guard lock(mutex);
    int count = 0;
    for (const auto &[context, waits] : state.waiting)
        count += waits;
    return count;
}

int openContexts()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(state.contexts.size());
}

int openCards()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(state.cards.size());
}

DWORD lastConnectShareMode()
{
    std::lock_guard lock(mutex);
    return state.shareMode;
}

DWORD lastConnectProtocols()
{
    std::lock_guard lock(mutex);
    return state.protocols;
}

DWORD lastDisconnectDisposition()
{
    std::lock_guard lock(mutex);
    return state.disposition;
}

SCARD_IO_REQUEST lastSendPci()
{
    std::lock_guard lock(mutex);
    return state.sendPci;
}

std::string lastConnectReader()
{
    std::lock_guard lock(mutex);
    return state.connectReader;
}

} // namespace FakePcsc

using FakePcsc::changed;
using FakePcsc::mutex;
using FakePcsc::state;

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardEstablishContext");
    if (state.establishResult != SCARD_S_SUCCESS)
        return state.establishResult;
    *phContext = state.nextContext++;
    state.contexts.insert(*phContext);
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT hContext)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardReleaseContext");
    return state.contexts.erase(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardIsValidContext(SCARDCONTEXT hContext)
{
    std::lock_guard lock(mutex);
    return state.contexts.count(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardListReaders");
    if (!state.contexts.count(hContext))
        return SCARD_E_INVALID_HANDLE;
    if (state.listResult != SCARD_S_SUCCESS)
        return state.listResult;
    const auto needed = static_cast<DWORD>(state.readerList.size());
    if (mszReaders == nullptr) {
        *pcchReaders = needed;
        return SCARD_S_SUCCESS;
    }
    if (needed > *pcchReaders) {
        *pcchReaders = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(mszReaders, state.readerList.data(), needed);
    *pcchReaders = needed;
    return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                  LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardConnect");
    state.shareMode = dwShareMode;
    state.protocols = dwPreferredProtocols;
    state.connectReader = szReader ? szReader : "";
    if (!state.contexts.count(hContext))
        return SCARD_E_INVALID_HANDLE;
    if (state.connectResult != SCARD_S_SUCCESS)
        return state.connectResult;
    *phCard = state.nextCard++;
    state.cards.insert(*phCard);
    *pdwActiveProtocol = state.activeProtocol;
    return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD, DWORD, DWORD dwInitialization, LPDWORD pdwActiveProtocol)
{
    std::function<void()> onReset;
    {
        std::lock_guard lock(mutex);
        FakePcsc::record("SCardReconnect");
        if (!state.cards.count(hCard))
            return SCARD_E_INVALID_HANDLE;
        if (state.reconnectResult != SCARD_S_SUCCESS)
            return state.reconnectResult;
        *pdwActiveProtocol = state.activeProtocol;
        if (dwInitialization == SCARD_RESET_CARD)
            onReset = state.onReset;
    }
    if (onReset)
        onReset();
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardDisconnect");
    state.disposition = dwDisposition;
    return state.cards.erase(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST *pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST *, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength)
{
    FakePcsc::Card card;
    std::vector<std::uint8_t> command(pbSendBuffer, pbSendBuffer + cbSendLength);
    FakePcsc::Reply reply;
    bool scripted = false;
    {
        std::lock_guard lock(mutex);
        FakePcsc::record("SCardTransmit");
        state.sendPci = *pioSendPci;
        if (!state.cards.count(hCard))
            return SCARD_E_INVALID_HANDLE;
        state.commands.push_back(command);
        if (!state.replies.empty()) {
            reply = std::move(state.replies.front());
            state.replies.pop_front();
            scripted = true;
        } else {
            card = state.card;
        }
    }
    if (!scripted)
        reply = card ? card(command) : FakePcsc::Reply{SCARD_S_SUCCESS, {0x6D, 0x00}};
    if (reply.result != SCARD_S_SUCCESS)
        return reply.result;
    if (reply.bytes.size() > *pcbRecvLength)
        return SCARD_E_INSUFFICIENT_BUFFER;
    std::copy(reply.bytes.begin(), reply.bytes.end(), pbRecvBuffer);
    *pcbRecvLength = static_cast<DWORD>(reply.bytes.size());
    return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD, SCARD_READERSTATE *rgReaderStates, DWORD cReaders)
{
    std::unique_lock lock(mutex);
    FakePcsc::record("SCardGetStatusChange");
    if (!state.contexts.count(hContext))
        return SCARD_E_INVALID_HANDLE;
    ++state.waiting[hContext];
    changed.notify_all();
    changed.wait(lock, [&] { return !state.statusEvents.empty() || state.cancelled.count(hContext); });
    --state.waiting[hContext];
    if (state.cancelled.erase(hContext)) {
        for (DWORD i = 0; i < cReaders; ++i)
            rgReaderStates[i].dwEventState &= ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        return SCARD_E_CANCELLED;
    }
    const FakePcsc::StatusEvent event = state.statusEvents.front();
    state.statusEvents.pop_front();
    for (DWORD i = 0; i < cReaders; ++i) {
        SCARD_READERSTATE &record = rgReaderStates[i];
        if (std::strcmp(record.szReader, "\\\\?PnP?\\Notification") != 0)
            record.dwEventState = event.eventState;
        else if (event.readersChanged)
            record.dwEventState = (((record.dwCurrentState >> 16) + 1) << 16) | SCARD_STATE_CHANGED;
        else
            record.dwEventState = record.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    return event.result;
}

LONG SCardCancel(SCARDCONTEXT hContext)
{
    std::lock_guard lock(mutex);
    FakePcsc::record("SCardCancel");
    if (!state.contexts.count(hContext))
        return SCARD_E_INVALID_HANDLE;
    // As in pcsc-lite: only a wait in progress at this instant is cut short.
    if (state.waiting[hContext] > 0) {
        state.cancelled.insert(hContext);
        changed.notify_all();
    }
    return SCARD_S_SUCCESS;
}

} // extern "C"
