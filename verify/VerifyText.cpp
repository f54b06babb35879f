#include "verify/VerifyText.h"

#include <chrono>
#include <cstdio>

std::string hexText(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", unsigned{byte});
        text += digits;
    }
    return text;
}

std::string dateText(std::uint32_t secondsSince1970)
{
    using namespace std::chrono;
    const year_month_day day{floor<days>(sys_seconds{seconds{secondsSince1970}})};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", int{day.year()}, unsigned{day.month()}, unsigned{day.day()});
    return text;
}
