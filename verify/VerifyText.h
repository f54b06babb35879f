#pragma once

// How the verifier's lines show bytes and dates.

#include <cstdint>
#include <span>
#include <string>

// "01 AB FF"
std::string hexText(std::span<const std::uint8_t> bytes);

// "2025-06-01" for a time in seconds since 1970 (UTC)
std::string dateText(std::uint32_t secondsSince1970);
