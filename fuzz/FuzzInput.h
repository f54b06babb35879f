#pragma once

// Reads a fuzzer's input from the front, so that a seed written by hand reads in the order it
// was written. An exhausted input reads as zeros: every input is a complete script.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : m_bytes(data, size)
    { }

    bool empty() const { return m_position >= m_bytes.size(); }

    std::uint8_t byte() { return empty() ? 0 : m_bytes[m_position++]; }

    // Big-endian, as lengths and status words are written in the seeds.
    std::uint16_t word()
    {
        const std::uint8_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }

    // Up to count bytes: fewer when the input ends first.
    std::span<const std::uint8_t> bytes(std::size_t count)
    {
        const std::size_t taken = std::min(count, m_bytes.size() - std::min(m_position, m_bytes.size()));
        const auto run = m_bytes.subspan(m_position, taken);
        m_position += taken;
        return run;
    }

    std::span<const std::uint8_t> rest() { return bytes(m_bytes.size()); }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_position = 0;
};

// A broken invariant: names it and aborts, so that the fuzzer reports the input as a crash.
inline void fuzzCheck(bool holds, const char *invariant)
{
    if (holds)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", invariant);
    std::abort();
}
