#pragma once

// Key pairs of a made-up tachograph PKI for the verifier's tests, with the signing operations the
// real authorities and cards perform. Written apart from the verifier on purpose: a mistake made
// in one is not repeated in the other.

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// An RSA key of 1024 bits with exponent 65537.
class RsaKeyPair
{
public:
    RsaKeyPair();

    std::array<std::uint8_t, 128> modulus() const;
    std::array<std::uint8_t, 8> exponent() const;

    // The private operation on a value below the modulus (no padding).
    Bytes privateOperation(std::span<const std::uint8_t> value) const;

    // RSASSA-PKCS1-v1_5 with SHA-1, by OpenSSL's own padding.
    Bytes signSha1(std::span<const std::uint8_t> data) const;

private:
    std::shared_ptr<EVP_PKEY> m_key;
};

// An EC key on a named curve.
class EcKeyPair
{
public:
    // groupName as OpenSSL names it: "brainpoolP256r1", "prime256v1", "secp384r1", ...
    explicit EcKeyPair(const std::string &groupName);

    // Content octets of the curve's OBJECT IDENTIFIER.
    Bytes curveOid() const;
    // 04 || x || y
    Bytes publicPoint() const;
    // r || s, each of the order's size, over the hash the key size calls for.
    Bytes signPlain(std::span<const std::uint8_t> data) const;

private:
    std::string m_group;
    std::shared_ptr<EVP_PKEY> m_key;
};
