#pragma once

// The elliptic curves a second-generation certificate may name, with the sizes and the hash that
// go with each key size.

#include <cstddef>
#include <cstdint>
#include <span>

typedef struct evp_md_st EVP_MD;

struct EcCurve
{
    const char *name; // as the lines show it
    const char *groupName; // OpenSSL's name of the group
    std::span<const std::uint8_t> oid; // content octets of the OBJECT IDENTIFIER
    std::size_t coordinateSize; // bytes of x and of y in an uncompressed point
    std::size_t orderSize; // bytes of r and of s in a plain signature
    int keyBits;

    // SHA-256 for 256-bit keys, SHA-384 for 384, SHA-512 for 512 and 521.
    const EVP_MD *hash() const;

    // The curve named by an OBJECT IDENTIFIER's content, or null.
    static const EcCurve *fromOid(std::span<const std::uint8_t> oid);
};
