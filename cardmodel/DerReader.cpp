#include "cardmodel/DerReader.h"

std::optional<DerReader::Element> DerReader::next()
{
    const std::size_t start = m_position;
    std::uint16_t tag = 0;
    std::uint8_t first = 0;
    if (!take(first))
        return std::nullopt;
    tag = first;
    if ((first & 0x1F) == 0x1F) {
        std::uint8_t second = 0;
        if (!take(second) || (second & 0x80) != 0)
            return std::nullopt;
        tag = static_cast<std::uint16_t>(first << 8 | second);
    }
    std::uint8_t lengthByte = 0;
    if (!take(lengthByte))
        return std::nullopt;
    std::size_t length = lengthByte;
    if (lengthByte == 0x81) {
        std::uint8_t b = 0;
        if (!take(b) || b < 0x80)
            return std::nullopt;
        length = b;
    } else if (lengthByte == 0x82) {
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        if (!take(high) || !take(low) || high == 0)
            return std::nullopt;
        length = std::size_t{high} << 8 | low;
    } else if (lengthByte >= 0x80) {
        return std::nullopt;
    }
    if (length > m_bytes.size() - m_position)
        return std::nullopt;
    Element element;
    element.tag = tag;
    element.value = m_bytes.subspan(m_position, length);
    m_position += length;
    element.whole = m_bytes.subspan(start, m_position - start);
    return element;
}

std::optional<DerReader::Element> DerReader::expect(std::uint16_t tag, std::size_t size)
{
    std::optional<Element> element = next();
    if (!element || element->tag != tag || (size != 0 && element->value.size() != size))
        return std::nullopt;
    return element;
}

bool DerReader::take(std::uint8_t &byte)
{
    if (m_position >= m_bytes.size())
        return false;
    byte = m_bytes[m_position++];
    return true;
}
