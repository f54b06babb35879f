#pragma once

// The command line of korvan-vcard.

#include "tools/vcard/CardGenerator.h"
#include "tools/vcard/SimulatedCard.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vcard {

struct VcardConfig
{
    std::string host = "127.0.0.1";
    std::uint16_t port = 35963;
    GeneratorOptions generator;
    std::optional<std::string> loadPath;
    CardFaults faults;
    std::optional<std::uint64_t> removeAfter;
    unsigned baud = 0; // 0: no link delay
    unsigned delayMs = 0; // fixed delay per command
    bool startRemoved = false;
    std::string logPath;
    std::string keyPath;
    std::string modulusPath;
    std::string downloadPath;
    std::string testPkiDirectory;
};

struct OptionsResult
{
    bool ok = false;
    bool help = false;
    std::string error;
    VcardConfig config;
};

OptionsResult parseVcardOptions(const std::vector<std::string> &arguments);
std::string vcardUsage();

} // namespace vcard
