#pragma once

// A first-generation certificate: 128 bytes of signature with partial message recovery, the
// 58 bytes of content that the signature does not hold, and the issuer's reference. Opening the
// signature with the issuer's key gives the rest of the content and its SHA-1 hash.

#include "verify/RsaPublicKey.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

class RsaCertificate
{
public:
    static constexpr std::size_t Size = 194;
    static constexpr std::size_t ReferenceSize = 8;
    using Reference = std::array<std::uint8_t, ReferenceSize>;
    using Authorisation = std::array<std::uint8_t, 7>;

    // The issuer reference appended after the signature, to find the issuer's key; not yet
    // vouched for by anything. Requires a certificate of Size bytes.
    static Reference appendedAuthorityReference(std::span<const std::uint8_t> certificate);

    enum class Problem { None, Size, Signature, Profile, Key, Reference };
    static const char *problemText(Problem problem);

    // The content when the signature opens with the issuer's key and the hash matches; otherwise
    // nothing and the reason in `problem`.
    static std::optional<RsaCertificate> recover(std::span<const std::uint8_t> certificate, const RsaPublicKey &issuer,
                                                 Problem &problem);

    Reference authorityReference{}; // CAR, as signed
    Authorisation holderAuthorisation{}; // CHA: application identifier and equipment type
    std::uint32_t endOfValidity = 0; // EOV, seconds since 1970 (UTC)
    bool hasEndOfValidity = false; // false when EOV is 'FF' padded
    Reference holderReference{}; // CHR
    RsaPublicKey publicKey;

private:
    explicit RsaCertificate(RsaPublicKey key)
        : publicKey(std::move(key))
    { }
};
