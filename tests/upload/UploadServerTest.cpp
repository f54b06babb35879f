// UploadFile against the local fleet server over real TLS on the loopback interface.

#include "support/FleetServer.h"
#include "support/RecordingUploadReporter.h"
#include "upload/Upload.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QString Sending = QStringLiteral("Odesílám soubor na server...");
const QString Failed = QStringLiteral("Odeslání souboru na server selhalo");
const QString Accepted = QStringLiteral("Čtení karty dokončeno, soubor byl odeslán na server");
const QString BadCredentials = QStringLiteral("Odeslání souboru na server selhalo: chybné přihlašovací údaje");
const QString Duplicate = QStringLiteral("Odeslání souboru na server selhalo: duplicitní soubor");
const QString Unknown = QStringLiteral("Odeslání souboru na server selhalo: neznámá chyba");

using RecordingReporter = RecordingUploadReporter;

const QByteArray &downloadBytes()
{
    static const QByteArray bytes = [] {
        QByteArray data(26'600, '\0');
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char((i * 31 + 7) & 0xFF);
        return data;
    }();
    return bytes;
}

UploadInput makeInput(const std::string &url, HttpLimits limits)
{
    UploadInput input;
    input.company = QStringLiteral("FIRMA01");
    input.user = QStringLiteral("Jiří Čermák");
    input.password = QStringLiteral("tajné \"heslo\"");
    input.fileName = QStringLiteral("C_20240315_0815_J_Cermak_CZ12345678.ddd");
    input.data = downloadBytes();
    input.uploadUrl = QString::fromStdString(url);
    input.limits = limits;
    return input;
}

struct Outcome
{
    RecordingReporter reporter;
    std::chrono::milliseconds elapsed{};
    std::string failureReason;
};

Outcome upload(UploadInput input, const FleetServer *server)
{
    if (server)
        ::setenv("SSL_CERT_FILE", server->caFile().c_str(), 1);
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    outcome.failureReason = UploadFile(outcome.reporter, input).failureReason;
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return outcome;
}

// The request the server must have received, rebuilt from the input with the boundary that the
// recorded request carries.
QByteArray expectedRequest(const QByteArray &recorded, const UploadInput &input)
{
    const QByteArray marker = "boundary=";
    const qsizetype at = recorded.indexOf(marker);
    const qsizetype end = recorded.indexOf("\r\n", at);
    if (at < 0 || end < 0)
        return {};
    const QByteArray boundary = recorded.mid(at + marker.size(), end - at - marker.size());
    EXPECT_EQ(boundary.size(), 36);
    const UploadForm form{*ToWindows1250(input.company), *ToWindows1250(input.user), *ToWindows1250(input.password),
                          *ToWindows1250(input.fileName)};
    const QByteArray body = BuildUploadBody(boundary, form, input.data);
    const std::optional<UploadAddress> address = ParseUploadAddress(input.uploadUrl);
    return BuildUploadRequestHead(*address, "Mozilla/4.0 (compatible; MK Korvan 1.1.0.22)", boundary, body.size())
            + body;
}

std::vector<std::string> waitForRequests(const FleetServer &server, std::size_t count)
{
    const auto until = std::chrono::steady_clock::now() + 3s;
    std::vector<std::string> requests = server.recordedRequests();
    while (requests.size() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
        requests = server.recordedRequests();
    }
    return requests;
}

std::vector<QString> headerLines(const char *statusLine, std::vector<QString> middle, const char *framing)
{
    std::vector<QString> lines{QString::fromLatin1(statusLine), QStringLiteral("Server: korvan-fleetd"),
                               QStringLiteral("Content-Type: text/plain"), QStringLiteral("Connection: close")};
    lines.insert(lines.end(), middle.begin(), middle.end());
    lines.push_back(QString::fromLatin1(framing));
    return lines;
}

struct AnswerCase
{
    const char *name;
    std::vector<std::string> options;
    int statusCode;
    QString statusText;
    std::vector<QString> headerLines;
    std::string host = "127.0.0.1";
    HttpLimits limits = {5s, 20s};
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AnswerCase &c, std::ostream *out)
{
    *out << c.name;
}

class UploadAnswerTest : public testing::TestWithParam<AnswerCase>
{
};

TEST_P(UploadAnswerTest, StatusTextLogAndRequestBytes)
{
    const AnswerCase &c = GetParam();
    const FleetServer server(c.options);
    ASSERT_TRUE(server.running()) << server.error();
    const UploadInput input = makeInput(server.url(c.host), c.limits);

    const Outcome outcome = upload(input, &server);

    EXPECT_EQ(outcome.reporter.statuses, (std::vector<QString>{Sending, c.statusText})) << outcome.failureReason;
    std::vector<QString> log{QStringLiteral("HTTP Upload: "), QString::number(c.statusCode)};
    log.insert(log.end(), c.headerLines.begin(), c.headerLines.end());
    log.push_back(QString());
    EXPECT_EQ(outcome.reporter.log, log);

    // One request (a redirection is not followed), exactly the bytes built for it.
    const std::vector<std::string> requests = server.recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    const QByteArray recorded = QByteArray::fromStdString(requests.front());
    EXPECT_TRUE(recorded == expectedRequest(recorded, input)) << recorded.first(600).toStdString();
}

const char *const Length7 = "Content-Length: 7";
const char *const Length8 = "Content-Length: 8";

INSTANTIATE_TEST_SUITE_P(
        Answers, UploadAnswerTest,
        testing::Values(
                AnswerCase{"Accepted", {}, 200, Accepted, headerLines("HTTP/1.1 200 OK", {}, Length7)},
                AnswerCase{"WrongCredentials",
                           {"--status", "401"},
                           401,
                           BadCredentials,
                           headerLines("HTTP/1.1 401 Unauthorized", {}, Length8)},
                AnswerCase{"DuplicateFile",
                           {"--status", "409"},
                           409,
                           Duplicate,
                           headerLines("HTTP/1.1 409 Conflict", {}, Length8)},
                AnswerCase{"ServerError",
                           {"--status", "500"},
                           500,
                           Unknown,
                           headerLines("HTTP/1.1 500 Internal Server Error", {}, Length8)},
                AnswerCase{"RedirectNotFollowed",
                           {"--status", "302"},
                           302,
                           Unknown,
                           headerLines("HTTP/1.1 302 Found", {QStringLiteral("Location: https://127.0.0.1/elsewhere")},
                                       Length8)},
                AnswerCase{"OtherSuccessIsNotSuccess",
                           {"--status", "201"},
                           201,
                           Unknown,
                           headerLines("HTTP/1.1 201 Status", {}, Length8)},
                AnswerCase{"ChunkedBody",
                           {"--chunked"},
                           200,
                           Accepted,
                           headerLines("HTTP/1.1 200 OK", {}, "Transfer-Encoding: chunked")},
                AnswerCase{"SlowDripWithinTheLimits",
                           {"--drip", "2"},
                           200,
                           Accepted,
                           headerLines("HTTP/1.1 200 OK", {}, Length7)},
                AnswerCase{"LateAnswerWithinTheReadTimeout",
                           {"--delay-ms", "600"},
                           200,
                           Accepted,
                           headerLines("HTTP/1.1 200 OK", {}, Length7),
                           "127.0.0.1",
                           {2s, 20s}},
                AnswerCase{"HostName", {}, 200, Accepted, headerLines("HTTP/1.1 200 OK", {}, Length7), "localhost"},
                AnswerCase{"CredentialsMatch",
                           {"--expect-credentials", "FIRMA01:Jiří Čermák:tajné \"heslo\""},
                           200,
                           Accepted,
                           headerLines("HTTP/1.1 200 OK", {}, Length7)},
                AnswerCase{"CredentialsDiffer",
                           {"--expect-credentials", "FIRMA01:Jiří Čermák:tajne \"heslo\""},
                           401,
                           BadCredentials,
                           headerLines("HTTP/1.1 401 Unauthorized", {}, Length8)}),
        [](const testing::TestParamInfo<AnswerCase> &param) { return std::string(param.param.name); });

TEST(UploadFile, SameFileTwiceIsADuplicate)
{
    const FleetServer server({"--duplicates-409"});
    ASSERT_TRUE(server.running()) << server.error();
    const UploadInput input = makeInput(server.url(), {5s, 20s});
    EXPECT_EQ(upload(input, &server).reporter.statuses.back(), Accepted);
    EXPECT_EQ(upload(input, &server).reporter.statuses.back(), Duplicate);
}

struct FailureCase
{
    const char *name;
    // Part of the diagnostic, so that no case passes by failing for another reason.
    const char *reason;
    std::vector<std::string> options; // the server's
    bool noServer = false;
    std::string url = {}; // {port} is the server's port; empty: the server's https URL
    HttpLimits limits = {5s, 20s};
    bool serverGetsRequest = false;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase &c, std::ostream *out)
{
    *out << c.name;
}

class UploadFailureTest : public testing::TestWithParam<FailureCase>
{
};

TEST_P(UploadFailureTest, FailsWithinTheLimitsAndLogsTheReason)
{
    const FailureCase &c = GetParam();
    std::optional<FleetServer> server;
    std::string url;
    if (c.noServer) {
        url = "https://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/vorkany.php";
    } else {
        server.emplace(c.options);
        ASSERT_TRUE(server->running()) << server->error();
        url = server->url(c.options.size() >= 2 && c.options[0] == "--listen"
                                  ? c.options[1].substr(0, c.options[1].find(':'))
                                  : "127.0.0.1");
    }
    if (!c.url.empty()) {
        url = c.url;
        const std::size_t at = url.find("{port}");
        if (at != std::string::npos)
            url.replace(at, 6, std::to_string(server ? server->port() : 1));
    }

    const UploadInput input = makeInput(url, c.limits);
    const Outcome outcome = upload(input, server ? &*server : nullptr);

    EXPECT_EQ(outcome.reporter.statuses, (std::vector<QString>{Sending, Failed}));
    EXPECT_NE(outcome.failureReason.find(c.reason), std::string::npos) << outcome.failureReason;
    // One line with the reason, and never what was sent.
    ASSERT_EQ(outcome.reporter.log.size(), 1u);
    EXPECT_EQ(outcome.reporter.log.front(),
              QStringLiteral("HTTP Upload failed: ") + QString::fromStdString(outcome.failureReason));
    for (const QString &credential : {input.company, input.user, input.password})
        EXPECT_FALSE(outcome.reporter.log.front().contains(credential));
    EXPECT_LT(outcome.elapsed, c.limits.overallLimit + 5s);
    if (server) {
        EXPECT_EQ(waitForRequests(*server, c.serverGetsRequest ? 1 : 0).size(), c.serverGetsRequest ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
        Failures, UploadFailureTest,
        testing::Values(
                FailureCase{"ConnectionRefused", "Connection refused", {}, true},
                FailureCase{"UntrustedCertificate", "unable to get local issuer certificate", {"--untrusted"}},
                FailureCase{"AddressNotInCertificate", "IP address mismatch", {"--listen", "127.0.0.2:0"}},
                FailureCase{"ServerSpeaksNoTls", "TLS handshake", {"--plain-tcp"}},
                FailureCase{"ServerSilentAfterConnect",
                            "timed out while TLS handshake",
                            {"--plain-tcp", "--no-answer"},
                            false,
                            {},
                            {300ms, 20s}},
                FailureCase{"NeverAnswers", "timed out while reading", {"--no-answer"}, false, {}, {300ms, 20s}, true},
                FailureCase{"ResetMidAnswer", "reading the answer", {"--reset-mid-answer"}, false, {}, {5s, 20s}, true},
                FailureCase{"DripsPastTheOverallLimit",
                            "overall time limit",
                            {"--drip", "20"},
                            false,
                            {},
                            {5s, 700ms},
                            true},
                FailureCase{"EndlessBody", "overall time limit", {"--endless-body"}, false, {}, {5s, 1s}, true},
                FailureCase{
                        "EndlessHeaders", "header block too long", {"--endless-headers"}, false, {}, {5s, 20s}, true},
                FailureCase{"JunkStatusLine", "not an HTTP status line", {"--junk-status"}, false, {}, {5s, 20s}, true},
                FailureCase{"BadChunkedBody", "bad chunk size", {"--bad-chunked"}, false, {}, {5s, 20s}, true},
                FailureCase{"NotHttps", "not an https address", {}, false, "http://127.0.0.1:{port}/vorkany.php"},
                FailureCase{"UnparsableAddress",
                            "not an https address",
                            {},
                            false,
                            "https://127.0.0.1:{port}/vor kany.php"}),
        [](const testing::TestParamInfo<FailureCase> &param) { return std::string(param.param.name); });

// An address that never accepts (its listen queue is full, so the kernel drops our SYN) is given
// up after the connect limit, not after the longer wait for an answer.
TEST(UploadFile, AddressThatNeverAcceptsIsGivenUpAfterTheConnectLimit)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        [[maybe_unused]] const int started =
                ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    std::this_thread::sleep_for(100ms);

    HttpLimits limits{5s, 20s};
    limits.connectTimeout = 300ms;
    const Outcome outcome =
            upload(makeInput("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/vorkany.php", limits),
                   nullptr);
    EXPECT_NE(outcome.failureReason.find("timed out while connecting"), std::string::npos) << outcome.failureReason;
    EXPECT_LT(outcome.elapsed, 3s);
    for (int filler : fillers)
        ::close(filler);
    ::close(listener);
}

TEST(UploadFile, TextWithoutWindows1250BytesSendsNothing)
{
    const FleetServer server;
    ASSERT_TRUE(server.running()) << server.error();
    UploadInput input = makeInput(server.url(), {5s, 20s});
    input.user = QStringLiteral("漢字");
    const Outcome outcome = upload(input, &server);
    EXPECT_EQ(outcome.reporter.statuses, (std::vector<QString>{Sending, Failed}));
    EXPECT_EQ(outcome.failureReason, "text without Windows-1250 bytes");
    EXPECT_EQ(outcome.reporter.log,
              (std::vector<QString>{QStringLiteral("HTTP Upload failed: text without Windows-1250 bytes")}));
    EXPECT_TRUE(server.recordedRequests().empty());
}

} // namespace
