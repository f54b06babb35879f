#pragma once

// Our own pcscd for end-to-end tests: virtual readers on TCP ports, started and stopped by PID.
// Only one pcscd can run on a machine, so the harness takes the exclusive lock
// /tmp/korvan-pcscd.lock (waiting for it) before its first start and holds it until destruction,
// also while the daemon is stopped for a test, and refuses to start while a daemon it does not
// own answers on the pcscd socket.

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct VirtualReaderDefinition
{
    std::string name; // FRIENDLYNAME
    std::uint16_t port; // gives two readers: "name 00 00" on port and "name 00 01" on port + 1
};

class PcscdHarness
{
public:
    explicit PcscdHarness(std::vector<VirtualReaderDefinition> readers = {});
    ~PcscdHarness();
    PcscdHarness(const PcscdHarness &) = delete;
    PcscdHarness &operator=(const PcscdHarness &) = delete;

    // Starts the daemon and waits until it lists every expected reader. False with error() set
    // when the lock, the socket, the daemon or the wait fails.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // SIGTERM by PID, SIGKILL after the grace period; the lock stays held.
    bool stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    bool restart() { return stop() && start(); }

    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    const std::string &error() const { return m_error; }
    const std::string &configDir() const { return m_dir; }
    std::string daemonOutput() const; // what pcscd printed, for failure messages

    // Waits until the resource manager sees a card in the reader (or none, with present false).
    // pcscd notices an inserted or pulled card only at its next poll of the reader.
    bool waitForCard(const std::string &reader, bool present,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // The PC/SC names of the readers, two per definition.
    std::vector<std::string> readerNames() const;
    static std::string readerName(const VirtualReaderDefinition &reader, int slot);

    static constexpr const char *LockPath = "/tmp/korvan-pcscd.lock";
    static constexpr const char *SocketPath = "/run/pcscd/pcscd.comm";

private:
    bool takeLock();
    bool socketFree();
    bool writeConfig();
    bool waitUntilAnswering(std::chrono::milliseconds timeout);
    bool fail(std::string text);

    std::vector<VirtualReaderDefinition> m_readers;
    std::string m_dir;
    std::string m_error;
    int m_lockFd = -1;
    pid_t m_pid = -1;
};
