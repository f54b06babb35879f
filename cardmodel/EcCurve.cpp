#include "cardmodel/EcCurve.h"

#include <algorithm>

namespace {

constexpr std::uint8_t NistP256Oid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::uint8_t BrainpoolP256r1Oid[] = {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07};
constexpr std::uint8_t NistP384Oid[] = {0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr std::uint8_t BrainpoolP384r1Oid[] = {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B};
constexpr std::uint8_t BrainpoolP512r1Oid[] = {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D};
constexpr std::uint8_t NistP521Oid[] = {0x2B, 0x81, 0x04, 0x00, 0x23};

const EcCurve Curves[] = {
        {"NIST P-256", "prime256v1", NistP256Oid, 32, 32, 256},
        {"brainpoolP256r1", "brainpoolP256r1", BrainpoolP256r1Oid, 32, 32, 256},
        {"NIST P-384", "secp384r1", NistP384Oid, 48, 48, 384},
        {"brainpoolP384r1", "brainpoolP384r1", BrainpoolP384r1Oid, 48, 48, 384},
        {"brainpoolP512r1", "brainpoolP512r1", BrainpoolP512r1Oid, 64, 64, 512},
        {"NIST P-521", "secp521r1", NistP521Oid, 66, 66, 521},
};

} // namespace

EcCurve::Hash EcCurve::hash() const
{
    if (keyBits <= 256)
        return Hash::Sha256;
    if (keyBits <= 384)
        return Hash::Sha384;
    return Hash::Sha512;
}

const EcCurve *EcCurve::fromOid(std::span<const std::uint8_t> oid)
{
    for (const EcCurve &curve : Curves)
        if (std::equal(oid.begin(), oid.end(), curve.oid.begin(), curve.oid.end()))
            return &curve;
    return nullptr;
}

bool EcCurve::isSignatureLength(std::size_t length)
{
    return std::any_of(std::begin(Curves), std::end(Curves),
                       [length](const EcCurve &curve) { return curve.signatureLength() == length; });
}
