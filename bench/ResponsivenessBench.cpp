// How well the window answers while card and network work run: a 10 ms timer on the window's
// thread, and how late each of its ticks comes, during a download run at 9,600 bit/s and during an
// upload to a fleet server that never answers. The real window (offscreen), our own pcscd, the
// simulated card and the local fleet server.
#include "app/MainUnit.h"
#include "app/SettingsCodec.h"
#include "support/BenchOptions.h"
#include "support/FleetServer.h"
#include "support/PcscdHarness.h"
#include "support/PlatformNoise.h"
#include "support/Statistics.h"
#include "support/TemporaryDirectory.h"
#include "support/TextTable.h"
#include "support/VirtualCard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t ReaderPort = 36620;
const VirtualReaderDefinition Reader{"Korvan Responsiveness", ReaderPort};
constexpr auto TickInterval = 10ms;
constexpr double TargetMs = 50;

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

// The ticks of a precise 10 ms timer: how much later than 10 ms after the one before each came,
// sorted by what the window was doing when it came.
class TickWatch : public QObject
{
public:
    explicit TickWatch(const TMainForm &form)
        : m_form(form)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(TickInterval);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const auto now = Clock::now();
            const double late = std::chrono::duration<double, std::milli>(now - m_last - TickInterval).count();
            m_last = now;
            m_lateness[m_form.state()].push_back(std::max(0.0, late));
        });
    }

    void start()
    {
        m_last = Clock::now();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    const std::vector<double> &lateness(TMainForm::FormState state) { return m_lateness[state]; }

private:
    const TMainForm &m_form;
    QTimer m_timer;
    Clock::time_point m_last;
    std::map<TMainForm::FormState, std::vector<double>> m_lateness;
};

// Answers the upload question Yes as soon as it shows.
class YesAnswerer : public QObject
{
public:
    explicit YesAnswerer(QWidget &window) { window.installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded) {
            static_cast<QChildEvent *>(event)->child()->installEventFilter(this);
        } else if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                QTimer::singleShot(0, box, [box] {
                    if (QAbstractButton *button = box->button(QMessageBox::Yes))
                        button->click();
                    else
                        box->reject();
                });
            }
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options("Lateness of a 10 ms timer of the window during a download run at 9,600 bit/s and during an\n"
                         "upload to a fleet server that never answers (offscreen, real pcscd, simulated card).",
                         {{"baud", "RATE", "9600", "emulated card link speed"},
                          {"upload-wait-ms", "MS", "20000", "how long the upload waits for an answer"}});
    options.parse(argc, argv);

    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("KORVAN_LOG_TO_STDERR");
    TemporaryDirectory configuration("korvan-bench-config");
    TemporaryDirectory downloads("korvan-bench-downloads");
    if (!configuration.valid() || !downloads.valid())
        return 1;
    setenv("XDG_CONFIG_HOME", configuration.path().c_str(), 1);
    setenv("XDG_DATA_HOME", configuration.path().c_str(), 1);
    qInstallMessageHandler(dropPlatformNoise);
    QApplication application(argc, argv);

    FleetServer server({"--no-answer"});
    if (!server.running()) {
        std::fprintf(stderr, "fleet server: %s\n", server.error().c_str());
        return 1;
    }
    setenv("KORVAN_UPLOAD_URL", server.url().c_str(), 1);
    setenv("SSL_CERT_FILE", server.caFile().c_str(), 1);

    std::fprintf(stderr, "waiting for the pcscd lock %s ...\n", PcscdHarness::LockPath);
    PcscdHarness pcscd({Reader});
    if (!pcscd.start()) {
        std::fprintf(stderr, "pcscd: %s\n", pcscd.error().c_str());
        return 1;
    }
    VirtualCard card({"--seed", "1", "--port", std::to_string(ReaderPort), "--baud", options.text("baud")});
    if (!card.start() || !pcscd.waitForCard(PcscdHarness::readerName(Reader, 0), true)) {
        std::fprintf(stderr, "the card did not start: %s\n", card.error().c_str());
        return 1;
    }

    TMainForm form;
    form.SettingsPathEdit->setText(QString::fromStdString(downloads.path()));
    form.SettingsCompanyEdit->setText(QStringLiteral("FIRMA"));
    form.SettingsUserEdit->setText(QStringLiteral("user"));
    form.SettingsPasswordEdit->setText(QStringLiteral("password"));
    form.UploadLimits.readTimeout = std::chrono::milliseconds(options.integer("upload-wait-ms"));
    form.show();
    YesAnswerer answerer(form);
    if (!waitUntil([&form] { return form.CardReadButton->isEnabled(); }, 60s)) {
        std::fprintf(stderr, "the card was not identified\n");
        return 1;
    }

    TickWatch watch(form);
    watch.start();
    const auto clicked = Clock::now();
    form.CardReadButton->click();
    const bool ended = waitUntil([&form] { return !form.isBusy(); }, 15min);
    watch.stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - clicked).count();
    if (!ended || form.statusText(0) != QStringLiteral("Odeslání souboru na server selhalo")) {
        std::fprintf(stderr, "the run and upload did not end as expected: %s\n", qPrintable(form.statusText(0)));
        return 1;
    }

    std::printf("Window responsiveness: lateness of a 10 ms timer on the window's thread (ms beyond its interval)\n"
                "during a download run at %s bit/s and an upload to a server that never answers (%ld ms wait);\n"
                "%.1f s from the click to the window idle again.\n\n",
                options.text("baud").c_str(), options.integer("upload-wait-ms"), seconds);
    TextTable table({"phase", "ticks", "median ms", "p99 ms", "worst ms", "target", "met"});
    bool met = true;
    for (const auto &[name, state] : {std::pair{"download run", TMainForm::FormState::Running},
                                      std::pair{"upload, no answer", TMainForm::FormState::Uploading}}) {
        std::vector<double> lateness = watch.lateness(state);
        std::sort(lateness.begin(), lateness.end());
        const double p99 = lateness.empty() ? 0 : lateness[lateness.size() * 99 / 100];
        const double worst = maximum(lateness);
        const bool ok = !lateness.empty() && worst < TargetMs;
        met = met && ok;
        table.addRow({name, std::to_string(lateness.size()), TextTable::format("%.2f", median(lateness)),
                      TextTable::format("%.2f", p99), TextTable::format("%.2f", worst),
                      TextTable::format("< %.0f", TargetMs), ok ? "yes" : "NO"});
    }
    table.print();
    card.quit();
    return met ? 0 : 1;
}
