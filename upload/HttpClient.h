#pragma once

#include "upload/AddressLookup.h"
#include "upload/HttpCancel.h"
#include "upload/UploadAddress.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

struct HttpLimits
{
    // Longest wait for any one step on the network: looking the name up, connecting, each
    // handshake step, each write and each read.
    std::chrono::milliseconds readTimeout{90'000};
    // The whole exchange, from connecting to the last byte of the answer. A server that keeps
    // the answer coming ever so slowly must not hold the window for ever.
    std::chrono::milliseconds overallLimit{5 * 60'000};
    // Longest wait for one address to accept the connection: a name can give several addresses,
    // and one that never answers must not keep the next from being tried for long.
    std::chrono::milliseconds connectTimeout{10'000};
    // Longest wait for the name to be looked up; a resolver that never answers must not hold
    // the upload until the overall limit.
    std::chrono::milliseconds resolveTimeout{10'000};
};

struct HttpResult
{
    // True when connecting, the handshake, sending, and reading the whole answer all succeeded.
    bool completed = false;
    int statusCode = 0;
    // Status line first, then the header lines, as received without their line ends.
    std::vector<std::string> headerLines;
    // Why the exchange failed, in a few words that never carry what was sent.
    std::string error;
    // True when the exchange ended because it was cancelled (completed is false then).
    bool cancelled = false;
};

// Sends one request over a verified TLS connection and reads the answer. The server's
// certificate and name (or IP address) are checked against the system trust store, which
// honours SSL_CERT_FILE and SSL_CERT_DIR; credentials never go to a server we could not verify.
// The connection is made directly (no proxy), serves this one request and is closed at the end.
// The answer's body is read to its end and dropped; nothing in the answer is followed.
//
// A cancel, from any thread, ends the exchange within milliseconds in whatever step it is;
// already cancelled, the exchange does not start.
class HttpClient
{
public:
    // lookup replaces getaddrinfo, for tests of a resolver that does not answer.
    explicit HttpClient(HttpLimits limits = {}, AddressLookup::Function lookup = {});

    HttpResult exchange(const UploadAddress &address, std::string_view request, const HttpCancel *cancel = nullptr);

private:
    HttpLimits limits_;
    AddressLookup::Function lookup_;
};
