#include "upload/HttpResponseReader.h"

#include <utility>

namespace {

// A chunk-size line is a hex number and perhaps an extension; anything longer is not an answer
// we want to keep reading.
constexpr std::size_t MaxChunkSizeLine = 1024;
// 15 hex digits keep every size far from overflowing the counters.
constexpr std::size_t MaxChunkSizeDigits = 15;

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Calls take(element) for each element of a comma-separated header value; stops when it
// returns false.
template<typename Take>
bool forEachListElement(std::string_view value, Take take)
{
    while (true) {
        const std::size_t comma = value.find(',');
        if (!take(trimmed(value.substr(0, comma))))
            return false;
        if (comma == std::string_view::npos)
            return true;
        value.remove_prefix(comma + 1);
    }
}

} // namespace

HttpResponseReader::HttpResponseReader(std::size_t maxHeaderBytes)
    : maxHeaderBytes_(maxHeaderBytes)
{ }

void HttpResponseReader::fail(std::string why)
{
    state_ = State::Failed;
    error_ = std::move(why);
    line_.clear();
}

bool HttpResponseReader::takeLine(std::string_view &bytes, std::size_t limit, const char *what)
{
    const std::size_t lf = bytes.find('\n');
    const std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    const std::size_t content = lf == std::string_view::npos ? take : lf;
    if (line_.size() + content > limit) {
        fail(std::string(what) + " too long");
        return false;
    }
    line_.append(bytes.substr(0, content));
    bytes.remove_prefix(take);
    if (lf == std::string_view::npos)
        return false;
    if (!line_.empty() && line_.back() == '\r')
        line_.pop_back();
    return true;
}

void HttpResponseReader::feed(std::string_view bytes)
{
    while (!bytes.empty() && wantsMore()) {
        if (state_ == State::Body) {
            feedBody(bytes);
            continue;
        }
        // Everything up to the end of the header block counts against one budget, so a server
        // that never ends its headers is cut off early.
        const std::size_t before = bytes.size();
        // line_ is already counted in headerBytes_.
        const std::size_t budget = maxHeaderBytes_ - headerBytes_ + line_.size();
        const bool ended = takeLine(bytes, budget, "header block");
        headerBytes_ += before - bytes.size();
        if (state_ == State::Failed)
            return;
        if (headerBytes_ > maxHeaderBytes_) {
            fail("header block too long");
            return;
        }
        if (!ended)
            continue;
        if (state_ == State::StatusLine)
            statusLineDone();
        else
            headerLineDone();
    }
}

void HttpResponseReader::finish()
{
    if (state_ == State::Body && bodyMode_ == BodyMode::UntilClose)
        state_ = State::Done;
    else if (wantsMore())
        fail("connection closed before the end of the answer");
}

void HttpResponseReader::statusLineDone()
{
    // "HTTP/" digit "." digit, a space, three digits, then the end or a space and a reason.
    const std::string &l = line_;
    const bool valid = l.size() >= 12 && l.compare(0, 5, "HTTP/") == 0 && isDigit(l[5]) && l[6] == '.' && isDigit(l[7])
            && l[8] == ' ' && isDigit(l[9]) && isDigit(l[10]) && isDigit(l[11]) && (l.size() == 12 || l[12] == ' ');
    if (!valid || l[9] == '0') {
        fail("not an HTTP status line");
        return;
    }
    statusCode_ = (l[9] - '0') * 100 + (l[10] - '0') * 10 + (l[11] - '0');
    headerLines_.push_back(std::move(line_));
    line_.clear();
    state_ = State::Headers;
}

void HttpResponseReader::headerLineDone()
{
    if (line_.empty()) {
        headerBlockDone();
        return;
    }
    const std::string &l = line_;
    const std::size_t colon = l.find(':');
    // Folded continuation lines and lines without a name carry no framing; they are kept for the
    // log only.
    if (colon != std::string::npos && colon > 0 && l.front() != ' ' && l.front() != '\t') {
        const std::string_view name(l.data(), colon);
        const std::string_view value = trimmed(std::string_view(l).substr(colon + 1));
        if (equalsNoCase(name, "Content-Length")) {
            const bool valid = forEachListElement(value, [this](std::string_view element) {
                if (element.empty() || element.size() > 18)
                    return false;
                std::uint64_t number = 0;
                for (char c : element) {
                    if (!isDigit(c))
                        return false;
                    number = number * 10 + std::uint64_t(c - '0');
                }
                // Differing lengths mean we cannot know where the body ends.
                if (sawContentLength_ && number != contentLength_)
                    return false;
                sawContentLength_ = true;
                contentLength_ = number;
                return true;
            });
            if (!valid) {
                fail("bad Content-Length");
                return;
            }
        } else if (equalsNoCase(name, "Transfer-Encoding")) {
            forEachListElement(value, [this](std::string_view element) {
                if (!element.empty()) {
                    // Only a final chunked coding frames the body; any other coding runs to the
                    // end of the connection.
                    chunkedCoding_ = equalsNoCase(element, "chunked");
                    otherCoding_ = true;
                }
                return true;
            });
        }
    }
    headerLines_.push_back(std::move(line_));
    line_.clear();
}

void HttpResponseReader::headerBlockDone()
{
    line_.clear();
    if (statusCode_ >= 100 && statusCode_ < 200) {
        if (statusCode_ == 101) {
            fail("unrequested protocol switch");
            return;
        }
        // An interim answer: the final one follows on the same connection.
        headerLines_.clear();
        sawContentLength_ = false;
        contentLength_ = 0;
        chunkedCoding_ = false;
        otherCoding_ = false;
        state_ = State::StatusLine;
        return;
    }
    if (statusCode_ == 204 || statusCode_ == 304) {
        state_ = State::Done;
        return;
    }
    state_ = State::Body;
    if (otherCoding_) {
        bodyMode_ = chunkedCoding_ ? BodyMode::Chunked : BodyMode::UntilClose;
        chunkState_ = ChunkState::Size;
    } else if (sawContentLength_) {
        bodyMode_ = BodyMode::Length;
        remaining_ = contentLength_;
        if (remaining_ == 0)
            state_ = State::Done;
    } else {
        bodyMode_ = BodyMode::UntilClose;
    }
}

void HttpResponseReader::feedBody(std::string_view &bytes)
{
    switch (bodyMode_) {
    case BodyMode::Length: {
        const std::size_t take = remaining_ < bytes.size() ? std::size_t(remaining_) : bytes.size();
        remaining_ -= take;
        bytes.remove_prefix(take);
        if (remaining_ == 0)
            state_ = State::Done;
        return;
    }
    case BodyMode::UntilClose:
        bytes = {};
        return;
    case BodyMode::Chunked:
        feedChunked(bytes);
        return;
    case BodyMode::None:
        state_ = State::Done;
        return;
    }
}

void HttpResponseReader::feedChunked(std::string_view &bytes)
{
    switch (chunkState_) {
    case ChunkState::Size: {
        if (!takeLine(bytes, MaxChunkSizeLine, "chunk size line"))
            return;
        std::size_t digits = 0;
        std::uint64_t size = 0;
        while (digits < line_.size() && hexValue(line_[digits]) >= 0) {
            if (digits == MaxChunkSizeDigits) {
                fail("chunk size too large");
                return;
            }
            size = size * 16 + std::uint64_t(hexValue(line_[digits]));
            ++digits;
        }
        std::string_view rest = trimmed(std::string_view(line_).substr(digits));
        if (digits == 0 || (!rest.empty() && rest.front() != ';')) {
            fail("bad chunk size");
            return;
        }
        line_.clear();
        if (size == 0) {
            chunkState_ = ChunkState::Trailer;
        } else {
            remaining_ = size;
            chunkState_ = ChunkState::Data;
        }
        return;
    }
    case ChunkState::Data: {
        const std::size_t take = remaining_ < bytes.size() ? std::size_t(remaining_) : bytes.size();
        remaining_ -= take;
        bytes.remove_prefix(take);
        if (remaining_ == 0)
            chunkState_ = ChunkState::DataEnd;
        return;
    }
    case ChunkState::DataEnd:
        // Only the line end may follow the data.
        if (!takeLine(bytes, 1, "chunk end"))
            return;
        if (!line_.empty()) {
            fail("chunk data longer than its size");
            return;
        }
        chunkState_ = ChunkState::Size;
        return;
    case ChunkState::Trailer: {
        const std::size_t before = bytes.size();
        const bool ended = takeLine(bytes, maxHeaderBytes_ - headerBytes_ + line_.size(), "trailer");
        headerBytes_ += before - bytes.size();
        if (state_ == State::Failed)
            return;
        if (headerBytes_ > maxHeaderBytes_) {
            fail("trailer too long");
            return;
        }
        if (!ended)
            return;
        if (line_.empty())
            state_ = State::Done;
        line_.clear();
        return;
    }
    }
}
