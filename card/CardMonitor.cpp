#include "card/CardMonitor.h"

#include "card/WinSCard.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace TachoCard {
namespace {

using namespace std::chrono_literals;

// pcsc-lite wants one context per thread, so the monitor waits on a context of its own. Only
// SCardCancel may reach it from the main thread.
std::atomic<SCARDCONTEXT> monitorContext{0};
std::atomic<bool> MonitorRunning{false};
std::atomic<CardStateReceiver *> NotifyReceiver{nullptr};

std::thread monitorThread;
std::mutex monitorMutex;
std::condition_variable monitorSignal;
bool monitorEnded = false;

// A wait that fails at once (the resource manager gone or restarting) would otherwise spin a core
// and flood the receiver with notices.
constexpr auto RetryPause = 1s;

void pauseBeforeRetry()
{
    std::unique_lock lock(monitorMutex);
    monitorSignal.wait_for(lock, RetryPause, [] { return !MonitorRunning.load(); });
}

void releaseMonitorContext(SCARDCONTEXT &context)
{
    if (context == 0)
        return;
    monitorContext = 0;
    SCardReleaseContext(context);
    context = 0;
}

// pcsc-lite's pseudo reader that changes when readers come or go: its event state carries the
// number of readers in the high 16 bits. A wait on it besides the watched reader tells both, and
// the monitor still sleeps in the resource manager between events.
constexpr const char *ReaderListNotification = "\\\\?PnP?\\Notification";

void CardMonitorThread(std::string readerName, std::uint32_t monitorTag)
{
    // The reader list's notification first; the watched reader after it, when there is one.
    std::array<SCARD_READERSTATE, 2> records{};
    SCARD_READERSTATE &readerList = records[0];
    SCARD_READERSTATE &reader = records[1];
    readerList.szReader = ReaderListNotification;
    reader.szReader = readerName.c_str();
    reader.dwEventState = ReaderState.load();
    // pcsc-lite refuses the whole wait (SCARD_E_UNKNOWN_READER) while the watched reader is not
    // there: then only the list is watched, until it changes.
    bool readerListed = !readerName.empty();

    SCARDCONTEXT context = 0;
    bool establishFailureReported = false;
    while (MonitorRunning) {
        if (context == 0) {
            const LONG established = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
            if (established != SCARD_S_SUCCESS) {
                context = 0;
                // The service went away before the monitor could wait on it: the receiver is told
                // once, as it is told of a wait that failed for that reason.
                if (!establishFailureReported && isServiceLost(resultCode(established))) {
                    establishFailureReported = true;
                    if (CardStateReceiver *receiver = NotifyReceiver.load())
                        receiver->PostCardState({resultCode(established), SCARD_STATE_UNAWARE, monitorTag});
                }
                pauseBeforeRetry();
                continue;
            }
            establishFailureReported = false;
            monitorContext = context;
            // A wait tells only the readers that come or go while it waits: those a service
            // started (or came back) with are there before, so the list is read afresh now.
            CardNotice fresh{resultCode(SCARD_S_SUCCESS), 0, monitorTag};
            fresh.readersChanged = true;
            if (!readerName.empty())
                fresh.eventState =
                        static_cast<std::uint32_t>(reader.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED));
            if (CardStateReceiver *receiver = NotifyReceiver.load())
                receiver->PostCardState(fresh);
        }
        reader.dwCurrentState = reader.dwEventState;
        const DWORD recordCount = readerListed ? 2 : 1;
        const LONG result = SCardGetStatusChange(context, INFINITE, records.data(), recordCount);
        CardNotice notice{resultCode(result), 0, monitorTag};
        // The list's record is left blank when another record ended the wait: only a change
        // carries the new count, which the next wait compares with.
        if (result == SCARD_S_SUCCESS && (readerList.dwEventState & SCARD_STATE_CHANGED) != 0) {
            readerList.dwCurrentState = readerList.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            notice.readersChanged = true;
            readerListed = !readerName.empty();
        }
        if (result == SCARD_E_UNKNOWN_READER && readerListed) {
            // The watched reader went between the listing and this wait: its card with it.
            readerListed = false;
            reader.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
            notice.result = resultCode(SCARD_S_SUCCESS);
            notice.readersChanged = true;
        }
        if (!readerName.empty()) {
            ReaderState = static_cast<std::uint32_t>(reader.dwEventState);
            notice.eventState = static_cast<std::uint32_t>(reader.dwEventState);
        }
        if (CardStateReceiver *receiver = NotifyReceiver.load())
            receiver->PostCardState(notice);

        if (result == SCARD_S_SUCCESS || result == SCARD_E_CANCELLED || result == SCARD_E_TIMEOUT
            || notice.result == resultCode(SCARD_S_SUCCESS))
            continue;
        if (isServiceLost(resultCode(result)) || result == SCARD_E_INVALID_HANDLE) {
            // A context of a resource manager that went away stays dead even after the service
            // is back; only a new one works. Start it unaware, so the first wait reports the
            // reader's state and the reader list as the new service sees them.
            releaseMonitorContext(context);
            reader.dwEventState = SCARD_STATE_UNAWARE;
            readerList.dwCurrentState = SCARD_STATE_UNAWARE;
            readerListed = !readerName.empty();
        }
        pauseBeforeRetry();
    }
    releaseMonitorContext(context);

    std::lock_guard lock(monitorMutex);
    monitorEnded = true;
    monitorSignal.notify_all();
}

} // namespace

void startCardMonitor(const std::string &readerName, CardStateReceiver *receiver, std::uint32_t monitorTag)
{
    NotifyReceiver = receiver;
    MonitorRunning = true;
    {
        std::lock_guard lock(monitorMutex);
        monitorEnded = false;
    }
    monitorThread = std::thread(CardMonitorThread, readerName, monitorTag);
}

void cancelMonitorWait()
{
    if (const SCARDCONTEXT context = monitorContext.load())
        SCardCancel(context);
}

void stopCardMonitor()
{
    MonitorRunning = false;
    if (!monitorThread.joinable())
        return;
    // SCardCancel does nothing when no wait is in progress at that instant, so one cancel can fall
    // between two waits and be lost: repeat it until the thread has left its loop.
    std::unique_lock lock(monitorMutex);
    while (!monitorEnded) {
        lock.unlock();
        cancelMonitorWait();
        lock.lock();
        monitorSignal.notify_all();
        monitorSignal.wait_for(lock, 20ms, [] { return monitorEnded; });
    }
    lock.unlock();
    monitorThread.join();
    NotifyReceiver = nullptr;
}

bool isCardMonitorRunning()
{
    return monitorThread.joinable();
}

} // namespace TachoCard
