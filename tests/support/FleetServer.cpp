#include "support/FleetServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifndef KORVAN_FLEETD_PATH
#error "KORVAN_FLEETD_PATH must be defined by the build"
#endif

extern char **environ;

namespace {

constexpr auto StartTimeout = std::chrono::seconds(20);

} // namespace

FleetServer::FleetServer(std::vector<std::string> options)
{
    std::array<char, 64> pattern{};
    const std::string_view templateName = "/tmp/korvan-fleetd-XXXXXX";
    std::copy(templateName.begin(), templateName.end(), pattern.begin());
    if (!::mkdtemp(pattern.data())) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    directory_ = pattern.data();

    std::vector<std::string> arguments{KORVAN_FLEETD_PATH, "--ca-out", caFile(), "--record-dir",
                                       directory_ + "/requests"};
    if (std::find(options.begin(), options.end(), "--listen") == options.end()) {
        arguments.emplace_back("--listen");
        arguments.emplace_back("127.0.0.1:0");
    }
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    output_ = pipeEnds[0];
    if (spawned != 0) {
        pid_ = -1;
        error_ = std::string("cannot start korvan-fleetd: ") + std::strerror(spawned);
        return;
    }

    // Wait for "port N"; the rest of the output is read by a thread so the server never blocks
    // on a full pipe.
    const auto until = std::chrono::steady_clock::now() + StartTimeout;
    std::array<char, 512> buffer{};
    while (port_ == 0) {
        const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd entry{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, int(left.count())) <= 0) {
            error_ = "korvan-fleetd did not report its port";
            return;
        }
        const ssize_t received = ::read(output_, buffer.data(), buffer.size());
        if (received <= 0) {
            error_ = "korvan-fleetd ended before listening";
            return;
        }
        pending_.append(buffer.data(), std::size_t(received));
        const std::size_t end = pending_.find('\n');
        if (end == std::string::npos)
            continue;
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.rfind("port ", 0) != 0) {
            error_ = "unexpected first line from korvan-fleetd: " + line;
            return;
        }
        port_ = std::uint16_t(std::stoul(line.substr(5)));
    }
    reader_ = std::thread([this] { readOutput(); });
}

FleetServer::~FleetServer()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    }
    if (reader_.joinable())
        reader_.join();
    if (output_ >= 0)
        ::close(output_);
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

void FleetServer::readOutput()
{
    std::array<char, 512> buffer{};
    while (true) {
        const ssize_t received = ::read(output_, buffer.data(), buffer.size());
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return;
        std::lock_guard lock(mutex_);
        pending_.append(buffer.data(), std::size_t(received));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            lines_.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
    }
}

std::string FleetServer::url(const std::string &host) const
{
    return "https://" + host + ":" + std::to_string(port_) + "/vorkany.php";
}

std::vector<std::string> FleetServer::recordedRequests() const
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(directory_ + "/requests", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("request-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> requests;
    for (const auto &file : files) {
        std::ifstream stream(file, std::ios::binary);
        requests.emplace_back(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    }
    return requests;
}

std::vector<std::string> FleetServer::summaryLines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::uint16_t UnusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}
