#include "support/VirtualCard.h"
#include "support/DddFile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string readText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::uint8_t> fromHex(const std::string &text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

std::string VirtualCard::defaultToolPath()
{
    if (const char *path = std::getenv("KORVAN_VCARD"))
        return path;
    return KORVAN_VCARD_PATH;
}

VirtualCard::VirtualCard(std::vector<std::string> arguments, std::string toolPath)
    : m_arguments(std::move(arguments))
    , m_toolPath(std::move(toolPath))
{ }

VirtualCard::~VirtualCard()
{
    kill();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

bool VirtualCard::fail(std::string text)
{
    m_error = std::move(text);
    const std::string output = errorOutput();
    if (!output.empty())
        m_error += "; korvan-vcard said: " + output;
    return false;
}

std::string VirtualCard::errorOutput() const
{
    return m_stderrPath.empty() ? std::string() : readText(m_stderrPath);
}

bool VirtualCard::start(Timeout timeout)
{
    if (m_pid > 0)
        return fail("already started");
    std::array<char, 64> pattern{};
    std::strncpy(pattern.data(), "/tmp/korvan-vcard-XXXXXX", pattern.size() - 1);
    if (!mkdtemp(pattern.data()))
        return fail(std::string("cannot make a temporary directory: ") + std::strerror(errno));
    m_dir = pattern.data();
    m_logPath = m_dir + "/commands.log";
    m_downloadPath = m_dir + "/expected.ddd";
    m_stderrPath = m_dir + "/stderr.txt";

    std::vector<std::string> arguments{m_toolPath};
    arguments.insert(arguments.end(), m_arguments.begin(), m_arguments.end());
    arguments.insert(arguments.end(), {"--log", m_logPath, "--write-ddd", m_downloadPath});
    if (std::find(m_arguments.begin(), m_arguments.end(), "--load") == m_arguments.end()) {
        m_keyPath = m_dir + "/card-key.pem";
        arguments.insert(arguments.end(), {"--write-key", m_keyPath});
    }
    std::vector<char *> argv;
    for (auto &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::array<int, 2> input{};
    std::array<int, 2> output{};
    if (pipe2(input.data(), O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    if (pipe2(output.data(), O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        for (const int fd : {input[0], input[1], output[0], output[1]})
            close(fd);
        return fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        const int errors = open(m_stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        if (errors >= 0)
            dup2(errors, STDERR_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(125);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    m_pid = pid;
    m_stdin = input[1];
    m_stdout = output[0];
    return waitFor("ready", timeout);
}

bool VirtualCard::send(const std::string &line)
{
    if (m_pid <= 0)
        return fail("korvan-vcard is not running");
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(m_stdin, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("cannot write to korvan-vcard: " + std::string(std::strerror(errno)));
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool VirtualCard::readLine(std::string &line, Clock::time_point deadline)
{
    for (;;) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fd{m_stdout, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        std::array<char, 512> buffer{};
        const ssize_t got = read(m_stdout, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false; // the tool ended
        m_pending.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

bool VirtualCard::waitFor(const std::string &report, Timeout timeout)
{
    if (m_pid <= 0)
        return fail("korvan-vcard is not running");
    const auto deadline = Clock::now() + timeout;
    std::string line;
    while (readLine(line, deadline)) {
        if (line == report)
            return true;
    }
    return fail("korvan-vcard did not report \"" + report + "\" in time");
}

bool VirtualCard::insert(Timeout timeout)
{
    return send("insert") && waitFor("inserted", timeout);
}

bool VirtualCard::remove(Timeout timeout)
{
    return send("remove") && waitFor("removed", timeout);
}

bool VirtualCard::quit(Timeout timeout)
{
    if (!send("quit"))
        return false;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        int status = 0;
        const pid_t result = waitpid(m_pid, &status, WNOHANG);
        if (result == m_pid || (result < 0 && errno == ECHILD)) {
            const bool clean = result == m_pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            m_pid = -1;
            kill(); // closes the pipes
            return clean || fail("korvan-vcard ended with an error");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fail("korvan-vcard did not end after \"quit\"");
}

void VirtualCard::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
    }
    for (int *fd : {&m_stdin, &m_stdout}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

std::vector<std::string> VirtualCard::logLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(readText(m_logPath));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<VirtualCard::Bytes> VirtualCard::commands() const
{
    std::vector<Bytes> result;
    for (const auto &line : logLines()) {
        if (line.starts_with("> "))
            result.push_back(fromHex(line.substr(2)));
    }
    return result;
}

std::optional<VirtualCard::Bytes> VirtualCard::updatedFile(std::uint16_t fileId, bool secondGeneration) const
{
    // "* update G1 050E <content>"
    const std::string prefix =
            std::string("* update ") + (secondGeneration ? "G2 " : "G1 ") + DddFile::fileIdText(fileId) + " ";
    std::optional<Bytes> last;
    for (const auto &line : logLines()) {
        if (line.starts_with(prefix))
            last = fromHex(line.substr(prefix.size()));
    }
    return last;
}

VirtualCard::Bytes VirtualCard::testRootCertificate()
{
    const std::string text = readText(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_ROOT_1.cvc");
    return Bytes(text.begin(), text.end());
}

std::string VirtualCard::publicKeyPem() const
{
    return m_keyPath.empty() ? std::string() : readText(m_keyPath);
}

VirtualCard::Bytes VirtualCard::expectedDownload() const
{
    const std::string text = readText(m_downloadPath);
    return Bytes(text.begin(), text.end());
}
