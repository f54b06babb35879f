#pragma once

// What a second-generation card-verifiable certificate says: a DER-coded body (profile, issuer
// reference, holder authorisation, public key on a named curve, holder reference, effective and
// expiration dates) and an ECDSA signature over the whole coded body. Whether the key is a point
// on its curve and whether the signature holds is the verifier's to check.

#include "cardmodel/EcCurve.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct CvCertificateContent
{
    using Reference = std::array<std::uint8_t, 8>;
    using Authorisation = std::array<std::uint8_t, 7>;

    // Exactly one certificate, optionally followed by zero bytes (an elementary file larger than
    // its certificate); otherwise nothing and the reason in `problem`.
    static std::optional<CvCertificateContent> parse(std::span<const std::uint8_t> bytes, std::string &problem);

    // The curve of the key of the certificate in the bytes; null when they hold no certificate.
    static const EcCurve *curveOf(std::span<const std::uint8_t> bytes);

    Reference authorityReference{}; // CAR
    Authorisation holderAuthorisation{}; // CHA
    Reference holderReference{}; // CHR
    std::uint32_t effectiveDate = 0; // seconds since 1970 (UTC)
    std::uint32_t expirationDate = 0;
    const EcCurve *curve = nullptr; // never null in a parsed certificate
    std::vector<std::uint8_t> publicPoint;
    std::vector<std::uint8_t> body; // with its tag and length: what the signature covers
    std::vector<std::uint8_t> signature;

    std::uint8_t equipmentType() const { return holderAuthorisation.back(); }
};
