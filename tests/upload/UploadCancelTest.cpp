// Cancelling an upload from another thread in each step of the exchange, and the limit on the
// name lookup. Every limit but the one a case is about is far away, so only the cancel (or that
// limit) can end the exchange within the few seconds allowed.

#include "support/FleetServer.h"
#include "support/RecordingUploadReporter.h"
#include "upload/Upload.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto ReturnBound = 5s;
const HttpLimits FarLimits{60s, 60s, 60s, 60s};

using RecordingReporter = RecordingUploadReporter;

// A loopback listener that never accepts. With a full queue, further connections hang in
// connect(); otherwise they complete and whatever is sent waits unread.
class Listener
{
public:
    explicit Listener(bool fillQueue)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(fd_, fillQueue ? 0 : 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int i = 0; fillQueue && i < 4; ++i) {
            fillers_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            [[maybe_unused]] const int started =
                    ::connect(fillers_.back(), reinterpret_cast<sockaddr *>(&address), sizeof address);
        }
        if (fillQueue)
            std::this_thread::sleep_for(100ms);
    }
    ~Listener()
    {
        for (int fd : fillers_)
            ::close(fd);
        if (accepted_ >= 0)
            ::close(accepted_);
        ::close(fd_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/vorkany.php"; }

    // Accepts the client and waits for its first bytes, which are the start of the handshake.
    void waitForClientHello()
    {
        pollfd pending{fd_, POLLIN, 0};
        ASSERT_EQ(::poll(&pending, 1, 5000), 1);
        accepted_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(accepted_, 0);
        pollfd hello{accepted_, POLLIN, 0};
        ASSERT_EQ(::poll(&hello, 1, 5000), 1);
    }

private:
    int fd_ = -1;
    int accepted_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
};

UploadInput makeInput(const std::string &url, const HttpCancel &cancel)
{
    static const QByteArray data(26'600, 'x');
    UploadInput input;
    input.company = QStringLiteral("FIRMA01");
    input.user = QStringLiteral("Jiří Čermák");
    input.password = QStringLiteral("tajné heslo");
    input.fileName = QStringLiteral("C_20240315_0815_J_Cermak_CZ12345678.ddd");
    input.data = data;
    input.uploadUrl = QString::fromStdString(url);
    input.limits = FarLimits;
    input.cancel = &cancel;
    return input;
}

// Uploads on another thread, cancels once inStep() returns, and expects the upload to end soon
// after, reported exactly as any failed exchange is.
void expectCancelledWhile(const std::string &url, const std::function<void()> &inStep, const std::string &step)
{
    HttpCancel cancel;
    RecordingReporter reporter;
    auto uploading = std::async(std::launch::async,
                                [&reporter, input = makeInput(url, cancel)] { return UploadFile(reporter, input); });
    inStep();
    cancel.cancel();
    ASSERT_EQ(uploading.wait_for(ReturnBound), std::future_status::ready) << "still uploading after the cancel";
    const UploadOutcome outcome = uploading.get();

    EXPECT_TRUE(outcome.cancelled);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.failureReason, "cancelled while " + step);
    EXPECT_EQ(reporter.statuses,
              (std::vector<QString>{QStringLiteral("Odesílám soubor na server..."),
                                    QStringLiteral("Odeslání souboru na server selhalo")}));
    EXPECT_EQ(reporter.log,
              (std::vector<QString>{QStringLiteral("HTTP Upload failed: cancelled while ")
                                    + QString::fromStdString(step)}));
}

TEST(UploadCancel, WhileConnecting)
{
    const Listener neverAccepts(true);
    // Nothing tells from outside that connect() is waiting; it starts within a millisecond or
    // two, and the reason checked below says whether the cancel found it there.
    expectCancelledWhile(
            neverAccepts.url(), [] { std::this_thread::sleep_for(300ms); }, "connecting");
}

TEST(UploadCancel, WhileTheServerKeepsSilentInTheHandshake)
{
    Listener silent(false);
    expectCancelledWhile(
            silent.url(), [&silent] { silent.waitForClientHello(); }, "TLS handshake");
}

TEST(UploadCancel, WhileWaitingForTheAnswer)
{
    const FleetServer server({"--no-answer"});
    ASSERT_TRUE(server.running()) << server.error();
    ::setenv("SSL_CERT_FILE", server.caFile().c_str(), 1);
    expectCancelledWhile(
            server.url(),
            [&server] {
                const auto until = std::chrono::steady_clock::now() + ReturnBound;
                while (server.recordedRequests().empty() && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(10ms);
            },
            "reading the answer");
}

// A resolver that answers only when released (at the latest when the test ends) and tells when
// it has been asked. It fails the lookup when it does answer.
class StuckResolver
{
public:
    ~StuckResolver() { state_->release.set_value(); }

    AddressLookup::Function function() const
    {
        return [state = state_](const char *, const char *, const addrinfo *, addrinfo **) {
            state->asked.set_value();
            state->released.wait();
            return EAI_AGAIN;
        };
    }
    bool asked() { return asked_.wait_for(ReturnBound) == std::future_status::ready; }

private:
    struct State
    {
        std::promise<void> asked;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::future<void> asked_ = state_->asked.get_future();
};

const UploadAddress FleetName = *ParseUploadAddress(QStringLiteral("https://fleet.invalid/vorkany.php"));

struct LookupLimitCase
{
    const char *name;
    HttpLimits limits;
    const char *error;
};

void PrintTo(const LookupLimitCase &c, std::ostream *out)
{
    *out << c.name;
}

class LookupLimitTest : public testing::TestWithParam<LookupLimitCase>
{
};

TEST_P(LookupLimitTest, AResolverThatNeverAnswersIsGivenUp)
{
    const LookupLimitCase &c = GetParam();
    const StuckResolver resolver;
    HttpClient client(c.limits, resolver.function());
    auto exchanging = std::async(std::launch::async, [&client] { return client.exchange(FleetName, "request"); });
    ASSERT_EQ(exchanging.wait_for(ReturnBound), std::future_status::ready);
    const HttpResult result = exchanging.get();
    EXPECT_FALSE(result.completed);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(Limits, LookupLimitTest,
                         testing::Values(LookupLimitCase{"ResolveTimeout",
                                                         {60s, 60s, 60s, 300ms},
                                                         "timed out while looking up the address"},
                                         LookupLimitCase{"OverallLimit",
                                                         {60s, 300ms, 60s, 60s},
                                                         "overall time limit reached while looking up the address"}),
                         [](const testing::TestParamInfo<LookupLimitCase> &param) {
                             return std::string(param.param.name);
                         });

TEST(HttpCancel, EndsAStuckLookup)
{
    StuckResolver resolver;
    HttpClient client(FarLimits, resolver.function());
    HttpCancel cancel;
    auto exchanging = std::async(std::launch::async,
                                 [&client, &cancel] { return client.exchange(FleetName, "request", &cancel); });
    ASSERT_TRUE(resolver.asked());
    cancel.cancel();
    ASSERT_EQ(exchanging.wait_for(ReturnBound), std::future_status::ready);
    const HttpResult result = exchanging.get();
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.error, "cancelled while looking up the address");
}

// Cancelled before it starts, the exchange does not even look the name up; once reset, the
// same object lets the next exchange run.
TEST(HttpCancel, BeforeTheStartAndAfterAReset)
{
    auto lookups = std::make_shared<std::atomic<int>>(0);
    HttpClient client(FarLimits, [lookups](const char *, const char *, const addrinfo *, addrinfo **) {
        ++*lookups;
        return EAI_NONAME;
    });
    HttpCancel cancel;
    cancel.cancel();
    cancel.cancel();
    const HttpResult cancelled = client.exchange(FleetName, "request", &cancel);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(cancelled.error, "cancelled before connecting");
    EXPECT_EQ(*lookups, 0);

    cancel.reset();
    EXPECT_FALSE(cancel.isCancelled());
    const HttpResult ran = client.exchange(FleetName, "request", &cancel);
    EXPECT_FALSE(ran.cancelled);
    EXPECT_EQ(ran.error, std::string("address lookup: ") + gai_strerror(EAI_NONAME));
    EXPECT_EQ(*lookups, 1);
}

} // namespace
