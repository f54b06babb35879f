#include "upload/HttpResponseReader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using State = HttpResponseReader::State;

struct ReaderCase
{
    const char *name;
    std::string input;
    bool closeAfter; // the server closes the connection after the input
    State expected;
    int statusCode = 0;
    std::vector<std::string> lines = {}; // checked when Done
    std::size_t headerLimit = HttpResponseReader::DefaultMaxHeaderBytes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ReaderCase &c, std::ostream *out)
{
    *out << c.name;
}

class HttpResponseReaderTest : public testing::TestWithParam<ReaderCase>
{
};

// Every case is fed whole, byte by byte and in odd pieces: where the bytes are split must not
// change the outcome.
TEST_P(HttpResponseReaderTest, Outcome)
{
    const ReaderCase &c = GetParam();
    for (std::size_t piece : {c.input.size() + 1, std::size_t(1), std::size_t(7)}) {
        HttpResponseReader reader(c.headerLimit);
        for (std::size_t at = 0; at < c.input.size(); at += piece)
            reader.feed(std::string_view(c.input).substr(at, piece));
        if (c.closeAfter)
            reader.finish();
        SCOPED_TRACE("piece size " + std::to_string(piece));
        EXPECT_EQ(reader.state(), c.expected) << reader.error();
        if (c.expected == State::Done) {
            EXPECT_EQ(reader.statusCode(), c.statusCode);
            EXPECT_EQ(reader.headerLines(), c.lines);
        }
    }
}

const std::string Ok = "HTTP/1.1 200 OK\r\n";

INSTANTIATE_TEST_SUITE_P(
        Answers, HttpResponseReaderTest,
        testing::Values(
                ReaderCase{"ContentLength",
                           Ok + "Server: x\r\nContent-Length: 5\r\n\r\nhello",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Server: x", "Content-Length: 5"}},
                ReaderCase{"BytesAfterTheBodyIgnored",
                           Ok + "Content-Length: 2\r\n\r\nhiHTTP/1.1 500 X\r\n\r\n",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Content-Length: 2"}},
                ReaderCase{"ContentLengthShortOfBody", Ok + "Content-Length: 10\r\n\r\nhello", true, State::Failed},
                ReaderCase{"ContentLengthStillComing", Ok + "Content-Length: 10\r\n\r\nhello", false, State::Body},
                ReaderCase{"ZeroLength",
                           "HTTP/1.0 401 Unauthorized\r\ncontent-length: 0\r\n\r\n",
                           false,
                           State::Done,
                           401,
                           {"HTTP/1.0 401 Unauthorized", "content-length: 0"}},
                ReaderCase{"RepeatedEqualLengths",
                           Ok + "Content-Length: 3, 3\r\nContent-Length: 3\r\n\r\nabc",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Content-Length: 3, 3", "Content-Length: 3"}},
                ReaderCase{"DifferingLengths", Ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false,
                           State::Failed},
                ReaderCase{"DifferingLengthsInOneLine", Ok + "Content-Length: 3, 4\r\n\r\nabcd", false, State::Failed},
                ReaderCase{"BadLength", Ok + "Content-Length: -1\r\n\r\n", false, State::Failed},
                ReaderCase{"HugeLength", Ok + "Content-Length: 1234567890123456789012\r\n\r\n", false, State::Failed},
                ReaderCase{"UntilClose",
                           "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nanything at all",
                           true,
                           State::Done,
                           200,
                           {"HTTP/1.0 200 OK", "Server: x"}},
                ReaderCase{"UntilCloseStillOpen", "HTTP/1.0 200 OK\r\n\r\nmore", false, State::Body},
                ReaderCase{"Chunked",
                           Ok
                                   + "Transfer-Encoding: "
                                     "chunked\r\n\r\n3;note=x\r\nabc\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Transfer-Encoding: chunked"}},
                ReaderCase{"ChunkedWinsOverLength",
                           Ok + "Content-Length: 100\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Content-Length: 100", "Transfer-Encoding: gzip, Chunked"}},
                ReaderCase{"OtherCodingRunsUntilClose",
                           Ok + "Transfer-Encoding: gzip\r\n\r\nxyz",
                           true,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Transfer-Encoding: gzip"}},
                ReaderCase{"ChunkedBadSize", Ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", false,
                           State::Failed},
                ReaderCase{"ChunkedNoSize", Ok + "Transfer-Encoding: chunked\r\n\r\n\r\nabc\r\n0\r\n\r\n", false,
                           State::Failed},
                ReaderCase{"ChunkedJunkAfterSize", Ok + "Transfer-Encoding: chunked\r\n\r\n3 x\r\nabc\r\n0\r\n\r\n",
                           false, State::Failed},
                ReaderCase{"ChunkedSizeTooLarge",
                           Ok + "Transfer-Encoding: chunked\r\n\r\n1000000000000000\r\nabc\r\n0\r\n\r\n", false,
                           State::Failed},
                ReaderCase{"ChunkedDataLongerThanSize", Ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n",
                           false, State::Failed},
                ReaderCase{"ChunkedSizeLineEndless",
                           Ok + "Transfer-Encoding: chunked\r\n\r\n1" + std::string(2000, '0'), false, State::Failed},
                ReaderCase{"ChunkedCutShort", Ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", true, State::Failed},
                ReaderCase{"ChunkedWithoutLastChunk", Ok + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n", true,
                           State::Failed},
                ReaderCase{"BareLineFeeds",
                           "HTTP/1.1 409 Conflict\nServer: x\nContent-Length: 1\n\nz",
                           false,
                           State::Done,
                           409,
                           {"HTTP/1.1 409 Conflict", "Server: x", "Content-Length: 1"}},
                ReaderCase{"NoReasonPhrase",
                           "HTTP/1.1 500\r\nContent-Length: 0\r\n\r\n",
                           false,
                           State::Done,
                           500,
                           {"HTTP/1.1 500", "Content-Length: 0"}},
                ReaderCase{"NoContentStatus",
                           "HTTP/1.1 204 No Content\r\n\r\n",
                           false,
                           State::Done,
                           204,
                           {"HTTP/1.1 204 No Content"}},
                ReaderCase{"InterimAnswerSkipped",
                           "HTTP/1.1 100 Continue\r\nX: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                           false,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "Content-Length: 0"}},
                ReaderCase{"ProtocolSwitchRefused", "HTTP/1.1 101 Switching\r\n\r\n", false, State::Failed},
                ReaderCase{"JunkStatusLine", "JUNK/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, State::Failed},
                ReaderCase{"TwoDigitCode", "HTTP/1.1 20 OK\r\n\r\n", false, State::Failed},
                ReaderCase{"FourDigitCode", "HTTP/1.1 2000 OK\r\n\r\n", false, State::Failed},
                ReaderCase{"LeadingZeroCode", "HTTP/1.1 099 Odd\r\n\r\n", false, State::Failed},
                ReaderCase{"NoVersion", "HTTP/ 200 OK\r\n\r\n", false, State::Failed},
                ReaderCase{"LeadingBlankLine", "\r\nHTTP/1.1 200 OK\r\n\r\n", false, State::Failed},
                ReaderCase{"ClosedInHeaders", Ok + "Server: x\r\n", true, State::Failed},
                ReaderCase{"ClosedAtOnce", "", true, State::Failed},
                ReaderCase{"HeadersNeverEnd", Ok + std::string(70 * 1024, 'h'), false, State::Failed},
                ReaderCase{"ManyShortHeaderLines",
                           Ok +
                                   [] {
                                       std::string lines;
                                       for (int i = 0; i < 20000; ++i)
                                           lines += "X: 1\r\n";
                                       return lines;
                                   }(),
                           false, State::Failed},
                // The limit counts every byte of the block, its closing blank line included.
                ReaderCase{"HeaderBlockAtTheLimit",
                           "HTTP/1.1 200 OK\r\nX: " + std::string(76, 'a') + "\r\n\r\n",
                           true,
                           State::Done,
                           200,
                           {"HTTP/1.1 200 OK", "X: " + std::string(76, 'a')},
                           100},
                ReaderCase{"HeaderBlockOverTheLimit",
                           "HTTP/1.1 200 OK\r\nX: " + std::string(77, 'a') + "\r\n\r\n",
                           true,
                           State::Failed,
                           0,
                           {},
                           100},
                ReaderCase{"TrailersCountAgainstTheLimit",
                           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: " + std::string(60, 't')
                                   + "\r\n\r\n",
                           false,
                           State::Failed,
                           0,
                           {},
                           100}),
        [](const testing::TestParamInfo<ReaderCase> &param) { return std::string(param.param.name); });

} // namespace
