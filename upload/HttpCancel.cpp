#include "upload/HttpCancel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

HttpCancel::HttpCancel()
    : fd_(::eventfd(0, EFD_CLOEXEC))
{ }

HttpCancel::~HttpCancel()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void HttpCancel::cancel()
{
    // The flag turns first and the descriptor follows with exactly one write: a readable
    // descriptor therefore always means cancelled, and reset() knows a write is owed to it.
    if (cancelled_.exchange(true, std::memory_order_acq_rel) || fd_ < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) { }
}

void HttpCancel::reset()
{
    if (!cancelled_.load(std::memory_order_acquire))
        return;
    if (fd_ >= 0) {
        // Blocks only while a cancel() on another thread sits between its flag and its write,
        // which it finishes at once; draining first keeps the descriptor from staying readable.
        std::uint64_t count = 0;
        while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) { }
    }
    cancelled_.store(false, std::memory_order_release);
}
