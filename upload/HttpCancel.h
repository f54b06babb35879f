#pragma once

#include <atomic>

// Lets another thread end an exchange in flight: every wait of the exchange also waits on fd(),
// which turns readable on cancel(). One object serves one exchange at a time; reset() readies
// it for the next.
class HttpCancel
{
public:
    HttpCancel();
    ~HttpCancel();
    HttpCancel(const HttpCancel &) = delete;
    HttpCancel &operator=(const HttpCancel &) = delete;

    // Callable from any thread, any number of times; only the first call after a reset counts.
    // Takes no lock and makes one write() at most, so a signal handler may call it too.
    void cancel();
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Clears a cancel for the next exchange. Not while an exchange uses this object, and not
    // from two threads at once.
    void reset();

    // Readable while cancelled; -1 when the system had no descriptor to give, and then the
    // exchange looks at isCancelled() every few milliseconds instead.
    int fd() const { return fd_; }

private:
    std::atomic<bool> cancelled_{false};
    int fd_ = -1;
};
