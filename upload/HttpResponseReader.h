#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reads one HTTP answer from the bytes as they arrive, without any socket: the status line, the
// header block (kept) and the body (framed by Content-Length, chunked coding or the end of the
// connection, and dropped as it passes). Memory stays bounded whatever the server sends.
class HttpResponseReader
{
public:
    enum class State { StatusLine, Headers, Body, Done, Failed };

    static constexpr std::size_t DefaultMaxHeaderBytes = 64 * 1024;

    explicit HttpResponseReader(std::size_t maxHeaderBytes = DefaultMaxHeaderBytes);

    // Takes the next bytes of the connection. Bytes after the end of the answer are ignored.
    void feed(std::string_view bytes);
    // The server closed the connection: completes an answer whose body runs until then, fails any
    // other unfinished answer.
    void finish();

    State state() const { return state_; }
    bool done() const { return state_ == State::Done; }
    bool failed() const { return state_ == State::Failed; }
    // Expects more bytes.
    bool wantsMore() const { return state_ != State::Done && state_ != State::Failed; }

    int statusCode() const { return statusCode_; }
    // The status line and the header lines of the final answer, as received, without their line
    // ends; the blank line that closes the block is not included.
    const std::vector<std::string> &headerLines() const { return headerLines_; }
    // Why the answer failed, for diagnostics.
    const std::string &error() const { return error_; }

private:
    enum class BodyMode { None, Length, Chunked, UntilClose };
    enum class ChunkState { Size, Data, DataEnd, Trailer };

    void fail(std::string why);
    // Collects one line into line_; true when it ended.
    bool takeLine(std::string_view &bytes, std::size_t limit, const char *what);
    void statusLineDone();
    void headerLineDone();
    void headerBlockDone();
    void feedBody(std::string_view &bytes);
    void feedChunked(std::string_view &bytes);

    std::size_t maxHeaderBytes_;
    std::size_t headerBytes_ = 0; // of all header blocks and trailers so far
    State state_ = State::StatusLine;
    int statusCode_ = 0;
    std::vector<std::string> headerLines_;
    std::string line_;
    std::string error_;

    BodyMode bodyMode_ = BodyMode::None;
    std::uint64_t remaining_ = 0;
    bool sawContentLength_ = false;
    std::uint64_t contentLength_ = 0;
    bool chunkedCoding_ = false;
    bool otherCoding_ = false;
    ChunkState chunkState_ = ChunkState::Size;
};
