#pragma once

// The PC/SC declarations of pcsc-lite. Its DWORD and LONG are 64 bits wide on 64-bit Linux, while
// result codes are 32-bit values: callers compare and print them through resultCode().
#include <PCSC/pcsclite.h>
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdint>

namespace TachoCard {

constexpr std::uint32_t resultCode(LONG result)
{
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(result) & 0xFFFFFFFFu);
}

// The resource manager went away or restarted: a context from before stays dead for ever, only a
// newly established one works again.
constexpr bool isServiceLost(std::uint32_t code)
{
    return code == resultCode(SCARD_E_NO_SERVICE) || code == resultCode(SCARD_E_SERVICE_STOPPED)
            || code == resultCode(SCARD_F_COMM_ERROR);
}

} // namespace TachoCard
