#include "app/TerminationSignals.h"

#include "app/MainUnit.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t terminationRequests = 0;

void onTerminationSignal(int signal)
{
    // Whoever asks twice does not want to wait: the settings are already written.
    if (terminationRequests != 0)
        ::_exit(128 + signal);
    terminationRequests = 1;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void closeOnTerminationSignals(TMainForm &window)
{
    for (int &end : signalPipe) {
        if (end >= 0)
            ::close(std::exchange(end, -1));
    }
    terminationRequests = 0;
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
