#pragma once

// A second-generation public key: a point on one of the named curves. Signatures are ECDSA in the
// plain format (r and s, each of the curve order's size), over the hash that the key size calls for.

#include "cardmodel/EcCurve.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

typedef struct evp_pkey_st EVP_PKEY;

class EcPublicKey
{
public:
    // No key when the point is not an uncompressed point on the curve.
    static std::optional<EcPublicKey> fromPoint(const EcCurve &curve, std::span<const std::uint8_t> point);

    const EcCurve &curve() const { return *m_curve; }

    bool verify(std::span<const std::uint8_t> message, std::span<const std::uint8_t> plainSignature) const;

private:
    EcPublicKey(const EcCurve &curve, std::shared_ptr<EVP_PKEY> key)
        : m_curve(&curve)
        , m_key(std::move(key))
    { }

    const EcCurve *m_curve;
    std::shared_ptr<EVP_PKEY> m_key;
};
