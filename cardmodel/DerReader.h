#pragma once

// Reads DER elements one after the other from a run of bytes; tags of one or two bytes, lengths of
// one to three bytes in their shortest form, as card-verifiable certificates use them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

class DerReader
{
public:
    struct Element
    {
        std::uint16_t tag = 0;
        std::span<const std::uint8_t> whole; // tag, length and value
        std::span<const std::uint8_t> value;
    };

    explicit DerReader(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    { }

    bool atEnd() const { return m_position == m_bytes.size(); }
    std::span<const std::uint8_t> rest() const { return m_bytes.subspan(m_position); }

    std::optional<Element> next();
    // The next element when it has the tag (and, when given, the size of its value).
    std::optional<Element> expect(std::uint16_t tag, std::size_t size = 0);

private:
    bool take(std::uint8_t &byte);

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_position = 0;
};
