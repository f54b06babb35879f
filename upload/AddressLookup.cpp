#include "upload/AddressLookup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

struct AddressLookup::State
{
    State(const std::string &lookedUpHost, const std::string &lookedUpPort, const addrinfo &givenHints,
          Function function)
        : host(lookedUpHost)
        , port(lookedUpPort)
        , lookup(std::move(function))
    {
        hints.ai_flags = givenHints.ai_flags;
        hints.ai_family = givenHints.ai_family;
        hints.ai_socktype = givenHints.ai_socktype;
        hints.ai_protocol = givenHints.ai_protocol;
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State()
    {
        if (found)
            ::freeaddrinfo(found);
        if (doneFd >= 0)
            ::close(doneFd);
    }

    const std::string host;
    const std::string port;
    addrinfo hints{};
    const Function lookup;
    int doneFd = ::eventfd(0, EFD_CLOEXEC);

    std::mutex mutex;
    int status = EAI_SYSTEM;
    addrinfo *found = nullptr;
};

AddressLookup::AddressLookup(const std::string &host, const std::string &port, const addrinfo &hints, Function lookup)
    : state_(std::make_shared<State>(host, port, hints, lookup ? std::move(lookup) : Function(::getaddrinfo)))
{
    if (state_->doneFd < 0) {
        startError_ = std::string("address lookup: ") + std::strerror(errno);
        return;
    }
    try {
        // The thread keeps the state alive for as long as it runs, however soon we give up.
        std::thread([state = state_] {
            addrinfo *found = nullptr;
            const int status = state->lookup(state->host.c_str(), state->port.c_str(), &state->hints, &found);
            {
                const std::lock_guard<std::mutex> lock(state->mutex);
                state->status = status;
                state->found = status == 0 ? found : nullptr;
            }
            if (status != 0 && found)
                ::freeaddrinfo(found);
            const std::uint64_t one = 1;
            while (::write(state->doneFd, &one, sizeof one) < 0 && errno == EINTR) { }
        }).detach();
    } catch (const std::system_error &error) {
        startError_ = std::string("address lookup: ") + error.what();
    }
}

int AddressLookup::readyFd() const
{
    return state_->doneFd;
}

int AddressLookup::status() const
{
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->status;
}

AddressLookup::List AddressLookup::takeList()
{
    const std::lock_guard<std::mutex> lock(state_->mutex);
    return List(std::exchange(state_->found, nullptr), &freeaddrinfo);
}
