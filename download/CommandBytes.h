#pragma once

// The pieces the card's commands and the log are built of.

#include <QString>

#include <cstdint>

inline QString hex4(std::uint16_t value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

inline std::uint8_t highByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

inline std::uint8_t lowByte(std::uint32_t value)
{
    return static_cast<std::uint8_t>(value & 0xFF);
}
