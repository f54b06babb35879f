#include "support/PcscdHarness.h"

#include <PCSC/winscard.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *DriverPath = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr const char *PcscdPath = "/usr/sbin/pcscd";

std::string errnoText()
{
    return std::strerror(errno);
}

// Whether the process is gone; reaps it when it is.
bool exited(pid_t pid, int *status = nullptr)
{
    int local = 0;
    const pid_t result = waitpid(pid, status ? status : &local, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
}

std::string exitText(int status)
{
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// The names in a PC/SC multi-string reader list.
std::vector<std::string> listReaders(SCARDCONTEXT context)
{
    DWORD length = 0;
    if (SCardListReaders(context, nullptr, nullptr, &length) != SCARD_S_SUCCESS || length == 0)
        return {};
    std::string list(length, '\0');
    if (SCardListReaders(context, nullptr, list.data(), &length) != SCARD_S_SUCCESS)
        return {};
    list.resize(std::min<std::size_t>(length, list.size()));
    std::vector<std::string> names;
    std::size_t position = 0;
    while (position < list.size() && list[position] != '\0') {
        const auto end = list.find('\0', position);
        names.push_back(list.substr(position, end - position));
        if (end == std::string::npos)
            break;
        position = end + 1;
    }
    return names;
}

} // namespace

PcscdHarness::PcscdHarness(std::vector<VirtualReaderDefinition> readers)
    : m_readers(std::move(readers))
{ }

PcscdHarness::~PcscdHarness()
{
    stop();
    if (m_lockFd >= 0)
        close(m_lockFd);
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

std::string PcscdHarness::readerName(const VirtualReaderDefinition &reader, int slot)
{
    return reader.name + " 00 0" + std::to_string(slot);
}

std::vector<std::string> PcscdHarness::readerNames() const
{
    std::vector<std::string> names;
    for (const auto &reader : m_readers) {
        names.push_back(readerName(reader, 0));
        names.push_back(readerName(reader, 1));
    }
    return names;
}

bool PcscdHarness::fail(std::string text)
{
    m_error = std::move(text);
    return false;
}

std::string PcscdHarness::daemonOutput() const
{
    if (m_dir.empty())
        return {};
    std::ifstream in(m_dir + "/pcscd.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool PcscdHarness::takeLock()
{
    if (m_lockFd >= 0)
        return true;
    // Close-on-exec: the daemon must not inherit the lock and keep it after we let go.
    const int fd = open(LockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(std::string("cannot open the lock file ") + LockPath + ": " + errnoText());
    fchmod(fd, 0666); // other users' test runs wait on the same lock
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const std::string text = errnoText();
            close(fd);
            return fail(std::string("cannot lock ") + LockPath + ": " + text);
        }
    }
    m_lockFd = fd;
    return true;
}

bool PcscdHarness::socketFree()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("cannot make a socket: " + errnoText());
    const int result = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int error = errno;
    close(fd);
    if (result == 0) {
        return fail(std::string("another pcscd answers on ") + SocketPath
                    + " (a system daemon, or systemd's pcscd.socket: stop both with "
                      "\"systemctl stop pcscd.socket pcscd\"); end-to-end tests need their own daemon");
    }
    if (error == ENOENT)
        return true;
    if (error == ECONNREFUSED) {
        // Left by a daemon that was killed; with the lock held, no one else can be starting one.
        if (unlink(SocketPath) != 0 && errno != ENOENT)
            return fail(std::string("cannot remove the stale socket ") + SocketPath + ": " + errnoText());
        return true;
    }
    return fail(std::string("cannot check ") + SocketPath + ": " + std::strerror(error));
}

bool PcscdHarness::writeConfig()
{
    if (!m_dir.empty())
        return true;
    std::array<char, 64> pattern{};
    std::strncpy(pattern.data(), "/tmp/korvan-pcscd-XXXXXX", pattern.size() - 1);
    if (!mkdtemp(pattern.data()))
        return fail("cannot make a temporary directory: " + errnoText());
    m_dir = pattern.data();
    // pcscd reads every file of its configuration directory: the log lives beside it, not in it.
    const std::string configDir = m_dir + "/reader.conf.d";
    std::error_code error;
    std::filesystem::create_directory(configDir, error);
    if (error)
        return fail("cannot make " + configDir + ": " + error.message());
    if (m_readers.empty())
        return true;
    std::ofstream out(configDir + "/korvan-virtual-readers");
    for (const auto &reader : m_readers) {
        out << "FRIENDLYNAME \"" << reader.name << "\"\n"
            << "DEVICENAME /dev/null:" << reader.port << "\n"
            << "LIBPATH " << DriverPath << "\n"
            << "CHANNELID " << reader.port << "\n\n";
    }
    out.close();
    if (!out)
        return fail("cannot write the reader configuration in " + configDir);
    return true;
}

bool PcscdHarness::start(std::chrono::milliseconds timeout)
{
    if (running())
        return true;
    m_error.clear();
    if (!takeLock() || !socketFree() || !writeConfig())
        return false;

    const std::string configDir = m_dir + "/reader.conf.d";
    const std::string logPath = m_dir + "/pcscd.log";
    std::vector<std::string> arguments{"pcscd", "--foreground", "--config", configDir};
    std::vector<char *> argv;
    for (auto &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0)
        return fail("cannot start pcscd: " + errnoText());
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (log < 0 || null < 0)
            _exit(126);
        dup2(null, STDIN_FILENO);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        // A test that crashes must not leave the daemon running and the socket taken.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(125);
        execv(PcscdPath, argv.data());
        execvp("pcscd", argv.data());
        _exit(127);
    }
    m_pid = pid;
    if (!waitUntilAnswering(timeout)) {
        const std::string reason = m_error;
        stop();
        m_error = reason;
        return false;
    }
    return true;
}

bool PcscdHarness::waitUntilAnswering(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    const auto expected = readerNames();
    std::vector<std::string> seen;
    for (;;) {
        int status = 0;
        if (exited(m_pid, &status)) {
            m_pid = -1;
            return fail("pcscd " + exitText(status) + " before it answered; its output:\n" + daemonOutput());
        }
        SCARDCONTEXT context = 0;
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) == SCARD_S_SUCCESS) {
            seen = listReaders(context);
            SCardReleaseContext(context);
            const bool all = std::all_of(expected.begin(), expected.end(), [&seen](const std::string &name) {
                return std::find(seen.begin(), seen.end(), name) != seen.end();
            });
            if (all)
                return true;
        }
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string listed;
    for (const auto &name : seen)
        listed += (listed.empty() ? "\"" : ", \"") + name + "\"";
    return fail("pcscd did not list the expected readers in time (it listed: " + (listed.empty() ? "none" : listed)
                + "); its output:\n" + daemonOutput());
}

bool PcscdHarness::waitForCard(const std::string &reader, bool present, std::chrono::milliseconds timeout) const
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    const auto deadline = Clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    bool reached = false;
    while (!reached && Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (SCardGetStatusChange(context, static_cast<DWORD>(std::max<long>(left.count(), 1)), &state, 1)
            != SCARD_S_SUCCESS)
            break;
        reached = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
        state.dwCurrentState = state.dwEventState;
    }
    SCardReleaseContext(context);
    return reached;
}

bool PcscdHarness::stop(std::chrono::milliseconds grace)
{
    if (!running())
        return true;
    kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + grace;
    bool gone = exited(m_pid);
    while (!gone && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        gone = exited(m_pid);
    }
    if (!gone) {
        kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
        // A killed daemon leaves its socket behind; the next start would take it for a live one.
        unlink(SocketPath);
    }
    m_pid = -1;
    return true;
}
