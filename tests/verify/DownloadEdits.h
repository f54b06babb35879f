#pragma once

// Edits of a download's records for the tests: change a byte, drop or replace a record.

#include "FixtureKeys.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace DownloadEdits {

// Offset of the content of the record (file identifier, type), and its length.
inline std::pair<std::size_t, std::size_t> locate(const Bytes &download, std::uint16_t fileId, std::uint8_t type)
{
    std::size_t at = 0;
    while (at + 5 <= download.size()) {
        const std::size_t length = std::size_t{download[at + 3]} << 8 | download[at + 4];
        if ((download[at] << 8 | download[at + 1]) == fileId && download[at + 2] == type)
            return {at + 5, length};
        at += 5 + length;
    }
    throw std::logic_error("no such record in the download");
}

inline Bytes flipped(Bytes download, std::uint16_t fileId, std::uint8_t type, std::size_t offset)
{
    const auto [content, length] = locate(download, fileId, type);
    if (offset >= length)
        throw std::logic_error("offset beyond the record");
    download[content + offset] ^= 0x01;
    return download;
}

inline Bytes replaced(Bytes download, std::uint16_t fileId, std::uint8_t type, const Bytes &newContent)
{
    const auto [content, length] = locate(download, fileId, type);
    download.erase(download.begin() + static_cast<std::ptrdiff_t>(content - 5),
                   download.begin() + static_cast<std::ptrdiff_t>(content + length));
    const std::uint8_t header[] = {static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId), type,
                                   static_cast<std::uint8_t>(newContent.size() >> 8),
                                   static_cast<std::uint8_t>(newContent.size())};
    Bytes record(std::begin(header), std::end(header));
    record.insert(record.end(), newContent.begin(), newContent.end());
    download.insert(download.begin() + static_cast<std::ptrdiff_t>(content - 5), record.begin(), record.end());
    return download;
}

inline Bytes without(Bytes download, std::uint16_t fileId, std::uint8_t type)
{
    const auto [content, length] = locate(download, fileId, type);
    download.erase(download.begin() + static_cast<std::ptrdiff_t>(content - 5),
                   download.begin() + static_cast<std::ptrdiff_t>(content + length));
    return download;
}

} // namespace DownloadEdits
