#pragma once

// Readings of another process from /proc: CPU time and context switches per thread, memory.

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct ThreadReading
{
    pid_t tid = 0;
    std::string name; // comm
    std::uint64_t cpuNanoseconds = 0; // schedstat: time on a CPU, exact to the nanosecond
    std::uint64_t cpuTicks = 0; // stat: utime + stime, in clock ticks
    std::uint64_t voluntarySwitches = 0; // the thread slept and woke again
    std::uint64_t involuntarySwitches = 0; // the thread was preempted
};

// Every thread of the process; empty when it is gone.
std::vector<ThreadReading> readThreads(pid_t pid);

// utime + stime of the whole process from /proc/PID/stat, in clock ticks.
std::uint64_t readProcessCpuTicks(pid_t pid);
long clockTicksPerSecond();

// Resident KiB per mapped file ("[heap]", "[anon]" and the like for the others), from /proc/PID/smaps.
std::map<std::string, long> readResidentByMapping(pid_t pid);

// A "Name:  value kB" line of /proc/PID/status (VmHWM, VmRSS); -1 when missing.
long readStatusKb(pid_t pid, const std::string &name);
