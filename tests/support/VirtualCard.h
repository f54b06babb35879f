#pragma once

// Drives korvan-vcard as a child process: inserts and removes the card through its standard
// input and waits for its reports, reads back the commands it received, and hands over its
// public key and the download file a correct run gives. The child is killed by PID when the
// controller goes, and dies with the test process if that crashes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class VirtualCard
{
public:
    using Bytes = std::vector<std::uint8_t>;
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout DefaultTimeout{10000};

    // arguments: korvan-vcard options; --log, --write-ddd and (without --load) --write-key are
    // added, into a temporary directory of the controller.
    explicit VirtualCard(std::vector<std::string> arguments, std::string toolPath = defaultToolPath());
    ~VirtualCard();
    VirtualCard(const VirtualCard &) = delete;
    VirtualCard &operator=(const VirtualCard &) = delete;

    // Starts the tool and waits for "ready"; the card then connects to its reader by itself
    // unless --removed was given (waitFor("inserted") to know it has).
    bool start(Timeout timeout = DefaultTimeout);
    bool insert(Timeout timeout = DefaultTimeout); // "insert", then waits for "inserted"
    bool remove(Timeout timeout = DefaultTimeout); // "remove", then waits for "removed"
    bool quit(Timeout timeout = DefaultTimeout); // "quit", then waits for the exit
    // Waits for a report line ("inserted", "removed", "lost") not yet consumed; earlier lines
    // are consumed on the way.
    bool waitFor(const std::string &report, Timeout timeout = DefaultTimeout);

    // The APDUs the card received, in order, from its log.
    std::vector<Bytes> commands() const;
    std::vector<std::string> logLines() const;
    // What the last UPDATE BINARY left in that EF (of the DF Tachograph_G2 when secondGeneration),
    // from the card's log; no value when it was never written.
    std::optional<Bytes> updatedFile(std::uint16_t fileId, bool secondGeneration) const;
    std::string publicKeyPem() const;
    // The test root every second-generation simulated card is signed under.
    static Bytes testRootCertificate();
    Bytes expectedDownload() const;
    const std::string &keyPath() const { return m_keyPath; }
    const std::string &downloadPath() const { return m_downloadPath; }

    pid_t pid() const { return m_pid; }
    const std::string &error() const { return m_error; }
    std::string errorOutput() const; // the tool's standard error

    static std::string defaultToolPath();

private:
    bool send(const std::string &line);
    bool readLine(std::string &line, std::chrono::steady_clock::time_point deadline);
    bool fail(std::string text);
    void kill();

    std::vector<std::string> m_arguments;
    std::string m_toolPath;
    std::string m_dir;
    std::string m_logPath;
    std::string m_keyPath;
    std::string m_downloadPath;
    std::string m_stderrPath;
    std::string m_error;
    std::string m_pending; // stdout bytes after the last complete line
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
};
