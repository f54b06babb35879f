#pragma once

// Certificates of the made-up PKI, coded as the authorities code them: first-generation
// certificates with ISO/IEC 9796-2 partial message recovery, second-generation card-verifiable
// certificates in DER with a plain ECDSA signature.

#include "FixtureKeys.h"

#include <array>
#include <cstdint>

using Reference = std::array<std::uint8_t, 8>;
using Authorisation = std::array<std::uint8_t, 7>;

namespace FixtureCertificates {

inline constexpr std::uint32_t NoEndOfValidity = 0xFFFFFFFF;

// Holder authorisations.
Authorisation firstGeneration(std::uint8_t equipmentType);
Authorisation secondGeneration(std::uint8_t equipmentType);

struct RsaFields
{
    Reference authority;
    Authorisation authorisation;
    std::uint32_t endOfValidity;
    Reference holder;
};

Bytes rsaCertificate(const RsaKeyPair &issuer, const RsaFields &fields, const RsaKeyPair &subject);

// A first-generation root key file: key identifier, modulus, exponent (144 bytes).
Bytes rsaRootKey(const Reference &keyIdentifier, const RsaKeyPair &key);

struct CvFields
{
    Reference authority;
    Authorisation authorisation;
    Reference holder;
    std::uint32_t effective;
    std::uint32_t expiration;
};

Bytes cvCertificate(const EcKeyPair &issuer, const CvFields &fields, const EcKeyPair &subject);

} // namespace FixtureCertificates
