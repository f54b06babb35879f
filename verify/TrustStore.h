#pragma once

// The roots a download's certificates may chain to. The built-in store holds the European roots
// compiled into the library, and test roots only when the build was configured to embed them;
// nothing read at run time (a card, a file, settings, the environment) can add one. Tests bring
// their own roots through a store of their own.

#include "verify/CvCertificate.h"
#include "verify/RsaPublicKey.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

enum class RootKind { European, Test };

struct FirstGenerationRoot
{
    std::array<std::uint8_t, 8> keyIdentifier;
    RsaPublicKey key;
    RootKind kind;
};

struct SecondGenerationRoot
{
    CvCertificate certificate;
    RootKind kind;
};

class TrustStore
{
public:
    // The roots built into the library.
    static const TrustStore &builtIn();

    // A first-generation root key as the European public key is published: key identifier
    // (8 bytes), modulus (128 bytes), exponent (8 bytes). False when it is no such key.
    bool addFirstGenerationRoot(std::span<const std::uint8_t> publicKey, RootKind kind);

    // A self-signed second-generation root certificate; false when it is none or its signature
    // does not verify with its own key.
    bool addSecondGenerationRoot(std::span<const std::uint8_t> certificate, RootKind kind);

    const std::vector<FirstGenerationRoot> &firstGenerationRoots() const { return m_first; }
    const std::vector<SecondGenerationRoot> &secondGenerationRoots() const { return m_second; }

private:
    std::vector<FirstGenerationRoot> m_first;
    std::vector<SecondGenerationRoot> m_second;
};
