// AddLog into a log that already holds many lines: the total time, and the time per line slice by
// slice from an empty log on, so growth with the log's length shows.
#include "app/LogPane.h"
#include "app/MainUnit.h"
#include "support/BenchOptions.h"
#include "support/PcscdHarness.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

QString hexLine(int count, int first)
{
    QString line;
    for (int i = 0; i < count; ++i)
        line += QStringLiteral(" %1").arg((first + i) & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return line;
}

QString characterLine(int count, int first)
{
    QString line;
    for (int i = 0; i < count; ++i) {
        const int byte = (first + i) & 0xFF;
        line += byte >= 0x20 && byte <= 0x7F ? QChar(byte) : QChar(u'.');
    }
    return line;
}

// The lines the card layer writes for one READ BINARY of 256 bytes: the bulk of a run's log, with
// its two long lines.
QStringList cardLines()
{
    return {QStringLiteral("Command:"), hexLine(5, 0xB0),         QStringLiteral("Response data (len = 256):"),
            hexLine(256, 0x17),         characterLine(256, 0x17), QStringLiteral("Response code:"),
            QStringLiteral(" 90 00")};
}

// The download's own short lines.
QStringList shortLines()
{
    return {QStringLiteral("----- Read file: Driver Activity Data -----"), QStringLiteral("- hash file"),
            QStringLiteral("- compute signature"), QStringLiteral("- success")};
}

struct Slice
{
    int logLinesBefore = 0;
    double addSeconds = 0; // the AddLog calls
    double eventSeconds = 0; // the window events after them: a deferred append, painting
    double seconds() const { return addSeconds + eventSeconds; }
};

struct Scenario
{
    std::string name;
    bool logShown = false;
};

// AddLog of count lines in slices; after each slice the pending window events run, as they would
// after the card layer's lines of a file, and are timed with it: a log that defers its appends to
// the event loop pays for them there. A shown log must hold the lines afterwards; a hidden one takes
// them when it is shown (see runScenario).
bool addLines(TMainForm &form, const QStringList &lines, int count, int slice, std::vector<Slice> &slices)
{
    const bool shown = form.LogMemo->isVisible();
    int next = 0;
    for (int done = 0; done < count; done += slice) {
        Slice figures;
        figures.logLinesBefore = form.LogMemo->blockCount();
        const int size = std::min(slice, count - done);
        const auto started = Clock::now();
        for (int i = 0; i < size; ++i) {
            form.AddLog(lines[next]);
            next = (next + 1) % static_cast<int>(lines.size());
        }
        figures.addSeconds = secondsSince(started);
        const auto events = Clock::now();
        QCoreApplication::processEvents();
        figures.eventSeconds = secondsSince(events);
        slices.push_back(figures);
        if (shown && form.LogMemo->blockCount() < std::min(figures.logLinesBefore + size, LogPane::MaximumLines)) {
            std::fprintf(stderr, "the log holds %d lines, not %d\n", form.LogMemo->blockCount(),
                         std::min(figures.logLinesBefore + size, LogPane::MaximumLines));
            return false;
        }
    }
    return true;
}

double perLineMicroseconds(const Slice &slice, int lines)
{
    return slice.seconds() * 1e6 / lines;
}

bool runScenario(const Scenario &scenario, const std::string &kind, const QStringList &lines, int prefill, int count,
                 int slice)
{
    TMainForm form;
    form.show();
    if (scenario.logShown)
        form.PageControl1->setCurrentWidget(form.LogSheet);
    QCoreApplication::processEvents();

    std::vector<Slice> before;
    std::vector<Slice> measured;
    if (!addLines(form, lines, prefill, slice, before) || !addLines(form, lines, count, slice, measured))
        return false;

    double total = 0;
    for (const Slice &figures : measured)
        total += figures.seconds();
    std::printf("\n%s, %s lines: AddLog of %d lines into a log of %d\n", scenario.name.c_str(), kind.c_str(), count,
                prefill);
    TextTable table({"slice", "log lines before", "AddLog ms", "events ms", "us/line"});
    auto addRows = [&](const std::vector<Slice> &slices, const char *phase) {
        for (std::size_t i = 0; i < slices.size(); ++i) {
            table.addRow({TextTable::format("%s %zu", phase, i + 1), std::to_string(slices[i].logLinesBefore),
                          TextTable::format("%.1f", slices[i].addSeconds * 1000),
                          TextTable::format("%.1f", slices[i].eventSeconds * 1000),
                          TextTable::format("%.2f", perLineMicroseconds(slices[i], slice))});
        }
    };
    addRows(before, "fill");
    addRows(measured, "timed");
    table.print();
    if (!scenario.logShown) {
        // The hidden log takes its lines when its tab is opened: that is timed too.
        const auto opened = Clock::now();
        form.PageControl1->setCurrentWidget(form.LogSheet);
        QCoreApplication::processEvents();
        const double openSeconds = secondsSince(opened);
        total += openSeconds;
        std::printf("opening the log tab afterwards: %.1f ms (counted in the total)\n", openSeconds * 1000);
        if (form.LogMemo->blockCount() < std::min(prefill + count, LogPane::MaximumLines)) {
            std::fprintf(stderr, "the log holds %d lines, not %d\n", form.LogMemo->blockCount(),
                         std::min(prefill + count, LogPane::MaximumLines));
            return false;
        }
    }
    // Single slices jump when other programs take the CPU: compare the medians of the halves.
    auto medianPerLine = [slice](const std::vector<Slice> &slices) {
        std::vector<double> values;
        for (const Slice &figures : slices)
            values.push_back(perLineMicroseconds(figures, slice));
        return median(values);
    };
    const double growth = medianPerLine(measured) / medianPerLine(before);
    std::printf("total of the timed slices %.3f s (target < 1 s: %s); median us/line while the log grew to %d lines: "
                "%.2f, then to %d: %.2f, ratio %.2f (does not grow: %s)\n",
                total, total < 1.0 ? "met" : "MISSED", prefill, medianPerLine(before), prefill + count,
                medianPerLine(measured), growth, growth <= 1.25 ? "met" : "MISSED");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options("Times TMainForm::AddLog of many lines into a log that already holds many, offscreen.",
                         {{"lines", "N", "100000", "lines to time"},
                          {"prefill", "N", "100000", "lines in the log before"},
                          {"slice", "N", "10000", "lines per slice"},
                          {"kind", "KIND", "card", "card (the card layer's lines, two long), short, or both"},
                          {"shown-only", "", "", "only the scenario with the log tab shown (painted after each slice)"},
                          {"hidden-only", "", "", "only the scenario with the log tab hidden"}});
    options.parse(argc, argv);
    const int count = static_cast<int>(options.integer("lines"));
    const int prefill = static_cast<int>(options.integer("prefill"));
    const int slice = static_cast<int>(options.integer("slice"));
    if (slice <= 0 || count <= 0 || prefill <= 0) {
        std::fprintf(stderr, "--lines, --prefill and --slice must be positive\n");
        return 2;
    }

    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("KORVAN_LOG_TO_STDERR");
    TemporaryDirectory configuration("korvan-bench-config");
    setenv("XDG_CONFIG_HOME", configuration.path().c_str(), 1);
    setenv("XDG_DATA_HOME", configuration.path().c_str(), 1);
    QApplication application(argc, argv);

    // A daemon of our own without readers: the window starts as it does with no reader attached,
    // and never watches a reader of someone else's test.
    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    PcscdHarness pcscd;
    if (!pcscd.start()) {
        std::fprintf(stderr, "pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }

    std::vector<std::pair<std::string, QStringList>> kinds;
    const std::string kind = options.text("kind");
    if (kind == "card" || kind == "both")
        kinds.emplace_back("card", cardLines());
    if (kind == "short" || kind == "both")
        kinds.emplace_back("short", shortLines());
    if (kinds.empty()) {
        std::fprintf(stderr, "--kind is card, short or both\n");
        return 2;
    }
    std::vector<Scenario> scenarios;
    if (!options.flag("shown-only"))
        scenarios.push_back({"log tab hidden (the card tab, as during a download)", false});
    if (!options.flag("hidden-only"))
        scenarios.push_back({"log tab shown, painted after each slice", true});

    std::printf("AddLog benchmark (offscreen): slices of %d lines, each followed by the pending window events (timed\n"
                "with it); \"fill\" slices fill the log before the timed ones. us/line counts both.\n",
                slice);
    for (const auto &[name, lines] : kinds) {
        for (const Scenario &scenario : scenarios) {
            if (!runScenario(scenario, name, lines, prefill, count, slice))
                return 1;
        }
    }
    return 0;
}
