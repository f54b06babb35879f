// The download run of the real window against the simulated card on our own pcscd, beside a bare
// loop that sends the same commands to the same card through PC/SC with nothing else around them.
// The card link is emulated at no delay, 115,200 and 9,600 bit/s.
#include "PcscCallClock.h"
#include "app/MainUnit.h"
#include "support/BenchOptions.h"
#include "support/DddFile.h"
#include "support/PcscdHarness.h"
#include "support/PlatformNoise.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"
#include "support/VirtualCard.h"

#include <PCSC/winscard.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t ReaderPort = 36610;
const VirtualReaderDefinition Reader{"Korvan Bench", ReaderPort};
constexpr int BitTimesPerByte = 12;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// CPU time of the whole benchmark process (the window's thread, the card monitor, Qt's threads):
// unlike wall time it does not grow when other programs take the CPU.
double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "?";
    return file.readLine().trimmed().toStdString();
}

// Lets window events run until the condition holds; the card and the daemon get the CPU meanwhile.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

Bytes fromHex(const std::string &text)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The card's download as the tool predicted it, but for EF Card_Download (and its signature): the
// runs before this one wrote their time into it.
bool sameDownloadButTheDate(const Bytes &written, const Bytes &expected)
{
    const auto a = DddFile::parse(written);
    const auto b = DddFile::parse(expected);
    if (!a.ok || !b.ok || a.records.size() != b.records.size())
        return false;
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        const DddRecord &x = a.records[i];
        const DddRecord &y = b.records[i];
        if (x.fileId != y.fileId || x.type != y.type || x.content.size() != y.content.size())
            return false;
        if (x.fileId != 0x050E && x.content != y.content)
            return false;
    }
    return true;
}

// What the card saw during one run, from its log: the reset that starts the run, and each command
// with the length of its answer.
struct Exchange
{
    bool reset = false;
    Bytes command;
    std::size_t responseLength = 0;
};

struct RunTrace
{
    std::vector<Exchange> exchanges;
    std::size_t commands = 0;
    std::size_t bytes = 0; // command and response bytes, status words included
    double floorSeconds = 0; // what the emulated link alone takes
    bool complete = false;
};

RunTrace traceOfRun(const std::vector<std::string> &lines, std::size_t from, unsigned baud)
{
    RunTrace trace;
    std::size_t start = from;
    while (start < lines.size() && lines[start] != "* reset")
        ++start;
    std::size_t answered = 0;
    for (std::size_t i = start; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line == "* reset") {
            trace.exchanges.push_back({true, {}, 0});
        } else if (line.starts_with("> ")) {
            trace.exchanges.push_back({false, fromHex(line.substr(2)), 0});
            ++trace.commands;
        } else if (line.starts_with("< ") && !trace.exchanges.empty() && !trace.exchanges.back().reset) {
            Exchange &exchange = trace.exchanges.back();
            exchange.responseLength = (line.size() - 2) / 2;
            const std::size_t moved = exchange.command.size() + exchange.responseLength;
            trace.bytes += moved;
            if (baud > 0)
                trace.floorSeconds += static_cast<double>(moved * BitTimesPerByte) / baud;
            ++answered;
        }
    }
    trace.complete = start < lines.size() && trace.commands > 0 && answered == trace.commands;
    return trace;
}

// The same exchanges through raw pcsc-lite: one exclusive T=0 connection, the reset and each
// transmit, then the disconnect that also ends the program's run. No log, no window.
class BareLoop
{
public:
    explicit BareLoop(std::string reader)
        : m_reader(std::move(reader))
    { }
    ~BareLoop()
    {
        if (m_context != 0)
            SCardReleaseContext(m_context);
    }
    BareLoop(const BareLoop &) = delete;
    BareLoop &operator=(const BareLoop &) = delete;

    std::optional<double> run(const RunTrace &trace, std::string &error)
    {
        if (m_context == 0
            && SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context) != SCARD_S_SUCCESS) {
            m_context = 0;
            error = "no PC/SC context";
            return std::nullopt;
        }
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        LONG result =
                SCardConnect(m_context, m_reader.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, &card, &protocol);
        if (result != SCARD_S_SUCCESS) {
            error = "connect: " + hex(result);
            return std::nullopt;
        }
        const auto started = Clock::now();
        for (const Exchange &exchange : trace.exchanges) {
            if (exchange.reset) {
                result = SCardReconnect(card, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &protocol);
                if (result != SCARD_S_SUCCESS)
                    break;
                continue;
            }
            const SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
            DWORD received = m_response.size();
            result = SCardTransmit(card, &pci, exchange.command.data(), static_cast<DWORD>(exchange.command.size()),
                                   nullptr, m_response.data(), &received);
            if (result != SCARD_S_SUCCESS)
                break;
            if (received != exchange.responseLength) {
                error = "an answer of " + std::to_string(received) + " bytes instead of "
                        + std::to_string(exchange.responseLength);
                SCardDisconnect(card, SCARD_UNPOWER_CARD);
                return std::nullopt;
            }
        }
        const LONG disconnected = SCardDisconnect(card, SCARD_UNPOWER_CARD);
        const auto ended = Clock::now();
        if (result != SCARD_S_SUCCESS || disconnected != SCARD_S_SUCCESS) {
            error = "exchange: " + hex(result != SCARD_S_SUCCESS ? result : disconnected);
            return std::nullopt;
        }
        return secondsBetween(started, ended);
    }

private:
    static std::string hex(LONG result)
    {
        return TextTable::format("%08lX", static_cast<unsigned long>(result) & 0xFFFFFFFFUL);
    }

    std::string m_reader;
    SCARDCONTEXT m_context = 0;
    std::array<std::uint8_t, 0x10000> m_response{};
};

// The user at the end of a run: notes when the upload question appears and answers it "No" at once.
// It watches the window's children instead of every event of the application, so it adds nothing
// to the run it measures.
class QuestionAnswerer : public QObject
{
public:
    explicit QuestionAnswerer(QWidget &window) { window.installEventFilter(this); }

    void reset()
    {
        questionShown.reset();
        questions = 0;
        otherBoxes.clear();
    }

    std::optional<Clock::time_point> questionShown;
    int questions = 0;
    QStringList otherBoxes;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded) {
            // The child is still being built: its type shows when it is shown.
            static_cast<QChildEvent *>(event)->child()->installEventFilter(this);
        } else if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                answer(box);
        }
        return false;
    }

private:
    void answer(QMessageBox *box)
    {
        QMessageBox::StandardButton choice = QMessageBox::Ok;
        if (box->objectName() == QLatin1String("UploadQuestion")) {
            questionShown = Clock::now();
            ++questions;
            choice = QMessageBox::No;
        } else {
            otherBoxes.append(box->text());
        }
        QTimer::singleShot(0, box, [box, choice] {
            if (QAbstractButton *button = box->button(choice))
                button->click();
            else
                box->reject();
        });
    }
};

struct LinkSetting
{
    std::string name;
    unsigned baud = 0;
    long runs = 0;
    double target = 0; // largest ratio allowed; 0: none, report only
};

struct RunFigures
{
    double program = 0; // click to the upload question: the download run
    double click = 0; // click to the window idle again, the question answered at once
    double programInPcsc = 0; // of the run, inside the PC/SC calls of the exchange
    double programCpu = 0; // CPU time of the process during the click
    double bare = 0;
    double bareInPcsc = 0;
    double bareCpu = 0;
};

double secondsOf(const PcscCallTotals &from, const PcscCallTotals &to)
{
    return static_cast<double>(to.nanoseconds - from.nanoseconds) / 1e9;
}

struct SettingResult
{
    LinkSetting setting;
    std::vector<RunFigures> runs;
    RunTrace trace;
    int logLines = 0;
    std::string failure;
};

class DownloadRunBench
{
public:
    DownloadRunBench(std::string seed, std::vector<std::string> cardOptions, std::string folder)
        : m_seed(std::move(seed))
        , m_cardOptions(std::move(cardOptions))
        , m_folder(std::move(folder))
    { }

    bool start()
    {
        m_pcscd = std::make_unique<PcscdHarness>(std::vector<VirtualReaderDefinition>{Reader});
        if (!m_pcscd->start()) {
            std::fprintf(stderr, "pcscd: %s\n", m_pcscd->error().c_str());
            return false;
        }
        m_form = std::make_unique<TMainForm>();
        m_form->SettingsPathEdit->setText(QString::fromStdString(m_folder));
        m_form->show();
        m_answerer = std::make_unique<QuestionAnswerer>(*m_form);
        return true;
    }

    SettingResult measure(const LinkSetting &setting)
    {
        SettingResult result{setting, {}, {}, 0, {}};
        std::vector<std::string> arguments{"--seed", m_seed, "--port", std::to_string(ReaderPort)};
        arguments.insert(arguments.end(), m_cardOptions.begin(), m_cardOptions.end());
        if (setting.baud > 0)
            arguments.insert(arguments.end(), {"--baud", std::to_string(setting.baud)});
        VirtualCard card(arguments);
        const std::string reader = PcscdHarness::readerName(Reader, 0);
        if (!card.start() || !m_pcscd->waitForCard(reader, true)) {
            result.failure = "the card did not start: " + card.error();
            return result;
        }
        BareLoop bare(reader);
        for (long run = 0; run < setting.runs; ++run) {
            std::fprintf(stderr, "  %s: run %ld of %ld\n", setting.name.c_str(), run + 1, setting.runs);
            if (run > 0 && !reinsert(card)) {
                result.failure = "the card did not come back: " + card.error();
                break;
            }
            if (!waitUntil([this] { return m_form->CardReadButton->isEnabled(); }, std::chrono::seconds(60))) {
                result.failure = "the card was not identified";
                break;
            }
            const std::size_t linesBefore = card.logLines().size();
            RunFigures figures;
            if (!runProgram(card, figures, result.failure))
                break;
            m_form->flushLog();
            result.logLines = m_form->LogMemo->blockCount();
            // The card writes its log line of an answer after sending it: wait for the last ones.
            RunTrace trace;
            waitUntil(
                    [&] {
                        trace = traceOfRun(card.logLines(), linesBefore, setting.baud);
                        return trace.complete;
                    },
                    std::chrono::seconds(5));
            if (!trace.complete) {
                result.failure = "the card's log does not show a complete run";
                break;
            }
            if (run > 0 && trace.bytes != result.trace.bytes) {
                result.failure = "the runs moved different bytes";
                break;
            }
            const PcscCallTotals bareBefore = pcscCallTotals();
            const double bareCpuBefore = processCpuSeconds();
            const auto seconds = bare.run(trace, result.failure);
            if (!seconds)
                break;
            figures.bareCpu = processCpuSeconds() - bareCpuBefore;
            figures.bare = *seconds;
            figures.bareInPcsc = secondsOf(bareBefore, pcscCallTotals());
            result.trace = std::move(trace);
            result.runs.push_back(figures);
        }
        card.quit();
        waitUntil([this] { return !m_form->cardPresent(); }, std::chrono::seconds(10));
        return result;
    }

private:
    bool reinsert(VirtualCard &card)
    {
        if (!card.remove() || !waitUntil([this] { return !m_form->cardPresent(); }, std::chrono::seconds(10)))
            return false;
        return card.insert();
    }

    bool runProgram(VirtualCard &card, RunFigures &figures, std::string &failure)
    {
        m_answerer->reset();
        const PcscCallTotals before = pcscCallTotals();
        const double cpuBefore = processCpuSeconds();
        const auto clicked = Clock::now();
        m_form->CardReadButton->click();
        // The run goes on on the card worker; the window is idle again once the question is answered.
        if (!waitUntil([this] { return !m_form->isBusy(); }, std::chrono::minutes(10))) {
            failure = "the run did not end";
            return false;
        }
        const auto returned = Clock::now();
        figures.programCpu = processCpuSeconds() - cpuBefore;
        figures.programInPcsc = secondsOf(before, pcscCallTotals());
        if (!m_answerer->otherBoxes.isEmpty()) {
            failure = "the run showed: " + m_answerer->otherBoxes.join(u"; ").toStdString();
            return false;
        }
        if (m_answerer->questions != 1 || !m_answerer->questionShown) {
            failure = "no upload question: the run wrote no file";
            return false;
        }
        figures.program = secondsBetween(clicked, *m_answerer->questionShown);
        figures.click = secondsBetween(clicked, returned);

        // Every byte of the card is in the file: the run skipped nothing.
        QDir folder(QString::fromStdString(m_folder));
        const QStringList files = folder.entryList({QStringLiteral("*.ddd")}, QDir::Files);
        bool matches = false;
        if (files.size() == 1) {
            QFile file(folder.filePath(files.front()));
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                matches = sameDownloadButTheDate(Bytes(bytes.begin(), bytes.end()), card.expectedDownload());
            }
        }
        for (const QString &name : files)
            folder.remove(name);
        if (!matches) {
            failure = "the written file is not the card's download";
            return false;
        }
        return true;
    }

    std::string m_seed;
    std::vector<std::string> m_cardOptions;
    std::string m_folder;
    std::unique_ptr<PcscdHarness> m_pcscd;
    std::unique_ptr<TMainForm> m_form;
    std::unique_ptr<QuestionAnswerer> m_answerer;
};

std::string milliseconds(double seconds)
{
    return TextTable::format("%.1f", seconds * 1000);
}

std::vector<double> column(const std::vector<RunFigures> &runs, double RunFigures::*field)
{
    std::vector<double> values;
    for (const RunFigures &run : runs)
        values.push_back(run.*field);
    return values;
}

void printResults(const std::vector<SettingResult> &results)
{
    TextTable targets({"link", "runs", "program ms", "bare loop ms", "ratio", "target", "met", "paired ratios"});
    TextTable link({"link", "commands", "bytes", "floor ms", "bare/floor", "program in PC/SC ms", "program own ms",
                    "own us/cmd", "click ms", "CPU ms program", "CPU ms bare"});
    for (const SettingResult &result : results) {
        if (result.runs.empty())
            continue;
        const double program = median(column(result.runs, &RunFigures::program));
        const double bare = median(column(result.runs, &RunFigures::bare));
        const double inPcsc = median(column(result.runs, &RunFigures::programInPcsc));
        std::vector<double> ratios;
        std::vector<double> own;
        for (const RunFigures &run : result.runs) {
            ratios.push_back(run.program / run.bare);
            own.push_back(run.program - run.programInPcsc);
        }
        const double ratio = program / bare;
        const LinkSetting &setting = result.setting;
        const double target = setting.target > 0 ? setting.target : 1.5;
        targets.addRow({setting.name, std::to_string(result.runs.size()), milliseconds(program), milliseconds(bare),
                        TextTable::format("%.3f", ratio),
                        TextTable::format(setting.target > 0 ? "<= %.2f" : "< %.1f (aim)", target),
                        ratio <= target ? "yes" : "NO",
                        TextTable::format("%.3f-%.3f", minimum(ratios), maximum(ratios))});
        const RunTrace &trace = result.trace;
        const bool hasFloor = setting.baud > 0;
        link.addRow({setting.name, std::to_string(trace.commands), std::to_string(trace.bytes),
                     hasFloor ? milliseconds(trace.floorSeconds) : std::string("-"),
                     hasFloor ? TextTable::format("%.3f", bare / trace.floorSeconds) : std::string("-"),
                     milliseconds(inPcsc), milliseconds(median(own)),
                     TextTable::format("%.0f", median(own) * 1e6 / static_cast<double>(trace.commands)),
                     milliseconds(median(column(result.runs, &RunFigures::click))),
                     milliseconds(median(column(result.runs, &RunFigures::programCpu))),
                     milliseconds(median(column(result.runs, &RunFigures::bareCpu)))});
    }
    targets.print();
    std::printf("\n");
    link.print();
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options(
            "Times full download runs of the real window (offscreen) against korvan-vcard on our own pcscd, and in\n"
            "the same process a bare loop of the same commands through PC/SC, at three emulated link speeds.",
            {{"runs-nodelay", "N", "15", "runs with no card delay"},
             {"runs-115200", "N", "5", "runs at 115,200 bit/s"},
             {"runs-9600", "N", "1", "runs at 9,600 bit/s (about 25 s each, twice: program and bare loop)"},
             {"seed", "N", "1", "seed of the simulated card's contents"},
             {"card", "OPTIONS", "", "further korvan-vcard options, e.g. \"--generation 2 --sizes max\""},
             {"folder", "DIR", "", "download folder (default: a new folder under /tmp)"}});
    options.parse(argc, argv);

    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The log mirror on standard error is for support, not for the office: measure without it.
    unsetenv("KORVAN_LOG_TO_STDERR");
    TemporaryDirectory configuration("korvan-bench-config");
    TemporaryDirectory downloads("korvan-bench-downloads");
    if (!configuration.valid() || !downloads.valid()) {
        std::fprintf(stderr, "cannot make temporary folders\n");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", configuration.path().c_str(), 1);
    setenv("XDG_DATA_HOME", configuration.path().c_str(), 1);
    qInstallMessageHandler(dropPlatformNoise);
    QApplication application(argc, argv);

    const std::string folder = options.text("folder").empty() ? downloads.path() : options.text("folder");
    std::vector<LinkSetting> settings{{"no delay", 0, options.integer("runs-nodelay"), 0},
                                      {"115200 bit/s", 115200, options.integer("runs-115200"), 1.02},
                                      {"9600 bit/s", 9600, options.integer("runs-9600"), 1.01}};

    const std::string loadBefore = loadAverage();
    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    std::vector<std::string> cardOptions;
    for (const QString &word : QString::fromStdString(options.text("card")).split(u' ', Qt::SkipEmptyParts))
        cardOptions.push_back(word.toStdString());
    DownloadRunBench bench(options.text("seed"), cardOptions, folder);
    if (!bench.start())
        return 1;
    std::vector<SettingResult> results;
    bool failed = false;
    for (const LinkSetting &setting : settings) {
        if (setting.runs <= 0)
            continue;
        results.push_back(bench.measure(setting));
        if (!results.back().failure.empty()) {
            std::fprintf(stderr, "%s: %s\n", setting.name.c_str(), results.back().failure.c_str());
            failed = true;
        }
    }

    std::printf("Download run: the real window (offscreen, its full log and status) against korvan-vcard --seed %s %s\n"
                "through our own pcscd; the bare loop replays the same exchanges through raw PC/SC.\n"
                "program ms: click to the upload question (the run, file written); click ms: until the window is\n"
                "idle again, the question answered at once. Medians; ratio = program / bare loop.\n",
                options.text("seed").c_str(),
                options.text("card").empty() ? "(default card)" : options.text("card").c_str());
    for (const SettingResult &result : results) {
        if (result.logLines > 0) {
            std::printf("log lines of one run: %d (%s)\n", result.logLines, result.setting.name.c_str());
            break;
        }
    }
    std::printf("floor: the link alone, bytes x %d bit times / baud, summed over the exchanges: the card tool\n"
                "waits exactly that long before each answer (a T=0 byte is 12 bit times: start, 8 data, parity, 2 "
                "guard).\n"
                "in PC/SC: time inside SCardTransmit, SCardReconnect and SCardDisconnect (daemon, driver, card);\n"
                "own: the rest of the run, the program's own work (log, window, file). CPU: of the benchmark process\n"
                "during the click (question answered included) and during the bare loop.\n"
                "load average before and after: %s | %s\n\n",
                BitTimesPerByte, loadBefore.c_str(), loadAverage().c_str());
    printResults(results);
    return failed ? 1 : 0;
}
