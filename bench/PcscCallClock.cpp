#include "PcscCallClock.h"

#include <PCSC/winscard.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<std::int64_t> spentNanoseconds{0};
std::atomic<std::int64_t> callCount{0};

// The library's own function of that name, found after this executable in the lookup order.
template<typename Function>
Function *libraryFunction(const char *name)
{
    void *found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        std::fprintf(stderr, "PcscCallClock: no %s in the PC/SC library\n", name);
        std::abort();
    }
    return reinterpret_cast<Function *>(found);
}

template<typename Call>
LONG timed(Call &&call)
{
    const auto started = std::chrono::steady_clock::now();
    const LONG result = call();
    spentNanoseconds +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count();
    ++callCount;
    return result;
}

} // namespace

PcscCallTotals pcscCallTotals()
{
    return {spentNanoseconds.load(), callCount.load()};
}

extern "C" {

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST *pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST *pioRecvPci, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength)
{
    static auto *const library = libraryFunction<decltype(SCardTransmit)>("SCardTransmit");
    return timed([&] {
        return library(hCard, pioSendPci, pbSendBuffer, cbSendLength, pioRecvPci, pbRecvBuffer, pcbRecvLength);
    });
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization,
                    LPDWORD pdwActiveProtocol)
{
    static auto *const library = libraryFunction<decltype(SCardReconnect)>("SCardReconnect");
    return timed(
            [&] { return library(hCard, dwShareMode, dwPreferredProtocols, dwInitialization, pdwActiveProtocol); });
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
{
    static auto *const library = libraryFunction<decltype(SCardDisconnect)>("SCardDisconnect");
    return timed([&] { return library(hCard, dwDisposition); });
}
}
