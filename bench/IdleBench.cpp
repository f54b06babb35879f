// The real korvan with its window open and no card: CPU time and wake-ups over a while.
#include "support/BenchOptions.h"
#include "support/ChildProcess.h"
#include "support/PcscdHarness.h"
#include "support/ProcReader.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

namespace {

constexpr std::uint16_t ReaderPort = 36610;

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options(
            "Starts the real korvan (offscreen) with our own pcscd, one virtual reader and no card, lets it\n"
            "settle, then measures its CPU time and context switches per thread from /proc.",
            {{"seconds", "N", "30", "length of the measurement"},
             {"settle", "N", "3", "seconds between the start and the measurement"},
             {"program", "COMMAND", "", "measure this command line (words split at spaces) instead of korvan"}});
    options.parse(argc, argv);
    const long seconds = options.integer("seconds");
    if (seconds <= 0) {
        std::fprintf(stderr, "--seconds must be positive\n");
        return 2;
    }

    TemporaryDirectory configuration("korvan-bench-config");
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    PcscdHarness pcscd({{"Korvan Bench", ReaderPort}});
    if (!pcscd.start()) {
        std::fprintf(stderr, "pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }

    std::vector<std::string> command;
    std::istringstream words(options.text("program").empty() ? std::string(KORVAN_PROGRAM_PATH)
                                                             : options.text("program"));
    for (std::string word; words >> word;)
        command.push_back(word);
    ChildProcess korvan;
    if (!korvan.start(command.front(), {command.begin() + 1, command.end()},
                      {{"QT_QPA_PLATFORM", platform != nullptr ? platform : "offscreen"},
                       {"XDG_CONFIG_HOME", configuration.path()},
                       {"XDG_DATA_HOME", configuration.path()}})) {
        std::fprintf(stderr, "korvan: %s\n", korvan.error().c_str());
        return 1;
    }
    const auto programStart = korvan.startTime();
    std::this_thread::sleep_for(std::chrono::seconds(options.integer("settle")));

    // Read every second: when a thread woke shows to the second, which tells a one-off from a timer.
    // Reading /proc does not wake the threads it reads.
    struct ThreadHistory
    {
        ThreadReading first;
        ThreadReading last;
        std::vector<double> wokenAt; // seconds after the program's start
        bool ended = false;
        bool started = false;
    };
    std::map<pid_t, ThreadHistory> threads;
    const pid_t mainThread = korvan.pid();
    const std::uint64_t ticksBefore = readProcessCpuTicks(mainThread);
    const auto measureStart = std::chrono::steady_clock::now();
    for (const auto &reading : readThreads(mainThread))
        threads[reading.tid] = {reading, reading, {}, false, false};
    for (long second = 1; second <= seconds; ++second) {
        std::this_thread::sleep_until(measureStart + std::chrono::seconds(second));
        const auto readings = readThreads(mainThread);
        if (readings.empty()) {
            std::fprintf(stderr, "korvan ended during the measurement\n");
            return 1;
        }
        const double sinceStart =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - programStart).count();
        std::map<pid_t, bool> seen;
        for (const auto &reading : readings) {
            seen[reading.tid] = true;
            auto found = threads.find(reading.tid);
            if (found == threads.end()) {
                threads[reading.tid] = {
                        ThreadReading{reading.tid, reading.name, 0, 0, 0, 0}, reading, {sinceStart}, false, true};
                continue;
            }
            if (reading.voluntarySwitches > found->second.last.voluntarySwitches)
                found->second.wokenAt.push_back(sinceStart);
            found->second.last = reading;
        }
        for (auto &[tid, history] : threads) {
            if (!seen.count(tid) && !history.ended) {
                history.ended = true;
                history.wokenAt.push_back(sinceStart);
            }
        }
    }
    const std::uint64_t ticksAfter = readProcessCpuTicks(mainThread);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - measureStart).count();
    korvan.terminate();

    std::printf("Idle: the real korvan, window open (offscreen), one virtual reader, no card; %.1f s measured from "
                "%ld s after its start.\n"
                "CPU from /proc/PID/task/TID/schedstat (ns); wake-ups = voluntary context switches (the thread slept\n"
                "and was woken: a timer, a socket, a signal); preemptions = involuntary ones. Read once a second.\n\n",
                elapsed, options.integer("settle"));
    TextTable table({"thread", "tid", "CPU ms", "% of a core", "wake-ups", "preemptions", "woken at s after start"});
    double totalCpuNs = 0;
    std::uint64_t totalWakeups = 0;
    std::size_t mostWakeups = 0;
    for (const auto &[tid, history] : threads) {
        const double cpuNs = static_cast<double>(history.last.cpuNanoseconds - history.first.cpuNanoseconds);
        const std::uint64_t wakeups = history.last.voluntarySwitches - history.first.voluntarySwitches;
        totalCpuNs += cpuNs;
        totalWakeups += wakeups;
        mostWakeups = std::max(mostWakeups, history.wokenAt.size());
        std::string times;
        for (std::size_t i = 0; i < history.wokenAt.size() && i < 6; ++i)
            times += TextTable::format("%s%.0f", times.empty() ? "" : " ", history.wokenAt[i]);
        if (history.wokenAt.size() > 6)
            times += " ...";
        std::string name = history.last.name;
        if (tid == mainThread)
            name += " (main)";
        if (history.started)
            name += " (started)";
        if (history.ended)
            name += " (ended)";
        table.addRow({name, std::to_string(tid), TextTable::format("%.2f", cpuNs / 1e6),
                      TextTable::format("%.4f", cpuNs / (elapsed * 1e9) * 100), std::to_string(wakeups),
                      std::to_string(history.last.involuntarySwitches - history.first.involuntarySwitches),
                      times.empty() ? "-" : times});
    }
    table.print();
    const double percent = totalCpuNs / (elapsed * 1e9) * 100;
    const double tickPercent =
            static_cast<double>(ticksAfter - ticksBefore) / static_cast<double>(clockTicksPerSecond()) / elapsed * 100;
    std::printf("\nwhole process: %.4f %% of a core (schedstat; /proc/PID/stat utime+stime: %.3f %%, %llu ticks of "
                "1/%ld s), %.2f wake-ups per second\n",
                percent, tickPercent, static_cast<unsigned long long>(ticksAfter - ticksBefore), clockTicksPerSecond(),
                static_cast<double>(totalWakeups) / elapsed);
    // A timer fires again and again. Two wake-ups are not the program's: Qt's housekeeping once,
    // about 30 s after the start, and pcsc-lite, which ends an "infinite" wait every 60 s to ask
    // the daemon again.
    std::printf("target < 0.1 %% of a core: %s; no timer (no thread woke in two different seconds): %s\n",
                percent < 0.1 ? "met" : "MISSED", mostWakeups <= 1 ? "met" : "MISSED");
    return 0;
}
