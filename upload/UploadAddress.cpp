#include "upload/UploadAddress.h"

#include <arpa/inet.h>

#include <array>
#include <string_view>

#ifndef KORVAN_UPLOAD_URL
#error "KORVAN_UPLOAD_URL must be defined by the build"
#endif

namespace {

bool isHostNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool isAllDigitsAndDots(std::string_view text)
{
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    }
    return true;
}

// The request target goes into the request line as it stands, so nothing that could end or split
// that line (spaces, control bytes) and nothing outside printable ASCII is let through.
bool isSafeTargetChar(char c)
{
    return c > 0x20 && c < 0x7F;
}

std::optional<std::uint16_t> parsePort(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 65535)
        return std::nullopt;
    return std::uint16_t(value);
}

} // namespace

std::string UploadAddress::hostAndPort() const
{
    std::string text = ipv6 ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port);
}

std::optional<UploadAddress> ParseUploadAddress(const QString &url)
{
    for (QChar c : url) {
        if (c.unicode() > 0x7F)
            return std::nullopt;
    }
    const std::string text = url.toStdString();
    constexpr std::string_view scheme = "https://";
    if (text.size() < scheme.size())
        return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != scheme[i])
            return std::nullopt;
    }

    std::string_view rest = std::string_view(text).substr(scheme.size());
    const std::size_t fragment = rest.find('#');
    if (fragment != std::string_view::npos)
        rest = rest.substr(0, fragment);
    const std::size_t authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view target = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    // Credentials in the URL would end up nowhere sensible; refuse them rather than guess.
    if (authority.find('@') != std::string_view::npos)
        return std::nullopt;

    UploadAddress address;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        address.host = std::string(authority.substr(1, close - 1));
        std::array<unsigned char, 16> binary{};
        if (inet_pton(AF_INET6, address.host.c_str(), binary.data()) != 1)
            return std::nullopt;
        address.ipLiteral = true;
        address.ipv6 = true;
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return std::nullopt;
            portText = after.substr(1);
            hasPort = true;
        }
    } else {
        const std::size_t colon = authority.find(':');
        address.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            hasPort = true;
        }
        if (address.host.empty())
            return std::nullopt;
        for (char c : address.host) {
            if (!isHostNameChar(c))
                return std::nullopt;
        }
        if (isAllDigitsAndDots(address.host)) {
            // Something that looks numeric must be a proper dotted quad, never a name lookup.
            std::array<unsigned char, 4> binary{};
            if (inet_pton(AF_INET, address.host.c_str(), binary.data()) != 1)
                return std::nullopt;
            address.ipLiteral = true;
        } else if (address.host.front() == '.' || address.host.front() == '-'
                   || address.host.find("..") != std::string::npos) {
            return std::nullopt;
        }
    }
    if (hasPort) {
        const std::optional<std::uint16_t> port = parsePort(portText);
        if (!port)
            return std::nullopt;
        address.port = *port;
    }

    for (char c : target) {
        if (!isSafeTargetChar(c))
            return std::nullopt;
    }
    if (target.empty())
        address.path = "/";
    else if (target.front() == '?')
        address.path = "/" + std::string(target);
    else
        address.path = std::string(target);
    return address;
}

QString ConfiguredUploadUrl()
{
    if (qEnvironmentVariableIsSet("KORVAN_UPLOAD_URL"))
        return qEnvironmentVariable("KORVAN_UPLOAD_URL");
    return QStringLiteral(KORVAN_UPLOAD_URL);
}
