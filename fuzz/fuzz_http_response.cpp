// The HTTP answer reader fed with arbitrary bytes, split at points the fuzzer chooses.
//
// Input: the header limit (byte: 0 the default, below 0x80 that many bytes, else multiples of
// 64), a flags byte (bit 0: the server closes the connection after the bytes), the number of
// piece sizes (byte, up to 31) and the sizes (a byte each, used in turn; 0 feeds nothing; none
// or only zeros: all bytes at once), then the bytes of the connection.

#include "FuzzInput.h"
#include "upload/HttpResponseReader.h"

#include <string_view>
#include <vector>

namespace {

using State = HttpResponseReader::State;

std::size_t headerLimitFrom(std::uint8_t choice)
{
    if (choice == 0)
        return HttpResponseReader::DefaultMaxHeaderBytes;
    if (choice < 0x80)
        return choice;
    return std::size_t{choice - 0x7Fu} * 64;
}

struct Outcome
{
    State state;
    int statusCode;
    std::vector<std::string> headerLines;
    std::string error;

    bool operator==(const Outcome &) const = default;
};

Outcome outcomeOf(const HttpResponseReader &reader)
{
    return {reader.state(), reader.statusCode(), reader.headerLines(), reader.error()};
}

void checkConsistent(const HttpResponseReader &reader, std::size_t headerLimit)
{
    const State state = reader.state();
    const bool ended = state == State::Done || state == State::Failed;
    fuzzCheck(reader.wantsMore() == !ended, "wantsMore until the answer ends");
    fuzzCheck(reader.done() == (state == State::Done) && reader.failed() == (state == State::Failed),
              "done and failed follow the state");
    fuzzCheck(reader.failed() == !reader.error().empty(), "a failure, and only a failure, has a reason");

    std::size_t kept = 0;
    for (const std::string &line : reader.headerLines())
        kept += line.size();
    fuzzCheck(kept <= headerLimit, "the kept header lines stay within the limit");

    if (state == State::Headers || state == State::Body || state == State::Done) {
        fuzzCheck(reader.statusCode() >= 100 && reader.statusCode() <= 999, "a status code of three digits");
        fuzzCheck(!reader.headerLines().empty() && reader.headerLines().front().starts_with("HTTP/"),
                  "the status line comes first");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t headerLimit = headerLimitFrom(input.byte());
    const bool closed = (input.byte() & 1) != 0;
    std::vector<std::size_t> pieces;
    for (std::uint8_t count = input.byte() % 32; count > 0; --count)
        pieces.push_back(input.byte());
    const auto rest = input.rest();
    const std::string_view bytes(reinterpret_cast<const char *>(rest.data()), rest.size());

    HttpResponseReader whole(headerLimit);
    whole.feed(bytes);
    checkConsistent(whole, headerLimit);

    if (std::none_of(pieces.begin(), pieces.end(), [](std::size_t piece) { return piece > 0; }))
        pieces.push_back(std::max<std::size_t>(bytes.size(), 1));
    HttpResponseReader split(headerLimit);
    for (std::size_t at = 0, turn = 0; at < bytes.size(); ++turn) {
        const std::size_t piece = std::min(pieces[turn % pieces.size()], bytes.size() - at);
        split.feed(bytes.substr(at, piece));
        at += piece;
        checkConsistent(split, headerLimit);
    }

    if (closed) {
        whole.finish();
        split.finish();
        fuzzCheck(!whole.wantsMore(), "the end of the connection ends the answer");
        checkConsistent(whole, headerLimit);
    }
    fuzzCheck(outcomeOf(whole) == outcomeOf(split), "where the bytes are split does not change the outcome");

    // An ended answer stays as it is, whatever comes after it.
    if (!whole.wantsMore()) {
        const Outcome ended = outcomeOf(whole);
        whole.feed("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
        whole.feed(bytes);
        whole.finish();
        fuzzCheck(outcomeOf(whole) == ended, "nothing changes an ended answer");
    }
    return 0;
}
