#pragma once

// Starts the local fleet server (korvan-fleetd) as a child process for one test, with its own
// test CA, its own folder of recorded requests and a free port; stops it by its PID.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

class FleetServer
{
public:
    // options are korvan-fleetd options (e.g. "--status", "401"); --ca-out and --record-dir are
    // added, and --listen 127.0.0.1:0 unless options give one.
    explicit FleetServer(std::vector<std::string> options = {});
    ~FleetServer();
    FleetServer(const FleetServer &) = delete;
    FleetServer &operator=(const FleetServer &) = delete;

    // True once the server listens; error() says why not.
    bool running() const { return port_ != 0; }
    const std::string &error() const { return error_; }
    std::uint16_t port() const { return port_; }
    // PEM file of the server's test CA (point SSL_CERT_FILE there).
    std::string caFile() const { return directory_ + "/ca.pem"; }
    // https://host:port/vorkany.php
    std::string url(const std::string &host = "127.0.0.1") const;

    // The recorded requests in the order received, each exactly as its bytes arrived.
    std::vector<std::string> recordedRequests() const;
    // The server's "request ..." lines so far.
    std::vector<std::string> summaryLines() const;

private:
    void readOutput();

    std::string directory_;
    pid_t pid_ = -1;
    int output_ = -1;
    std::uint16_t port_ = 0;
    std::string error_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string pending_;
};

// A loopback port where nothing listens (taken and released at once).
std::uint16_t UnusedLoopbackPort();
