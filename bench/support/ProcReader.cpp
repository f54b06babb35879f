#include "support/ProcReader.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string readFirstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// utime + stime from a stat line: the fields after the command name, which may hold spaces and
// parentheses, so counting starts after its last ')'.
std::uint64_t cpuTicksOfStatLine(const std::string &line)
{
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    // state is field 3 of the line; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15)
            stime = std::stoull(field);
    }
    return utime + stime;
}

std::uint64_t statusValue(const std::string &path, const std::string &name)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0)
            return std::stoull(line.substr(name.size() + 1));
    }
    return 0;
}

} // namespace

std::vector<ThreadReading> readThreads(pid_t pid)
{
    std::vector<ThreadReading> threads;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(base, error)) {
        const std::string task = entry.path().string();
        ThreadReading reading;
        try {
            reading.tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
            reading.name = readFirstLine(task + "/comm");
            std::istringstream schedstat(readFirstLine(task + "/schedstat"));
            schedstat >> reading.cpuNanoseconds;
            reading.cpuTicks = cpuTicksOfStatLine(readFirstLine(task + "/stat"));
            reading.voluntarySwitches = statusValue(task + "/status", "voluntary_ctxt_switches");
            reading.involuntarySwitches = statusValue(task + "/status", "nonvoluntary_ctxt_switches");
        } catch (const std::exception &) {
            continue; // the thread ended while it was read
        }
        threads.push_back(reading);
    }
    return threads;
}

std::uint64_t readProcessCpuTicks(pid_t pid)
{
    try {
        return cpuTicksOfStatLine(readFirstLine("/proc/" + std::to_string(pid) + "/stat"));
    } catch (const std::exception &) {
        return 0;
    }
}

long clockTicksPerSecond()
{
    return sysconf(_SC_CLK_TCK);
}

long readStatusKb(pid_t pid, const std::string &name)
{
    try {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(name + ":", 0) == 0)
                return std::stol(line.substr(name.size() + 1));
        }
    } catch (const std::exception &) { }
    return -1;
}

std::map<std::string, long> readResidentByMapping(pid_t pid)
{
    std::map<std::string, long> resident;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string mapping = "[anon]";
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (first.empty())
            continue;
        if (first.back() != ':') {
            // A mapping's header: range, permissions, offset, device, inode, then the path if any.
            std::string ignored;
            for (int i = 0; i < 4; ++i)
                fields >> ignored;
            std::string path;
            std::getline(fields >> std::ws, path);
            mapping = path.empty() ? "[anon]" : path;
        } else if (first == "Rss:") {
            long kb = 0;
            fields >> kb;
            resident[mapping] += kb;
        }
    }
    return resident;
}
