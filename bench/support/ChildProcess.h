#pragma once

// A program started as a child process for measuring: its own environment, its standard output
// read line by line, its end reaped with the resources it used. The child gets SIGTERM when the
// benchmark dies, and is killed by PID when the object goes.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class ChildProcess
{
public:
    using Clock = std::chrono::steady_clock;
    using Environment = std::vector<std::pair<std::string, std::string>>;

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Runs path with the arguments; the variables in environment replace or add to the
    // benchmark's own. Standard error goes to errorPath when given, else to /dev/null.
    bool start(const std::string &path, const std::vector<std::string> &arguments, const Environment &environment,
               const std::string &errorPath = {});

    // The next line of the child's standard output, without its newline. False at the deadline or
    // at the end of the output.
    bool readLine(std::string &line, std::chrono::milliseconds timeout);

    // Waits for the end (SIGKILL at the deadline); true when the child ended by itself.
    bool wait(std::chrono::milliseconds timeout);
    // SIGTERM, SIGKILL after the grace period; reaps the child.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(5));

    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0; }
    // Taken just before the fork: the start of "exec to ...".
    Clock::time_point startTime() const { return m_started; }
    int exitStatus() const { return m_status; } // as waitpid gives it
    bool exitedCleanly() const;
    long peakResidentKb() const { return m_peakResidentKb; } // ru_maxrss of the reaped child
    const std::string &error() const { return m_error; }

private:
    bool reap(bool block);

    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_pending;
    Clock::time_point m_started;
    int m_status = -1;
    long m_peakResidentKb = 0;
    std::string m_error;
};

// Nanoseconds of CLOCK_MONOTONIC, the clock steady_clock reads: comparable between processes.
long long monotonicNanoseconds();
