#include "app/CommandLine.h"
#include "app/ErrorDisplay.h"
#include "app/MainUnit.h"
#include "app/QtTranslation.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t terminationRequests = 0;

void onTerminationSignal(int signal)
{
    // Whoever asks twice does not want to wait for the work in progress.
    if (terminationRequests != 0)
        ::_exit(128 + signal);
    terminationRequests = 1;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// A termination request (logout, `kill`, Ctrl+C) closes the window as the user would, so the
// settings are saved and a running download is finished first; an open question is answered No,
// since nobody may be there to answer it.
void closeOnTerminationSignals(TMainForm &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        window.terminate();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal that arrives while the handler runs for another one is the second request.
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGHUP);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    if (const std::optional<int> answered = answerInformationOptions(argc, argv))
        return *answered;

    QApplication application(argc, argv);
    installCzechQtTranslation(application);
    QApplication::setApplicationName(QStringLiteral("korvan"));
    QApplication::setApplicationDisplayName(ApplicationTitle);
    QApplication::setDesktopFileName(QStringLiteral("korvan"));
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/korvan/icon-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    TMainForm MainForm;
    closeOnTerminationSignals(MainForm);
    MainForm.show();
    return application.exec();
}
