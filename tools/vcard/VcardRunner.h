#pragma once

// The card's side of the virtual reader: a TCP client of the reader port whose connection is the
// card's presence. Frames are a 2-byte big-endian length and a payload; a 1-byte payload is a
// control (0 power off, 1 power on, 2 reset, 4 send the ATR), a longer one a command APDU.

#include "tools/vcard/SimulatedCard.h"
#include "tools/vcard/VcardOptions.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vcard {

// How long a T=0 link of the given speed takes for the bytes of one exchange (12 bit times a
// byte: start, 8 data, parity, two guard bits), plus the fixed delay.
std::chrono::microseconds exchangeDelay(std::size_t commandBytes, std::size_t responseBytes, unsigned baud,
                                        unsigned delayMs);

class VcardRunner
{
public:
    // log may be null.
    VcardRunner(const VcardConfig &config, SimulatedCard &card, std::FILE *log);
    ~VcardRunner();
    VcardRunner(const VcardRunner &) = delete;
    VcardRunner &operator=(const VcardRunner &) = delete;

    // Runs until "quit"; the exit code of the tool.
    int run();

private:
    bool connectReader();
    void closeReader();
    void handleStdin();
    void handleCommandLine(const std::string &line);
    bool handleReader(); // false when the reader went away
    bool handleFrame(const Bytes &payload);
    bool sendFrame(const Bytes &payload);
    void cardRemoved();
    void readerLost();
    void report(const char *state);
    void logLine(const std::string &line);

    const VcardConfig &m_config;
    SimulatedCard &m_card;
    std::FILE *m_log;
    int m_socket = -1;
    bool m_inserted = true;
    bool m_stdinOpen = true;
    bool m_quit = false;
    std::uint64_t m_answered = 0;
    bool m_removeAfterArmed = false;
    std::chrono::steady_clock::time_point m_nextAttempt;
    Bytes m_received;
    std::string m_stdinText;
};

} // namespace vcard
