#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

// Where a download file goes: the fleet server's https address, taken apart.
struct UploadAddress
{
    std::string host; // a name, an IPv4 literal, or an IPv6 literal without its brackets
    bool ipLiteral = false;
    bool ipv6 = false;
    std::uint16_t port = 443;
    std::string path = "/"; // request target: path and query, never empty

    // host:port as the Host line carries it (an IPv6 literal in brackets).
    std::string hostAndPort() const;
};

// Accepts only https URLs with a host, an optional port and an optional path; anything else
// (another scheme, user information, bad characters, a port out of range) gives no address.
std::optional<UploadAddress> ParseUploadAddress(const QString &url);

// The address uploads use: the environment variable KORVAN_UPLOAD_URL when it is set (tests,
// demo, staging), else the address compiled in from the CMake cache variable of the same name.
QString ConfiguredUploadUrl();
