#include "card/SCardErr.h"

#include <array>
#include <cstdio>
#include <utility>

namespace TachoCard {
namespace {

struct ErrorRow
{
    std::uint32_t code;
    const char *text;
};

constexpr std::array<ErrorRow, 34> errorTable{{
        {0x80100001, "An internal consistency check failed."},
        {0x80100002, "The action was canceled by an SCardCancel request."},
        {0x80100003, "The supplied handle was invalid."},
        {0x80100004, "One or more of the supplied parameters could not be properly interpreted."},
        {0x80100005, "Registry startup information is missing or invalid."},
        {0x80100006, "Not enough memory available to complete this command."},
        {0x80100007, "An internal consistency timer has expired."},
        {0x80100008, "The data buffer for returned data is too small for the returned data."},
        {0x80100009, "The specified reader name is not recognized."},
        {0x8010000A, "The user-specified timeout value has expired."},
        {0x8010000B, "The smart card cannot be accessed because of other outstanding connections."},
        {0x8010000C, "The operation requires a smart card, but no smart card is currently in the device."},
        {0x8010000D, "The specified smart card name is not recognized."},
        {0x8010000E, "The system could not dispose of the media in the requested manner."},
        {0x8010000F, "The requested protocols are incompatible with the protocol currently in use with the card."},
        {0x80100010, "The reader or card is not ready to accept commands."},
        {0x80100011, "One or more of the supplied parameter values could not be properly interpreted."},
        {0x80100012, "The action was canceled by the system, presumably to log off or shut down."},
        {0x80100013, "An internal communications error has been detected."},
        {0x80100014, "An internal error has been detected, but the source is unknown."},
        {0x80100015, "An ATR string obtained from the registry is not a valid ATR string."},
        {0x80100016, "An attempt was made to end a non-existent transaction."},
        {0x80100017, "The specified reader is not currently available for use."},
        {0x80100019, "The PCI receive buffer was too small."},
        {0x8010001A, "The reader driver does not meet minimal requirements for support."},
        {0x8010001B, "The reader driver didn't produce a unique reader name."},
        {0x8010001C, "The smart card does not meet minimal requirements for support."},
        {0x8010001D, "The smart card resource manager is not running."},
        {0x8010001E, "The smart card resource manager has shut down."},
        {0x80100065, "The reader cannot communicate with the card due to ATR string configuration conflicts."},
        {0x80100066, "The smart card is not responding to a reset."},
        {0x80100067, "Power has been removed from the smart card and no further communication is possible."},
        {0x80100068, "The smart card has been reset, so any shared state information is invalid."},
        {0x80100069, "The smart card has been removed and no further communication is possible."},
}};

} // namespace

std::string SCardErrorText(std::uint32_t code)
{
    for (const auto &row : errorTable) {
        if (row.code == code)
            return row.text;
    }
    char text[48];
    std::snprintf(text, sizeof text, "Error is not documented (0x%08X).", static_cast<unsigned>(code));
    return text;
}

} // namespace TachoCard
