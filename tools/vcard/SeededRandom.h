#pragma once

// Pseudo-random numbers that depend on the seed alone: the same seed must give the same card on
// every machine and library version, which the standard distributions do not promise.

#include <cstdint>
#include <span>

namespace vcard {

class SeededRandom
{
public:
    explicit SeededRandom(std::uint64_t seed)
        : m_state(seed)
    { }

    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A value in [low, high]; the modulo bias is irrelevant for test data.
    std::uint32_t between(std::uint32_t low, std::uint32_t high)
    {
        if (high <= low)
            return low;
        return low + static_cast<std::uint32_t>(next() % (static_cast<std::uint64_t>(high - low) + 1));
    }

    bool chance(unsigned percent) { return between(0, 99) < percent; }

    void fill(std::span<std::uint8_t> bytes)
    {
        for (auto &byte : bytes)
            byte = static_cast<std::uint8_t>(next() >> 56);
    }

private:
    std::uint64_t m_state;
};

} // namespace vcard
