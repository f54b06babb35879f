// The real korvan with its window open and no card: CPU time and wake-ups over a while.
#include "support/BenchOptions.h"
#include "support/ChildProcess.h"
#include "support/PcscdHarness.h"
#include "support/ProcReader.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"

#include <cstdio>
#include <cstdlib>
#include <map>
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
             {"settle", "N", "3", "seconds between the start and the measurement"}});
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

    ChildProcess korvan;
    if (!korvan.start(KORVAN_PROGRAM_PATH, {},
                      {{"QT_QPA_PLATFORM", platform != nullptr ? platform : "offscreen"},
                       {"XDG_CONFIG_HOME", configuration.path()}})) {
        std::fprintf(stderr, "korvan: %s\n", korvan.error().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(options.integer("settle")));
    const auto before = readThreads(korvan.pid());
    const std::uint64_t ticksBefore = readProcessCpuTicks(korvan.pid());
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = readThreads(korvan.pid());
    const std::uint64_t ticksAfter = readProcessCpuTicks(korvan.pid());
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (before.empty() || after.empty()) {
        std::fprintf(stderr, "korvan ended during the measurement\n");
        return 1;
    }
    const pid_t mainThread = korvan.pid();
    korvan.terminate();

    std::map<pid_t, ThreadReading> start;
    for (const auto &thread : before)
        start[thread.tid] = thread;
    std::printf("Idle: the real korvan, window open (offscreen), one virtual reader, no card; %.1f s measured after "
                "%ld s settling.\n"
                "CPU from /proc/PID/task/TID/schedstat (ns); wake-ups = voluntary context switches (the thread slept\n"
                "and was woken: a timer, a socket, a signal); preemptions = involuntary ones.\n\n",
                elapsed, options.integer("settle"));
    TextTable table({"thread", "tid", "CPU ms", "% of a core", "wake-ups", "per s", "preemptions"});
    double totalCpuNs = 0;
    std::uint64_t totalWakeups = 0;
    std::uint64_t mainWakeups = 0;
    for (const auto &thread : after) {
        const auto found = start.find(thread.tid);
        const ThreadReading origin = found != start.end() ? found->second : ThreadReading{};
        const double cpuNs = static_cast<double>(thread.cpuNanoseconds - origin.cpuNanoseconds);
        const std::uint64_t wakeups = thread.voluntarySwitches - origin.voluntarySwitches;
        totalCpuNs += cpuNs;
        totalWakeups += wakeups;
        if (thread.tid == mainThread)
            mainWakeups = wakeups;
        table.addRow(
                {thread.name + (thread.tid == mainThread ? " (main)" : "") + (found == start.end() ? " (new)" : ""),
                 std::to_string(thread.tid), TextTable::format("%.2f", cpuNs / 1e6),
                 TextTable::format("%.4f", cpuNs / (elapsed * 1e9) * 100), std::to_string(wakeups),
                 TextTable::format("%.2f", static_cast<double>(wakeups) / elapsed),
                 std::to_string(thread.involuntarySwitches - origin.involuntarySwitches)});
    }
    table.print();
    const double percent = totalCpuNs / (elapsed * 1e9) * 100;
    const double tickPercent =
            static_cast<double>(ticksAfter - ticksBefore) / static_cast<double>(clockTicksPerSecond()) / elapsed * 100;
    std::printf("\nwhole process: %.4f %% of a core (schedstat; /proc/PID/stat utime+stime: %.3f %%, %llu ticks of "
                "1/%ld s), %.2f wake-ups per second\n",
                percent, tickPercent, static_cast<unsigned long long>(ticksAfter - ticksBefore), clockTicksPerSecond(),
                static_cast<double>(totalWakeups) / elapsed);
    std::printf("target < 0.1 %% of a core: %s; no timer (main thread woken %llu times): %s\n",
                percent < 0.1 ? "met" : "MISSED", static_cast<unsigned long long>(mainWakeups),
                totalWakeups == 0 ? "met" : "MISSED");
    return 0;
}
