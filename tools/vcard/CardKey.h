#pragma once

// The card's RSA-1024 signing key (public exponent 65537), made from the seed so that the same
// seed gives the same key and tests can verify every signature of a download.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/types.h>

namespace vcard {

class CardKey
{
public:
    static constexpr std::size_t ModulusBytes = 128;
    using Sha1Hash = std::array<std::uint8_t, 20>;

    // No value only when OpenSSL fails.
    static std::optional<CardKey> fromSeed(std::uint64_t seed);

    // RSASSA-PKCS1-v1_5 over a SHA-1 hash: DigestInfo + hash, padded to 128 bytes and signed.
    // Empty when OpenSSL fails.
    std::vector<std::uint8_t> signHash(const Sha1Hash &hash) const;

    // The private operation on a value below the modulus, without padding: what an authority
    // does to sign a certificate with message recovery. Empty when OpenSSL fails.
    std::vector<std::uint8_t> privateOperation(const std::vector<std::uint8_t> &value) const;
    // Big-endian, 128 and 8 bytes: the layout of certificates and of a European public key file.
    std::vector<std::uint8_t> modulusBytes() const;
    std::vector<std::uint8_t> exponentBytes() const;

    std::string publicKeyPem() const;
    std::string modulusHex() const;
    std::string exponentHex() const;

private:
    explicit CardKey(std::shared_ptr<EVP_PKEY> key);
    std::shared_ptr<EVP_PKEY> m_key;
};

} // namespace vcard
