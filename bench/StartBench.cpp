// From exec to the window shown with the readers listed: korvan (its own main.cpp with the probe)
// against the baseline, a QApplication with one empty window, started alternately many times.
#include "support/BenchOptions.h"
#include "support/ChildProcess.h"
#include "support/PcscdHarness.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

constexpr std::uint16_t ReaderPort = 36610;

struct Program
{
    std::string name;
    std::string path;
    std::vector<std::string> arguments;
    std::vector<double> startMs;
    std::vector<double> peakKb;
};

// One start: exec to the first exposed and painted window, as the probe reports it.
bool startOnce(Program &program, const ChildProcess::Environment &environment, bool record)
{
    ChildProcess child;
    if (!child.start(program.path, program.arguments, environment)) {
        std::fprintf(stderr, "%s: %s\n", program.name.c_str(), child.error().c_str());
        return false;
    }
    std::string line;
    const bool shown = child.readLine(line, std::chrono::seconds(30)) && line.starts_with("shown ");
    const bool ended = child.wait(std::chrono::seconds(30));
    if (!shown || !ended || !child.exitedCleanly()) {
        std::fprintf(stderr, "%s: no clean start (said \"%s\", status %d)\n", program.name.c_str(), line.c_str(),
                     child.exitStatus());
        return false;
    }
    const long long shownAt = std::stoll(line.substr(6));
    const long long startedAt =
            std::chrono::duration_cast<std::chrono::nanoseconds>(child.startTime().time_since_epoch()).count();
    if (record) {
        program.startMs.push_back(static_cast<double>(shownAt - startedAt) / 1e6);
        program.peakKb.push_back(static_cast<double>(child.peakResidentKb()));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options("Times exec to the window shown (readers listed) for korvan and for the baseline program,\n"
                         "started alternately, on the offscreen platform with our own pcscd and one virtual reader.",
                         {{"runs", "N", "30", "starts of each program"},
                          {"warmup", "N", "2", "untimed starts of each first"},
                          {"no-reference", "", "", "leave out the reference: the baseline showing one line of text"}});
    options.parse(argc, argv);

    TemporaryDirectory configuration("korvan-bench-config");
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const ChildProcess::Environment environment{{"QT_QPA_PLATFORM", platform != nullptr ? platform : "offscreen"},
                                                {"XDG_CONFIG_HOME", configuration.path()},
                                                {"XDG_DATA_HOME", configuration.path()},
                                                {"KORVAN_PROBE", "shown"}};
    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    PcscdHarness pcscd({{"Korvan Bench", ReaderPort}});
    if (!pcscd.start()) {
        std::fprintf(stderr, "pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }

    Program korvan{"korvan", KORVAN_PROBE_PATH, {}, {}, {}};
    Program baseline{"baseline", KORVAN_BASELINE_PATH, {}, {}, {}};
    Program textReference{"baseline --text (reference)", KORVAN_BASELINE_PATH, {"--text"}, {}, {}};
    const long warmup = options.integer("warmup");
    const long runs = options.integer("runs");
    const bool withReference = !options.flag("no-reference");
    for (long i = 0; i < warmup + runs; ++i) {
        const bool record = i >= warmup;
        // Alternate which goes first, so neither always follows the other's traces in the caches.
        Program &first = i % 2 == 0 ? korvan : baseline;
        Program &second = i % 2 == 0 ? baseline : korvan;
        if (!startOnce(first, environment, record) || !startOnce(second, environment, record))
            return 1;
        if (withReference && !startOnce(textReference, environment, record))
            return 1;
    }

    std::printf("Start: exec to the first window exposed and painted (korvan: readers listed, card monitor started),\n"
                "offscreen platform, %ld alternating starts each after %ld warm-up starts.\n\n",
                runs, warmup);
    TextTable table({"program", "starts", "median ms", "min ms", "max ms", "median peak RSS KiB"});
    for (const Program *program : {&korvan, &baseline, &textReference}) {
        if (program->startMs.empty())
            continue;
        table.addRow({program->name, std::to_string(program->startMs.size()),
                      TextTable::format("%.1f", median(program->startMs)),
                      TextTable::format("%.1f", minimum(program->startMs)),
                      TextTable::format("%.1f", maximum(program->startMs)),
                      TextTable::format("%.0f", median(program->peakKb))});
    }
    table.print();
    const double ratio = median(korvan.startMs) / median(baseline.startMs);
    std::printf("\nratio korvan / baseline: %.3f (target <= 1.25: %s)\n", ratio, ratio <= 1.25 ? "met" : "MISSED");
    if (!textReference.startMs.empty()) {
        std::printf("reference: the baseline showing one line of text takes %.3f x the empty one; korvan takes %.3f x "
                    "that\n",
                    median(textReference.startMs) / median(baseline.startMs),
                    median(korvan.startMs) / median(textReference.startMs));
    }
    return 0;
}
