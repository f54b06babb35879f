#pragma once

#include "download/DownloadReporter.h"

#include <cstdint>
#include <optional>
#include <span>

// The card's answer to the last command was not the success it needed: the log names the step
// and the status word.
void logCommandFailure(DownloadReporter &reporter, const char *what);

// Reads the selected EF whole with READ BINARY, in pieces and with the retries that cards need.
class CardFileReader
{
public:
    CardFileReader(DownloadReporter &reporter, std::span<std::uint8_t> buffer)
        : m_reporter(reporter)
        , m_buffer(buffer)
    { }

    // The number of bytes now at the start of the buffer; nothing when the file could not be read
    // whole, and the log says why.
    std::optional<std::uint32_t> readSelectedFile();

private:
    enum class ReadOutcome { Data, EndOfFile, Failed };

    // One READ BINARY at offset, with the retries that cards need; the data lands in the buffer.
    ReadOutcome readPiece(std::uint32_t offset, std::uint32_t &received);
    ReadOutcome searchLengthLeft(std::uint32_t offset, bool atEndOfWholePieces, std::uint32_t &received);
    // Sends the READ BINARY for offset and returns how many bytes it asks for.
    std::uint32_t sendRead(std::uint32_t offset, std::uint8_t le);
    bool copyResponse(std::uint32_t gathered, std::uint32_t asked, std::uint32_t &received);
    void logFailure(const char *what) { logCommandFailure(m_reporter, what); }

    DownloadReporter &m_reporter;
    std::span<std::uint8_t> m_buffer;
};
