#pragma once

// Time the benchmark process spends inside the PC/SC calls of a card exchange (SCardTransmit,
// SCardReconnect, SCardDisconnect): waiting for the daemon and the card. A run's time minus this
// is the program's own work. PcscCallClock.cpp wraps the library's functions for the whole
// executable, the card layer included.

#include <cstdint>

struct PcscCallTotals
{
    std::int64_t nanoseconds = 0;
    std::int64_t calls = 0;
};

PcscCallTotals pcscCallTotals();
