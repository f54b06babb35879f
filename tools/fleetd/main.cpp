// korvan-fleetd: the local HTTPS fleet server for tests, the demo and benchmarks. It makes its
// own test certificate authority at start, takes upload requests, records them byte for byte and
// answers with a chosen status, or misbehaves in a chosen way.

#include "Certificates.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <iconv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::size_t MaxRequestHead = 64 * 1024;
constexpr std::size_t MaxRequestBody = 16 * 1024 * 1024;
constexpr int MaxConnections = 32;
constexpr auto SocketTimeout = 30s;
constexpr auto MaxRequestTime = 120s;
constexpr auto MaxHoldTime = 600s;

const char *const Usage = R"(usage: korvan-fleetd [options]
  --listen HOST:PORT          address to listen on (default 127.0.0.1:0; port 0 = any free port)
  --ca-out FILE               write the test CA certificate (PEM) there
  --record-dir DIR            record each request's bytes as DIR/request-NNNN.bin
  --status N                  answer with status N (default 200)
  --expect-credentials C:U:P  answer 401 unless idkod, jmeno and heslo are C, U and P
                              (given in UTF-8, compared as Windows-1250 bytes)
  --duplicates-409            answer 409 for a file name already taken with 200
  --chunked                   send the answer's body in chunked coding
  --delay-ms N                wait N ms before answering
misbehaviour:
  --untrusted                 serve a certificate from a CA that is not written out
  --plain-tcp                 accept TCP and never speak TLS
  --no-answer                 read the request, then never answer
  --reset-mid-answer          send part of the header block, then reset the connection
  --drip MS                   send the answer one byte every MS milliseconds
  --endless-body              a body that never ends
  --endless-headers           a header block that never ends
  --junk-status               a status line that is not HTTP
  --bad-chunked               a chunked body with a bad chunk size
Prints "port N" once listening and one "request ..." line per recorded request.
)";

struct Options
{
    std::string listen = "127.0.0.1:0";
    std::string caOut;
    std::string recordDir;
    int status = 200;
    std::optional<std::string> expectCompany, expectUser, expectPassword;
    bool duplicates409 = false;
    bool chunked = false;
    int delayMs = 0;
    bool untrusted = false;
    bool plainTcp = false;
    bool noAnswer = false;
    bool resetMidAnswer = false;
    int dripMs = 0;
    bool endlessBody = false;
    bool endlessHeaders = false;
    bool junkStatus = false;
    bool badChunked = false;
};

std::mutex outputMutex;

void printLine(const std::string &line)
{
    std::lock_guard lock(outputMutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const std::string &line)
{
    std::lock_guard lock(outputMutex);
    std::fprintf(stderr, "korvan-fleetd: %s\n", line.c_str());
}

std::optional<int> parseNumber(const char *text, int low, int high)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return std::nullopt;
    return int(value);
}

// The client sends form values as Windows-1250 bytes; options arrive in UTF-8.
std::string toWindows1250(const std::string &utf8)
{
    iconv_t converter = iconv_open("CP1250", "UTF-8");
    if (converter == iconv_t(-1))
        return utf8;
    std::string input = utf8;
    std::string output(input.size(), '\0');
    char *in = input.data();
    char *out = output.data();
    std::size_t inLeft = input.size();
    std::size_t outLeft = output.size();
    const std::size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (done == std::size_t(-1))
        return utf8;
    output.resize(output.size() - outLeft);
    return output;
}

std::optional<Options> parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        auto value = [&]() -> const char * {
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        if (option == "--help") {
            std::fputs(Usage, stdout);
            std::exit(0);
        } else if (option == "--listen" || option == "--ca-out" || option == "--record-dir") {
            const char *text = value();
            if (!text)
                return std::nullopt;
            (option == "--listen" ? options.listen : option == "--ca-out" ? options.caOut : options.recordDir) = text;
        } else if (option == "--status" || option == "--delay-ms" || option == "--drip") {
            const char *text = value();
            const std::optional<int> number = text
                    ? parseNumber(text, option == "--status" ? 100 : 0, option == "--status" ? 999 : 3'600'000)
                    : std::nullopt;
            if (!number)
                return std::nullopt;
            (option == "--status"             ? options.status
                     : option == "--delay-ms" ? options.delayMs
                                              : options.dripMs) = *number;
        } else if (option == "--expect-credentials") {
            const char *text = value();
            if (!text)
                return std::nullopt;
            // The password is the rest after the second colon, so it may hold colons itself.
            const std::string credentials = text;
            const std::size_t first = credentials.find(':');
            const std::size_t second = first == std::string::npos ? first : credentials.find(':', first + 1);
            if (second == std::string::npos)
                return std::nullopt;
            options.expectCompany = toWindows1250(credentials.substr(0, first));
            options.expectUser = toWindows1250(credentials.substr(first + 1, second - first - 1));
            options.expectPassword = toWindows1250(credentials.substr(second + 1));
        } else if (option == "--duplicates-409") {
            options.duplicates409 = true;
        } else if (option == "--chunked") {
            options.chunked = true;
        } else if (option == "--untrusted") {
            options.untrusted = true;
        } else if (option == "--plain-tcp") {
            options.plainTcp = true;
        } else if (option == "--no-answer") {
            options.noAnswer = true;
        } else if (option == "--reset-mid-answer") {
            options.resetMidAnswer = true;
        } else if (option == "--endless-body") {
            options.endlessBody = true;
        } else if (option == "--endless-headers") {
            options.endlessHeaders = true;
        } else if (option == "--junk-status") {
            options.junkStatus = true;
        } else if (option == "--bad-chunked") {
            options.badChunked = true;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

bool writeFileAtomically(const std::string &path, const std::string &bytes)
{
    const std::string temporary = path + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), std::streamsize(bytes.size()));
        if (!file.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// One accepted connection, with or without TLS; blocking I/O bounded by socket timeouts.
class Connection
{
public:
    Connection(int fd, SSL *ssl)
        : fd_(fd)
        , ssl_(ssl)
    { }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection()
    {
        if (ssl_) {
            if (!reset_ && SSL_is_init_finished(ssl_))
                SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        ::close(fd_);
        ERR_clear_error();
    }

    // Bytes read (0: the peer closed), or -1 on an error or a timeout.
    long readSome(char *buffer, std::size_t size)
    {
        if (!ssl_) {
            const ssize_t received = ::recv(fd_, buffer, size, 0);
            return received < 0 ? -1 : long(received);
        }
        std::size_t received = 0;
        if (SSL_read_ex(ssl_, buffer, size, &received) == 1)
            return long(received);
        return SSL_get_error(ssl_, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    bool writeAll(std::string_view bytes)
    {
        while (!bytes.empty()) {
            if (!ssl_) {
                const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (sent <= 0)
                    return false;
                bytes.remove_prefix(std::size_t(sent));
                continue;
            }
            std::size_t written = 0;
            if (SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) != 1)
                return false;
            bytes.remove_prefix(written);
        }
        return true;
    }

    // Closes with a TCP reset, in the middle of whatever was going on.
    void resetAbruptly()
    {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        reset_ = true;
    }

    // Keeps the connection open and silent until the peer goes away.
    void holdUntilClosed()
    {
        const auto until = std::chrono::steady_clock::now() + MaxHoldTime;
        std::array<char, 4096> buffer{};
        while (std::chrono::steady_clock::now() < until) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 1000) <= 0)
                continue;
            if (::recv(fd_, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT) <= 0)
                return;
            if (readSome(buffer.data(), buffer.size()) <= 0)
                return;
        }
    }

private:
    int fd_;
    SSL *ssl_;
    bool reset_ = false;
};

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// The value of a header in the request head, by a case-insensitive name.
std::optional<std::string> headerValue(std::string_view head, std::string_view name)
{
    std::size_t start = head.find("\r\n");
    while (start != std::string_view::npos && start + 2 < head.size()) {
        start += 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
        if (line.size() > name.size() && line[name.size()] == ':') {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i)
                same = same && lower(line[i]) == lower(name[i]);
            if (same) {
                std::string_view value = line.substr(name.size() + 1);
                while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                    value.remove_prefix(1);
                while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                    value.remove_suffix(1);
                return std::string(value);
            }
        }
        start = end;
    }
    return std::nullopt;
}

struct Request
{
    std::string bytes; // exactly as received
    std::size_t headSize = 0;
};

std::optional<Request> readRequest(Connection &connection)
{
    Request request;
    const auto until = std::chrono::steady_clock::now() + MaxRequestTime;
    std::array<char, 16 * 1024> buffer{};
    std::optional<std::size_t> total;
    while (!total || request.bytes.size() < *total) {
        if (std::chrono::steady_clock::now() > until)
            return std::nullopt;
        const long received = connection.readSome(buffer.data(), buffer.size());
        if (received <= 0)
            return std::nullopt;
        request.bytes.append(buffer.data(), std::size_t(received));
        if (total)
            continue;
        const std::size_t headEnd = request.bytes.find("\r\n\r\n");
        if (headEnd == std::string::npos) {
            if (request.bytes.size() > MaxRequestHead)
                return std::nullopt;
            continue;
        }
        request.headSize = headEnd + 4;
        std::size_t length = 0;
        if (const std::optional<std::string> value =
                    headerValue(std::string_view(request.bytes).substr(0, headEnd + 2), "Content-Length")) {
            if (value->empty() || value->size() > 9 || value->find_first_not_of("0123456789") != std::string::npos)
                return std::nullopt;
            length = std::stoul(*value);
            if (length > MaxRequestBody)
                return std::nullopt;
        }
        total = request.headSize + length;
    }
    return request;
}

// The form fields of a multipart body: name to value, and the file part's file name.
struct Form
{
    std::map<std::string, std::string> fields;
    std::optional<std::string> fileName;
};

std::string quotedParameter(std::string_view headers, std::string_view parameter)
{
    const std::string key = std::string(parameter) + "=\"";
    const std::size_t start = headers.find(key);
    if (start == std::string_view::npos)
        return {};
    const std::size_t valueStart = start + key.size();
    const std::size_t end = headers.find("\"\r\n", valueStart);
    const std::size_t semicolon = headers.find("\"; ", valueStart);
    const std::size_t stop = std::min(end, semicolon);
    return stop == std::string_view::npos ? std::string() : std::string(headers.substr(valueStart, stop - valueStart));
}

Form parseForm(const Request &request)
{
    Form form;
    const std::string_view head = std::string_view(request.bytes).substr(0, request.headSize);
    const std::optional<std::string> type = headerValue(head, "Content-Type");
    if (!type)
        return form;
    const std::size_t at = type->find("boundary=");
    if (at == std::string::npos)
        return form;
    const std::string delimiter = "--" + type->substr(at + 9);
    const std::string_view body = std::string_view(request.bytes).substr(request.headSize);
    std::size_t position = body.find(delimiter);
    while (position != std::string_view::npos) {
        const std::size_t partStart = position + delimiter.size() + 2;
        if (partStart > body.size() || body.substr(position + delimiter.size(), 2) != "\r\n")
            break;
        const std::size_t headersEnd = body.find("\r\n\r\n", partStart);
        if (headersEnd == std::string_view::npos)
            break;
        const std::size_t next = body.find("\r\n" + delimiter, headersEnd + 4);
        if (next == std::string_view::npos)
            break;
        const std::string_view headers = body.substr(partStart, headersEnd + 2 - partStart);
        const std::string_view value = body.substr(headersEnd + 4, next - headersEnd - 4);
        const std::string name = quotedParameter(headers, "name");
        if (headers.find("filename=\"") != std::string_view::npos)
            form.fileName = quotedParameter(headers, "filename");
        else
            form.fields[name] = std::string(value);
        position = next + 2;
    }
    return form;
}

std::string reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 401:
        return "Unauthorized";
    case 409:
        return "Conflict";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

class Server
{
public:
    Server(Options options, SSL_CTX *context)
        : options_(std::move(options))
        , context_(context)
    { }

    void serve(int fd)
    {
        timeval timeout{std::chrono::duration_cast<std::chrono::seconds>(SocketTimeout).count(), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

        if (options_.plainTcp) {
            Connection connection(fd, nullptr);
            std::array<char, 16 * 1024> buffer{};
            if (connection.readSome(buffer.data(), buffer.size()) <= 0)
                return;
            if (options_.noAnswer)
                connection.holdUntilClosed();
            else
                connection.writeAll("HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
            return;
        }

        SSL *ssl = SSL_new(context_);
        if (!ssl) {
            ::close(fd);
            return;
        }
        SSL_set_fd(ssl, fd);
        Connection connection(fd, ssl);
        if (SSL_accept(ssl) != 1)
            return;
        const std::optional<Request> request = readRequest(connection);
        if (!request)
            return;

        const Form form = parseForm(*request);
        const int status = decideStatus(form);
        record(*request, form, status);
        if (options_.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
        answer(connection, status);
    }

private:
    int decideStatus(const Form &form)
    {
        auto field = [&form](const char *name) {
            const auto found = form.fields.find(name);
            return found == form.fields.end() ? std::optional<std::string>() : found->second;
        };
        if (options_.expectCompany
            && (field("idkod") != options_.expectCompany || field("jmeno") != options_.expectUser
                || field("heslo") != options_.expectPassword))
            return 401;
        std::lock_guard lock(mutex_);
        if (options_.duplicates409 && form.fileName && taken_.count(*form.fileName))
            return 409;
        if (options_.duplicates409 && form.fileName && options_.status == 200)
            taken_.insert(*form.fileName);
        return options_.status;
    }

    void record(const Request &request, const Form &form, int status)
    {
        int number = 0;
        {
            std::lock_guard lock(mutex_);
            number = ++recorded_;
        }
        std::string saved;
        if (!options_.recordDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "request-%04d.bin", number);
            saved = options_.recordDir + "/" + name;
            if (!writeFileAtomically(saved, request.bytes))
                printError("cannot write " + saved);
        }
        std::string file = form.fileName.value_or("-");
        for (char &c : file) {
            if (std::uint8_t(c) < 0x20 || c == 0x7F)
                c = '?';
        }
        printLine("request " + std::to_string(number) + " bytes=" + std::to_string(request.bytes.size())
                  + " status=" + std::to_string(status) + " file=" + file);
    }

    void answer(Connection &connection, int status)
    {
        if (options_.noAnswer) {
            connection.holdUntilClosed();
            return;
        }
        const std::string statusLine = options_.junkStatus
                ? std::string("JUNK/1.1 ") + std::to_string(status) + " nonsense\r\n"
                : "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
        std::string head = statusLine + "Server: korvan-fleetd\r\nContent-Type: text/plain\r\nConnection: close\r\n";
        if (status >= 300 && status < 400)
            head += "Location: https://127.0.0.1/elsewhere\r\n";

        if (options_.resetMidAnswer) {
            connection.writeAll(statusLine + "Server: korvan-fl");
            std::this_thread::sleep_for(50ms);
            connection.resetAbruptly();
            return;
        }
        if (options_.endlessHeaders) {
            if (!connection.writeAll(head))
                return;
            const std::string filler = ": " + std::string(64, 'x') + "\r\n";
            for (unsigned long line = 0; connection.writeAll("X-Filler-" + std::to_string(line) + filler); ++line) { }
            return;
        }
        if (options_.endlessBody) {
            if (!connection.writeAll(head + "\r\n"))
                return;
            const std::string block(4096, 'z');
            while (connection.writeAll(block))
                std::this_thread::sleep_for(1ms);
            return;
        }

        const std::string body = status == 200 ? "stored\n" : "refused\n";
        std::string message;
        if (options_.badChunked)
            message = head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + body + "\r\n0\r\n\r\n";
        else if (options_.chunked)
            message = head + "Transfer-Encoding: chunked\r\n\r\n" + "3;note=x\r\n" + body.substr(0, 3) + "\r\n"
                    + hex(body.size() - 3) + "\r\n" + body.substr(3) + "\r\n0\r\nX-Trailer: end\r\n\r\n";
        else
            message = head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;

        if (options_.dripMs > 0) {
            for (char c : message) {
                if (!connection.writeAll(std::string_view(&c, 1)))
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(options_.dripMs));
            }
            return;
        }
        connection.writeAll(message);
    }

    static std::string hex(std::size_t value)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%zx", value);
        return text;
    }

    const Options options_;
    SSL_CTX *context_;
    std::mutex mutex_;
    int recorded_ = 0;
    std::set<std::string> taken_;
};

int listenOn(const std::string &address, int &port)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        return -1;
    std::string host = address.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string service = address.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return -1;
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
            && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    ::freeaddrinfo(found);
    if (!ok) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    // A client that goes away while we write must end that connection only.
    std::signal(SIGPIPE, SIG_IGN);

    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        std::fputs(Usage, stderr);
        return 2;
    }
    try {
        const fleetd::Identity authority = fleetd::makeAuthority("korvan test CA");
        const fleetd::Identity stranger = fleetd::makeAuthority("korvan untrusted CA");
        const fleetd::Identity server = fleetd::makeServerIdentity(options->untrusted ? stranger : authority);

        if (!options->caOut.empty()
            && !writeFileAtomically(options->caOut, fleetd::certificatePem(authority.cert.get()))) {
            printError("cannot write " + options->caOut);
            return 1;
        }
        if (!options->recordDir.empty())
            ::mkdir(options->recordDir.c_str(), 0700);

        SSL_CTX *context = SSL_CTX_new(TLS_server_method());
        if (!context || SSL_CTX_use_certificate(context, server.cert.get()) != 1
            || SSL_CTX_use_PrivateKey(context, server.key.get()) != 1) {
            printError("TLS setup failed");
            return 1;
        }

        int port = 0;
        const int listener = listenOn(options->listen, port);
        if (listener < 0) {
            printError("cannot listen on " + options->listen + ": " + std::strerror(errno));
            return 1;
        }
        printLine("port " + std::to_string(port));

        static Server instance(*options, context);
        static std::atomic<int> active{0};
        while (true) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EINTR && errno != ECONNABORTED && errno != EMFILE && errno != ENFILE)
                    printError(std::string("accept: ") + std::strerror(errno));
                if (errno == EMFILE || errno == ENFILE)
                    std::this_thread::sleep_for(100ms);
                continue;
            }
            if (active.fetch_add(1) >= MaxConnections) {
                active.fetch_sub(1);
                ::close(fd);
                continue;
            }
            std::thread([fd] {
                try {
                    instance.serve(fd);
                } catch (const std::exception &error) {
                    printError(std::string("connection: ") + error.what());
                } catch (...) {
                    printError("connection: unknown failure");
                }
                active.fetch_sub(1);
            }).detach();
        }
    } catch (const std::exception &error) {
        printError(error.what());
        return 1;
    }
}
