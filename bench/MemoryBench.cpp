// Peak resident memory of korvan over a full download run against the baseline program's.
#include "support/BenchOptions.h"
#include "support/ChildProcess.h"
#include "support/PcscdHarness.h"
#include "support/ProcReader.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"
#include "support/VirtualCard.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

constexpr std::uint16_t ReaderPort = 36610;

struct Row
{
    std::string name;
    std::vector<double> peakKb;
    std::vector<double> runMs;
};

std::vector<std::uint8_t> readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The single download file in the folder is the card's whole download; removed afterwards.
bool takeDownload(const std::string &folder, const std::vector<std::uint8_t> &expected)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path());
    const bool matches = files.size() == 1 && readFile(files.front()) == expected;
    for (const auto &file : files)
        std::filesystem::remove(file);
    return matches;
}

bool runOnce(Row &row, const std::string &path, const ChildProcess::Environment &environment, bool download,
             const std::vector<std::string> &arguments = {})
{
    ChildProcess child;
    if (!child.start(path, arguments, environment)) {
        std::fprintf(stderr, "%s: %s\n", row.name.c_str(), child.error().c_str());
        return false;
    }
    std::string shown;
    std::string ran;
    const bool ok = child.readLine(shown, std::chrono::seconds(30)) && shown.starts_with("shown ")
            && (!download || (child.readLine(ran, std::chrono::seconds(300)) && ran.starts_with("run ")));
    const bool ended = child.wait(std::chrono::seconds(30));
    if (!ok || !ended || !child.exitedCleanly()) {
        std::fprintf(stderr, "%s: did not run cleanly (said \"%s\" \"%s\", status %d)\n", row.name.c_str(),
                     shown.c_str(), ran.c_str(), child.exitStatus());
        return false;
    }
    row.peakKb.push_back(static_cast<double>(child.peakResidentKb()));
    if (download)
        row.runMs.push_back(std::stod(ran.substr(4)));
    return true;
}

struct Snapshot
{
    long anonymousKb = 0;
    long fileKb = 0;
    std::map<std::string, long> byMapping;
};

// Runs the program until the probe holds it (after the download, or once shown) and reads where
// its resident memory lies.
bool snapshot(const std::string &path, ChildProcess::Environment environment, Snapshot &result)
{
    environment.emplace_back("KORVAN_PROBE_HOLD", "1");
    ChildProcess child;
    if (!child.start(path, {}, environment))
        return false;
    std::string line;
    while (child.readLine(line, std::chrono::seconds(300))) {
        if (line == "holding") {
            result.anonymousKb = readStatusKb(child.pid(), "RssAnon");
            result.fileKb = readStatusKb(child.pid(), "RssFile");
            result.byMapping = readResidentByMapping(child.pid());
            child.terminate();
            return true;
        }
        if (line.starts_with("failed"))
            break;
    }
    std::fprintf(stderr, "%s did not hold (%s)\n", path.c_str(), line.c_str());
    return false;
}

void printBreakdown(const Snapshot &korvan, const Snapshot &baseline)
{
    std::printf("\nWhere the resident memory lies, korvan after its run against the baseline once shown (KiB;\n"
                "file-backed pages are shared with every other process mapping the same file):\n\n");
    TextTable totals({"", "korvan", "baseline", "difference"});
    totals.addRow({"anonymous (private)", std::to_string(korvan.anonymousKb), std::to_string(baseline.anonymousKb),
                   std::to_string(korvan.anonymousKb - baseline.anonymousKb)});
    totals.addRow({"file-backed", std::to_string(korvan.fileKb), std::to_string(baseline.fileKb),
                   std::to_string(korvan.fileKb - baseline.fileKb)});
    totals.print();
    std::vector<std::pair<long, std::string>> differences;
    std::map<std::string, long> all = baseline.byMapping;
    for (const auto &[name, kb] : korvan.byMapping)
        all[name] += 0;
    for (const auto &[name, ignored] : all) {
        const auto k = korvan.byMapping.find(name);
        const auto b = baseline.byMapping.find(name);
        const long difference =
                (k != korvan.byMapping.end() ? k->second : 0) - (b != baseline.byMapping.end() ? b->second : 0);
        differences.emplace_back(difference, name);
    }
    std::sort(differences.begin(), differences.end(), std::greater<>());
    std::printf("\nthe mappings that grew most:\n\n");
    TextTable table({"mapping", "korvan", "baseline", "difference"});
    for (std::size_t i = 0; i < differences.size() && i < 16; ++i) {
        const std::string &name = differences[i].second;
        const auto k = korvan.byMapping.find(name);
        const auto b = baseline.byMapping.find(name);
        table.addRow({name, std::to_string(k != korvan.byMapping.end() ? k->second : 0),
                      std::to_string(b != baseline.byMapping.end() ? b->second : 0),
                      std::to_string(differences[i].first)});
    }
    table.print();
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options("Peak resident memory (ru_maxrss of the reaped child) of korvan over a full download run\n"
                         "against korvan-vcard, and of the baseline program (a QApplication with one empty window).",
                         {{"runs", "N", "5", "runs of each"},
                          {"seed", "N", "1", "seed of the simulated card"},
                          {"no-breakdown", "", "", "leave out where the memory lies (one more run of each)"},
                          {"no-reference", "", "", "leave out the reference: the baseline showing one line of text"}});
    options.parse(argc, argv);

    TemporaryDirectory configuration("korvan-bench-config");
    TemporaryDirectory downloads("korvan-bench-downloads");
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const std::string platformName = platform != nullptr ? platform : "offscreen";
    const ChildProcess::Environment runEnvironment{{"QT_QPA_PLATFORM", platformName},
                                                   {"XDG_CONFIG_HOME", configuration.path()},
                                                   {"XDG_DATA_HOME", configuration.path()},
                                                   {"KORVAN_PROBE", "run"},
                                                   {"KORVAN_PROBE_FOLDER", downloads.path()}};
    const ChildProcess::Environment shownEnvironment{{"QT_QPA_PLATFORM", platformName},
                                                     {"XDG_CONFIG_HOME", configuration.path()},
                                                     {"XDG_DATA_HOME", configuration.path()},
                                                     {"KORVAN_PROBE", "shown"}};

    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    const VirtualReaderDefinition reader{"Korvan Bench", ReaderPort};
    PcscdHarness pcscd({reader});
    if (!pcscd.start()) {
        std::fprintf(stderr, "pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }
    VirtualCard card({"--seed", options.text("seed"), "--port", std::to_string(ReaderPort)});
    if (!card.start() || !pcscd.waitForCard(PcscdHarness::readerName(reader, 0), true)) {
        std::fprintf(stderr, "card: %s\n", card.error().c_str());
        return 1;
    }

    Row run{"korvan, full download run", {}, {}};
    Row baseline{"baseline, window shown", {}, {}};
    Row textReference{"baseline --text (reference)", {}, {}};
    for (long i = 0; i < options.integer("runs"); ++i) {
        if (!runOnce(run, KORVAN_PROBE_PATH, runEnvironment, true))
            return 1;
        if (!takeDownload(downloads.path(), card.expectedDownload())) {
            std::fprintf(stderr, "the run did not write the card's whole download\n");
            return 1;
        }
        if (!runOnce(baseline, KORVAN_BASELINE_PATH, shownEnvironment, false))
            return 1;
        if (!options.flag("no-reference")
            && !runOnce(textReference, KORVAN_BASELINE_PATH, shownEnvironment, false, {"--text"}))
            return 1;
    }

    std::printf("Peak resident memory: ru_maxrss of each reaped child (offscreen platform); korvan is its own\n"
                "main.cpp with the probe, which waits for the identification, clicks \"Vyčíst kartu\", answers \"No\"\n"
                "and quits; the written file is checked against the card.\n\n");
    TextTable table({"program", "runs", "median peak KiB", "min KiB", "max KiB", "run ms"});
    for (const Row *row : {&run, &baseline, &textReference}) {
        if (row->peakKb.empty())
            continue;
        table.addRow({row->name, std::to_string(row->peakKb.size()), TextTable::format("%.0f", median(row->peakKb)),
                      TextTable::format("%.0f", minimum(row->peakKb)), TextTable::format("%.0f", maximum(row->peakKb)),
                      row->runMs.empty() ? "-" : TextTable::format("%.0f", median(row->runMs))});
    }
    table.print();
    const double ratio = median(run.peakKb) / median(baseline.peakKb);
    std::printf("\nratio korvan / baseline: %.3f (target <= 1.25: %s)\n", ratio, ratio <= 1.25 ? "met" : "MISSED");
    if (!textReference.peakKb.empty()) {
        std::printf("reference: the baseline showing one line of text takes %.3f x the empty one; korvan takes %.3f x "
                    "that\n",
                    median(textReference.peakKb) / median(baseline.peakKb),
                    median(run.peakKb) / median(textReference.peakKb));
    }

    if (!options.flag("no-breakdown")) {
        Snapshot korvanMemory;
        Snapshot baselineMemory;
        if (!snapshot(KORVAN_PROBE_PATH, runEnvironment, korvanMemory)
            || !snapshot(KORVAN_BASELINE_PATH, shownEnvironment, baselineMemory))
            return 1;
        takeDownload(downloads.path(), card.expectedDownload());
        printBreakdown(korvanMemory, baselineMemory);
    }
    return 0;
}
