#pragma once

// A first-generation RSA public key: a 1024-bit modulus and an exponent of up to 64 bits, as
// certificates and the European public key carry them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

typedef struct evp_pkey_st EVP_PKEY;

class RsaPublicKey
{
public:
    static constexpr std::size_t ModulusSize = 128;
    static constexpr std::size_t ExponentSize = 8;
    using Block = std::array<std::uint8_t, ModulusSize>;

    // No key when the modulus is not of 1024 bits or the exponent is no odd number from 3 up.
    static std::optional<RsaPublicKey> fromNumbers(std::span<const std::uint8_t> modulus,
                                                   std::span<const std::uint8_t> exponent);

    // The raw public operation on a 128-byte value; nothing when the value is not below the
    // modulus.
    std::optional<Block> open(std::span<const std::uint8_t> value) const;

    // A signature over data: the opened block must be exactly the PKCS #1 v1.5 block of the
    // SHA-1 hash of the data.
    bool verifySha1Signature(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) const;

private:
    explicit RsaPublicKey(std::shared_ptr<EVP_PKEY> key)
        : m_key(std::move(key))
    { }

    std::shared_ptr<EVP_PKEY> m_key;
};
