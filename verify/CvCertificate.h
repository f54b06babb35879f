#pragma once

// A second-generation card-verifiable certificate: a DER-coded body (profile, issuer reference,
// holder authorisation, public key on a named curve, holder reference, effective and expiration
// dates) and an ECDSA signature over the whole coded body.

#include "verify/EcPublicKey.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

class CvCertificate
{
public:
    using Reference = std::array<std::uint8_t, 8>;
    using Authorisation = std::array<std::uint8_t, 7>;

    // Exactly one certificate, optionally followed by zero bytes (an elementary file larger than
    // its certificate); otherwise nothing and the reason in `problem`.
    static std::optional<CvCertificate> parse(std::span<const std::uint8_t> bytes, std::string &problem);

    bool isSignedBy(const EcPublicKey &issuer) const { return issuer.verify(m_body, m_signature); }

    Reference authorityReference{}; // CAR
    Authorisation holderAuthorisation{}; // CHA
    Reference holderReference{}; // CHR
    std::uint32_t effectiveDate = 0; // seconds since 1970 (UTC)
    std::uint32_t expirationDate = 0;
    EcPublicKey publicKey;

    std::uint8_t equipmentType() const { return holderAuthorisation.back(); }

private:
    CvCertificate(EcPublicKey key, std::vector<std::uint8_t> body, std::vector<std::uint8_t> signature)
        : publicKey(std::move(key))
        , m_body(std::move(body))
        , m_signature(std::move(signature))
    { }

    std::vector<std::uint8_t> m_body; // with its tag and length: what the signature covers
    std::vector<std::uint8_t> m_signature;
};
