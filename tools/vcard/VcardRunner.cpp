#include "tools/vcard/VcardRunner.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace vcard {
namespace {

using Clock = std::chrono::steady_clock;

// While "inserted" but without a reader (no pcscd, or it was restarted), try again this often.
constexpr std::chrono::milliseconds RetryInterval{100};

std::string hex(const std::uint8_t *bytes, std::size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string hex(const Bytes &bytes)
{
    return hex(bytes.data(), bytes.size());
}

// The reader driver writes a frame's length and payload separately: without these the card's
// answer waits for the delayed ACK (about 40 ms a command). Linux clears TCP_QUICKACK again on its
// own, so it is set after every read.
void armQuickAck(int socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

} // namespace

std::chrono::microseconds exchangeDelay(std::size_t commandBytes, std::size_t responseBytes, unsigned baud,
                                        unsigned delayMs)
{
    std::chrono::microseconds delay = std::chrono::milliseconds(delayMs);
    if (baud > 0) {
        const auto bits = static_cast<std::uint64_t>(commandBytes + responseBytes) * 12;
        delay += std::chrono::microseconds(bits * 1000000 / baud);
    }
    return delay;
}

VcardRunner::VcardRunner(const VcardConfig &config, SimulatedCard &card, std::FILE *log)
    : m_config(config)
    , m_card(card)
    , m_log(log)
    , m_inserted(!config.startRemoved)
    , m_removeAfterArmed(config.removeAfter.has_value())
    , m_nextAttempt(Clock::now())
{ }

VcardRunner::~VcardRunner()
{
    closeReader();
}

void VcardRunner::report(const char *state)
{
    std::fputs(state, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    logLine(std::string("# ") + state);
}

void VcardRunner::logLine(const std::string &line)
{
    if (!m_log)
        return;
    std::fputs(line.c_str(), m_log);
    std::fputc('\n', m_log);
    std::fflush(m_log);
}

bool VcardRunner::connectReader()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    const std::string port = std::to_string(m_config.port);
    if (getaddrinfo(m_config.host.c_str(), port.c_str(), &hints, &addresses) != 0)
        return false;
    for (addrinfo *address = addresses; address && m_socket < 0; address = address->ai_next) {
        const int candidate = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (candidate < 0)
            continue;
        // A host that drops the connection attempt must not stall the stdin commands for long.
        const timeval timeout{1, 0};
        setsockopt(candidate, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (connect(candidate, address->ai_addr, address->ai_addrlen) == 0) {
            const int on = 1;
            setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            armQuickAck(candidate);
            m_socket = candidate;
        } else {
            close(candidate);
        }
    }
    freeaddrinfo(addresses);
    if (m_socket < 0)
        return false;
    m_received.clear();
    m_card.reset();
    report("inserted");
    return true;
}

void VcardRunner::closeReader()
{
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    m_received.clear();
}

void VcardRunner::cardRemoved()
{
    closeReader();
    m_inserted = false;
    m_card.reset();
    report("removed");
}

void VcardRunner::readerLost()
{
    closeReader();
    m_card.reset();
    m_nextAttempt = Clock::now() + RetryInterval;
    report("lost");
}

int VcardRunner::run()
{
    if (!m_inserted)
        report("removed");
    while (!m_quit) {
        if (m_inserted && m_socket < 0 && Clock::now() >= m_nextAttempt) {
            if (!connectReader())
                m_nextAttempt = Clock::now() + RetryInterval;
        }

        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        int stdinIndex = -1;
        int socketIndex = -1;
        if (m_stdinOpen) {
            fds[count] = {STDIN_FILENO, POLLIN, 0};
            stdinIndex = static_cast<int>(count++);
        }
        if (m_socket >= 0) {
            fds[count] = {m_socket, POLLIN, 0};
            socketIndex = static_cast<int>(count++);
        }
        int timeout = -1;
        if (m_inserted && m_socket < 0) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_nextAttempt - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
        }
        if (count == 0 && timeout < 0) {
            // Removed, and nobody can ever insert the card again: nothing left to do.
            return 0;
        }
        const int ready = poll(fds.data(), count, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "korvan-vcard: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (socketIndex >= 0 && fds[static_cast<std::size_t>(socketIndex)].revents != 0) {
            if (!handleReader() && m_socket >= 0)
                readerLost();
        }
        if (stdinIndex >= 0 && fds[static_cast<std::size_t>(stdinIndex)].revents != 0)
            handleStdin();
    }
    return 0;
}

void VcardRunner::handleStdin()
{
    std::array<char, 1024> buffer{};
    const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        // The controller went away: the card stays as it is until a signal ends the tool.
        m_stdinOpen = false;
        return;
    }
    m_stdinText.append(buffer.data(), static_cast<std::size_t>(got));
    for (auto end = m_stdinText.find('\n'); end != std::string::npos && !m_quit; end = m_stdinText.find('\n')) {
        const std::string line = trimmed(m_stdinText.substr(0, end));
        m_stdinText.erase(0, end + 1);
        handleCommandLine(line);
    }
    if (m_stdinText.size() > 4096)
        m_stdinText.clear(); // no command is that long
}

void VcardRunner::handleCommandLine(const std::string &line)
{
    if (line.empty())
        return;
    if (line == "insert") {
        if (m_inserted && m_socket >= 0) {
            report("inserted");
            return;
        }
        m_inserted = true;
        m_nextAttempt = Clock::now();
        if (!connectReader())
            m_nextAttempt = Clock::now() + RetryInterval;
    } else if (line == "remove") {
        cardRemoved();
    } else if (line == "quit") {
        m_quit = true;
    } else {
        std::fprintf(stderr, "korvan-vcard: unknown command \"%s\" (insert, remove, quit)\n", line.c_str());
    }
}

bool VcardRunner::handleReader()
{
    std::array<std::uint8_t, 4096> buffer{};
    const ssize_t got = recv(m_socket, buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (got <= 0)
        return false;
    armQuickAck(m_socket);
    m_received.insert(m_received.end(), buffer.begin(), buffer.begin() + got);

    while (m_socket >= 0 && m_received.size() >= 2) {
        const std::size_t length = static_cast<std::size_t>(m_received[0] << 8 | m_received[1]);
        if (m_received.size() < 2 + length)
            break;
        const Bytes payload(m_received.begin() + 2, m_received.begin() + 2 + static_cast<std::ptrdiff_t>(length));
        m_received.erase(m_received.begin(), m_received.begin() + 2 + static_cast<std::ptrdiff_t>(length));
        if (!handleFrame(payload))
            return false;
    }
    return true;
}

bool VcardRunner::handleFrame(const Bytes &payload)
{
    if (payload.empty())
        return true;
    if (payload.size() == 1) {
        switch (payload[0]) {
        case 0:
            m_card.reset();
            logLine("* power off");
            return true;
        case 1:
            m_card.reset();
            logLine("* power on");
            return true;
        case 2:
            m_card.reset();
            logLine("* reset");
            return true;
        case 4:
            // Asked on every presence poll, so not logged.
            return sendFrame(Bytes(SimulatedCard::Atr.begin(), SimulatedCard::Atr.end()));
        default:
            logLine("* control " + hex(payload));
            return true;
        }
    }

    logLine("> " + hex(payload));
    const Bytes response = m_card.transmit(payload);
    if (const auto update = m_card.takeUpdate()) {
        logLine(std::string("* update ") + (update->secondGeneration ? "G2 " : "G1 ")
                + DddFile::fileIdText(update->fileId) + " " + hex(update->content));
    }
    const auto delay = exchangeDelay(payload.size(), response.size(), m_config.baud, m_config.delayMs);
    if (delay.count() > 0)
        std::this_thread::sleep_for(delay);
    if (!sendFrame(response))
        return false;
    logLine("< " + hex(response));
    ++m_answered;
    if (m_removeAfterArmed && m_answered >= *m_config.removeAfter) {
        // Once: a test that pulls the card mid-download can insert it again for a clean retry.
        m_removeAfterArmed = false;
        cardRemoved();
    }
    return true;
}

bool VcardRunner::sendFrame(const Bytes &payload)
{
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(m_socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace vcard
