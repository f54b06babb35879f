#pragma once

#include <netdb.h>

#include <functional>
#include <memory>
#include <string>

// Looks a name up on a helper thread of its own, so that the wait for it can be limited in time
// and cut short: getaddrinfo itself offers neither. A lookup that is given up runs to its end
// unobserved; all it touches lives in state it shares with that thread.
class AddressLookup
{
public:
    // getaddrinfo's signature; the list it returns is freed with freeaddrinfo.
    using Function = std::function<int(const char *host, const char *port, const addrinfo *hints, addrinfo **found)>;
    using List = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

    // Starts the lookup; lookup empty means getaddrinfo. Only the flags, family, socket type and
    // protocol of hints are used.
    AddressLookup(const std::string &host, const std::string &port, const addrinfo &hints, Function lookup = {});

    // Why the lookup could not start; empty when it runs.
    const std::string &startError() const { return startError_; }
    // Turns readable once the lookup has ended.
    int readyFd() const;

    // Once readyFd() is readable: getaddrinfo's result, and the list it found, which the caller
    // then owns.
    int status() const;
    List takeList();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::string startError_;
};
