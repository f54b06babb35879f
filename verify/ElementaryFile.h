#pragma once

// One elementary file of a download as the verifier sees it: its data, the signature that followed
// it, and what the card model knows of it.

#include "cardmodel/CardFiles.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct ElementaryFile
{
    std::uint16_t fileId = 0;
    int generation = 0;
    std::span<const std::uint8_t> data;
    std::optional<std::span<const std::uint8_t>> signature;
    std::string title;
    const CardFiles::CardFile *known = nullptr;
};
