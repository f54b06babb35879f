#pragma once

// Internal to the card access unit: the card presence monitor's thread and its hand-off.

#include "card/TachoCard.h"

#include <string>

namespace TachoCard {

// Starts the thread that watches readerName; a thread must not be running.
void startCardMonitor(const std::string &readerName, CardStateReceiver *receiver, std::uint32_t monitorTag);

// Cuts the monitor's pending wait short once, so that it posts a notice and waits again.
void cancelMonitorWait();

// Ends the monitor thread, if one runs, and returns only after it has ended.
void stopCardMonitor();

// True while a monitor thread exists (started and not yet joined).
bool isCardMonitorRunning();

} // namespace TachoCard
