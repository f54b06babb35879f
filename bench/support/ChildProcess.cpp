#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

extern char **environ;

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

ChildProcess::~ChildProcess()
{
    if (running())
        terminate(std::chrono::seconds(2));
    if (m_stdout >= 0)
        close(m_stdout);
}

bool ChildProcess::start(const std::string &path, const std::vector<std::string> &arguments,
                         const Environment &environment, const std::string &errorPath)
{
    // Everything the child needs is built before the fork: only async-signal-safe calls after it.
    std::map<std::string, std::string> variables;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto &[name, value] : environment)
        variables[name] = value;
    std::vector<std::string> environmentTexts;
    for (const auto &[name, value] : variables)
        environmentTexts.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (auto &text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> argumentTexts{path};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    const std::string errorTarget = errorPath.empty() ? std::string("/dev/null") : errorPath;

    int output[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t parent = getpid();
    m_started = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        close(output[0]);
        close(output[1]);
        return false;
    }
    if (pid == 0) {
        const int errors = open(errorTarget.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int input = open("/dev/null", O_RDONLY);
        if (errors < 0 || input < 0)
            _exit(126);
        dup2(input, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(errors, STDERR_FILENO);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(125);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(output[1]);
    m_stdout = output[0];
    m_pid = pid;
    m_status = -1;
    m_peakResidentKb = 0;
    m_pending.clear();
    return true;
}

bool ChildProcess::readLine(std::string &line, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = m_pending.find('\n');
        if (newline != std::string::npos) {
            line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return true;
        }
        if (m_stdout < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd descriptor{m_stdout, POLLIN, 0};
        const int ready = poll(&descriptor, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        const ssize_t count = read(m_stdout, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            close(m_stdout);
            m_stdout = -1;
            continue;
        }
        m_pending.append(buffer, static_cast<std::size_t>(count));
    }
}

bool ChildProcess::reap(bool block)
{
    int status = 0;
    rusage usage{};
    pid_t result = -1;
    do {
        result = wait4(m_pid, &status, block ? 0 : WNOHANG, &usage);
    } while (result < 0 && errno == EINTR);
    if (result != m_pid)
        return false;
    m_status = status;
    m_peakResidentKb = usage.ru_maxrss;
    m_pid = -1;
    return true;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (!running())
        return true;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (reap(false))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(m_pid, SIGKILL);
    reap(true);
    m_error = "did not end in time";
    return false;
}

void ChildProcess::terminate(std::chrono::milliseconds grace)
{
    if (!running())
        return;
    kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (Clock::now() < deadline) {
        if (reap(false))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(m_pid, SIGKILL);
    reap(true);
}

bool ChildProcess::exitedCleanly() const
{
    return m_status >= 0 && WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0;
}
