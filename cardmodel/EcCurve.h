#pragma once

// The elliptic curves a second-generation certificate may name, with the sizes and the hash that
// go with each key size.

#include <cstddef>
#include <cstdint>
#include <span>

struct EcCurve
{
    enum class Hash { Sha256, Sha384, Sha512 };

    const char *name; // as the lines show it
    const char *groupName; // OpenSSL's name of the group
    std::span<const std::uint8_t> oid; // content octets of the OBJECT IDENTIFIER
    std::size_t coordinateSize; // bytes of x and of y in an uncompressed point
    std::size_t orderSize; // bytes of r and of s in a plain signature
    int keyBits;

    // SHA-256 for 256-bit keys, SHA-384 for 384, SHA-512 for 512 and 521.
    Hash hash() const;
    // A plain signature: r and s, each as long as the curve's order.
    std::size_t signatureLength() const { return 2 * orderSize; }

    // The curve named by an OBJECT IDENTIFIER's content, or null.
    static const EcCurve *fromOid(std::span<const std::uint8_t> oid);
    // Whether a signature of that length can come from a key on one of the curves.
    static bool isSignatureLength(std::size_t length);
};
