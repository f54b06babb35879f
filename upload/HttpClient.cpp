#include "upload/HttpClient.h"

#include "upload/HttpResponseReader.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Without a descriptor to wait on, a cancel is noticed by looking at it this often.
constexpr std::chrono::milliseconds CancelCheckInterval{20};

struct SocketHandle
{
    int fd = -1;
    SocketHandle() = default;
    SocketHandle(const SocketHandle &) = delete;
    SocketHandle &operator=(const SocketHandle &) = delete;
    ~SocketHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct SslCtxFree
{
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree
{
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};

std::string errnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

// The first queued OpenSSL error as text; empties the thread's queue.
std::string takeOpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

// The socket behind the TLS connection. OpenSSL's own socket BIO writes with write(), which
// raises SIGPIPE when the server has gone; a library must not change the process's signal
// handling, so writes go through send() with MSG_NOSIGNAL instead.
struct SocketBioState
{
    int fd = -1;
    bool eof = false;
};

int socketBioWrite(BIO *bio, const char *data, int length)
{
    auto *state = static_cast<SocketBioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(state->fd, data, std::size_t(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return int(sent);
}

int socketBioRead(BIO *bio, char *data, int length)
{
    auto *state = static_cast<SocketBioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(state->fd, data, std::size_t(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    if (received == 0)
        state->eof = true;
    return int(received);
}

long socketBioCtrl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        // Lets OpenSSL tell the end of the connection from a failed read.
        return static_cast<SocketBioState *>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
        return 0;
    }
}

const BIO_METHOD *socketBioMethod()
{
    // Made once for the process and kept: OpenSSL refers to it from every BIO made with it.
    static const BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "korvan socket");
        if (m) {
            BIO_meth_set_write(m, socketBioWrite);
            BIO_meth_set_read(m, socketBioRead);
            BIO_meth_set_ctrl(m, socketBioCtrl);
        }
        return m;
    }();
    return method;
}

class Exchange
{
public:
    Exchange(const HttpLimits &limits, const HttpCancel *cancel, const AddressLookup::Function &lookup)
        : perWait_(limits.readTimeout)
        , connectWait_(std::min(limits.connectTimeout, limits.readTimeout))
        , resolveWait_(std::min(limits.resolveTimeout, limits.readTimeout))
        , deadline_(Clock::now() + limits.overallLimit)
        , cancel_(cancel)
        , lookup_(lookup)
    { }

    HttpResult run(const UploadAddress &address, std::string_view request)
    {
        HttpResult result;
        ERR_clear_error();
        if (cancelRequested())
            failCancelled("before connecting");
        else if (connectTcp(address) && startTls(address) && handshake() && send(request) && receive())
            result.completed = true;
        if (ssl_ && result.completed)
            SSL_shutdown(ssl_.get()); // a courtesy close_notify; its outcome changes nothing
        ERR_clear_error();
        result.statusCode = reader_.statusCode();
        if (result.completed)
            result.headerLines = reader_.headerLines();
        else
            result.error = error_.empty() ? reader_.error() : error_;
        result.cancelled = cancelled_;
        return result;
    }

private:
    bool failWith(std::string text)
    {
        error_ = std::move(text);
        return false;
    }

    bool cancelRequested() const { return cancel_ && cancel_->isCancelled(); }

    bool failCancelled(const std::string &when)
    {
        cancelled_ = true;
        return failWith("cancelled " + when);
    }

    // Waits until fd is ready for events; false (with the reason kept) when the wait or the
    // whole exchange runs out of time, or the exchange is cancelled.
    bool waitFor(int fd, short events, const char *what) { return waitFor(fd, events, what, perWait_); }

    bool waitFor(int fd, short events, const char *what, std::chrono::milliseconds perWait)
    {
        const auto stepEnd = Clock::now() + perWait;
        const int cancelFd = cancel_ ? cancel_->fd() : -1;
        while (true) {
            if (cancelRequested())
                return failCancelled(std::string("while ") + what);
            const auto now = Clock::now();
            // The step's own limit is named when it ends first, the overall one otherwise.
            if (now >= stepEnd && stepEnd <= deadline_)
                return failWith(std::string("timed out while ") + what);
            if (now >= deadline_)
                return failWith(std::string("overall time limit reached while ") + what);
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(stepEnd, deadline_) - now);
            if (cancel_ && cancelFd < 0)
                wait = std::min(wait, CancelCheckInterval);
            // poll() passes over the second entry when there is no cancel descriptor.
            std::array<pollfd, 2> entries{pollfd{fd, events, 0}, pollfd{cancelFd, POLLIN, 0}};
            const int ready =
                    ::poll(entries.data(), entries.size(), int(std::clamp<long long>(wait.count(), 1, 86'400'000)));
            if (ready < 0 && errno != EINTR)
                return failWith(errnoText("poll", errno));
            if (ready > 0 && entries[1].revents != 0)
                return failCancelled(std::string("while ") + what);
            if (ready > 0 && entries[0].revents != 0)
                return true;
        }
    }

    bool connectTcp(const UploadAddress &address)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = address.ipLiteral ? AI_NUMERICHOST : 0;
        AddressLookup lookup(address.host, std::to_string(address.port), hints, lookup_);
        if (!lookup.startError().empty())
            return failWith(lookup.startError());
        if (!waitFor(lookup.readyFd(), POLLIN, "looking up the address", resolveWait_))
            return false;
        if (lookup.status() != 0)
            return failWith(std::string("address lookup: ") + gai_strerror(lookup.status()));
        const AddressLookup::List list = lookup.takeList();

        // Each address in turn (a name may give an IPv6 address the server does not listen on),
        // all within the one deadline.
        for (const addrinfo *entry = list.get(); entry; entry = entry->ai_next) {
            SocketHandle candidate;
            candidate.fd =
                    ::socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, entry->ai_protocol);
            if (candidate.fd < 0) {
                error_ = errnoText("socket", errno);
                continue;
            }
            if (::connect(candidate.fd, entry->ai_addr, entry->ai_addrlen) != 0) {
                if (errno != EINPROGRESS) {
                    error_ = errnoText("connect", errno);
                    continue;
                }
                if (!waitFor(candidate.fd, POLLOUT, "connecting", connectWait_)) {
                    if (cancelled_ || Clock::now() >= deadline_)
                        return false;
                    continue;
                }
                int soError = 0;
                socklen_t length = sizeof soError;
                if (::getsockopt(candidate.fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
                    soError = errno;
                if (soError != 0) {
                    error_ = errnoText("connect", soError);
                    continue;
                }
            }
            std::swap(socket_.fd, candidate.fd);
            error_.clear();
            return true;
        }
        if (error_.empty())
            error_ = "no address to connect to";
        return false;
    }

    bool startTls(const UploadAddress &address)
    {
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        if (!ctx_)
            return failWith("TLS context: " + takeOpenSslError());
        SSL_CTX_set_cipher_list(ctx_.get(), "DEFAULT");
        // Whatever the system's configuration allows: older versions are broken.
        if (SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION) != 1)
            return failWith("TLS version: " + takeOpenSslError());
        if (SSL_CTX_set_default_verify_paths(ctx_.get()) != 1)
            return failWith("trust store: " + takeOpenSslError());
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        // Many servers end the connection without close_notify; the body has its own framing,
        // and where it runs to the end of the connection, that end is what we wait for.
        SSL_CTX_set_options(ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(ctx_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);

        ssl_.reset(SSL_new(ctx_.get()));
        if (!ssl_)
            return failWith("TLS session: " + takeOpenSslError());
        X509_VERIFY_PARAM *param = SSL_get0_param(ssl_.get());
        if (address.ipLiteral) {
            // No name indication for an address: the certificate must name the address itself.
            if (X509_VERIFY_PARAM_set1_ip_asc(param, address.host.c_str()) != 1)
                return failWith("TLS address check: " + takeOpenSslError());
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            if (SSL_set_tlsext_host_name(ssl_.get(), address.host.c_str()) != 1
                || SSL_set1_host(ssl_.get(), address.host.c_str()) != 1)
                return failWith("TLS name check: " + takeOpenSslError());
        }

        const BIO_METHOD *method = socketBioMethod();
        BIO *bio = method ? BIO_new(method) : nullptr;
        if (!bio)
            return failWith("TLS transport: " + takeOpenSslError());
        bioState_.fd = socket_.fd;
        BIO_set_data(bio, &bioState_);
        BIO_set_init(bio, 1);
        SSL_set_bio(ssl_.get(), bio, bio); // the session owns the BIO from here
        SSL_set_connect_state(ssl_.get());
        return true;
    }

    // Handles a failed TLS call: waits when OpenSSL needs the socket, else records the error.
    bool waitOrFail(int ret, const char *what)
    {
        const int code = SSL_get_error(ssl_.get(), ret);
        if (code == SSL_ERROR_WANT_READ)
            return waitFor(socket_.fd, POLLIN, what);
        if (code == SSL_ERROR_WANT_WRITE)
            return waitFor(socket_.fd, POLLOUT, what);
        std::string text = std::string(what) + ": ";
        if (code == SSL_ERROR_SYSCALL && errno != 0)
            text += std::strerror(errno);
        const long verify = SSL_get_verify_result(ssl_.get());
        if (verify != X509_V_OK)
            text += std::string("certificate: ") + X509_verify_cert_error_string(verify) + "; ";
        text += takeOpenSslError();
        if (code == SSL_ERROR_ZERO_RETURN)
            text += "connection closed";
        return failWith(text);
    }

    bool handshake()
    {
        while (true) {
            errno = 0;
            const int ret = SSL_do_handshake(ssl_.get());
            if (ret == 1)
                break;
            if (!waitOrFail(ret, "TLS handshake"))
                return false;
        }
        // Peer verification already failed the handshake otherwise; checked again so that no
        // change of options can quietly turn it off.
        if (SSL_get_verify_result(ssl_.get()) != X509_V_OK || !SSL_get0_peer_certificate(ssl_.get()))
            return failWith("server certificate not verified");
        return true;
    }

    bool send(std::string_view request)
    {
        while (!request.empty()) {
            if (Clock::now() >= deadline_)
                return failWith("overall time limit reached while sending");
            if (cancelRequested())
                return failCancelled("while sending");
            std::size_t written = 0;
            errno = 0;
            const int ret = SSL_write_ex(ssl_.get(), request.data(), request.size(), &written);
            if (ret == 1) {
                request.remove_prefix(written);
                continue;
            }
            if (!waitOrFail(ret, "sending"))
                return false;
        }
        return true;
    }

    bool receive()
    {
        std::array<char, 16 * 1024> buffer{};
        while (reader_.wantsMore()) {
            // Checked on every read, not only on waits: a server that drips bytes never makes
            // us wait long, yet must not keep us for ever.
            if (Clock::now() >= deadline_)
                return failWith("overall time limit reached while reading the answer");
            if (cancelRequested())
                return failCancelled("while reading the answer");
            std::size_t received = 0;
            errno = 0;
            const int ret = SSL_read_ex(ssl_.get(), buffer.data(), buffer.size(), &received);
            if (ret == 1) {
                reader_.feed(std::string_view(buffer.data(), received));
                continue;
            }
            if (SSL_get_error(ssl_.get(), ret) == SSL_ERROR_ZERO_RETURN) {
                reader_.finish();
                break;
            }
            if (!waitOrFail(ret, "reading the answer"))
                return false;
        }
        if (!reader_.done())
            return failWith("bad answer: " + reader_.error());
        return true;
    }

    std::chrono::milliseconds perWait_;
    std::chrono::milliseconds connectWait_;
    std::chrono::milliseconds resolveWait_;
    Clock::time_point deadline_;
    const HttpCancel *cancel_;
    const AddressLookup::Function &lookup_;
    bool cancelled_ = false;
    SocketHandle socket_;
    SocketBioState bioState_;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
    HttpResponseReader reader_;
    std::string error_;
};

} // namespace

HttpClient::HttpClient(HttpLimits limits, AddressLookup::Function lookup)
    : limits_(limits)
    , lookup_(std::move(lookup))
{ }

HttpResult HttpClient::exchange(const UploadAddress &address, std::string_view request, const HttpCancel *cancel)
{
    Exchange run(limits_, cancel, lookup_);
    return run.run(address, request);
}
