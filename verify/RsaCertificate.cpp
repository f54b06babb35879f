#include "verify/RsaCertificate.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

constexpr std::size_t SignatureSize = 128;
constexpr std::size_t RemainderSize = 58; // Cn'
constexpr std::size_t RecoveredSize = 106; // Cr'
constexpr std::size_t HashSize = 20;
constexpr std::size_t ContentSize = RecoveredSize + RemainderSize;
constexpr std::uint8_t ProfileIdentifier = 0x01;

std::uint32_t bigEndian32(const std::uint8_t *bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

} // namespace

RsaCertificate::Reference RsaCertificate::appendedAuthorityReference(std::span<const std::uint8_t> certificate)
{
    Reference reference{};
    if (certificate.size() == Size)
        std::copy(certificate.end() - ReferenceSize, certificate.end(), reference.begin());
    return reference;
}

std::optional<RsaCertificate> RsaCertificate::recover(std::span<const std::uint8_t> certificate,
                                                      const RsaPublicKey &issuer, Problem &problem)
{
    if (certificate.size() != Size) {
        problem = Problem::Size;
        return std::nullopt;
    }
    const std::optional<RsaPublicKey::Block> opened = issuer.open(certificate.first(SignatureSize));
    if (!opened || opened->front() != 0x6A || opened->back() != 0xBC) {
        problem = Problem::Signature;
        return std::nullopt;
    }

    std::array<std::uint8_t, ContentSize> content;
    std::copy_n(opened->begin() + 1, RecoveredSize, content.begin());
    std::copy_n(certificate.begin() + SignatureSize, RemainderSize, content.begin() + RecoveredSize);
    std::array<std::uint8_t, HashSize> hash;
    unsigned int hashSize = 0;
    if (EVP_Digest(content.data(), content.size(), hash.data(), &hashSize, EVP_sha1(), nullptr) != 1
        || hashSize != HashSize || !std::equal(hash.begin(), hash.end(), opened->begin() + 1 + RecoveredSize)) {
        problem = Problem::Signature;
        return std::nullopt;
    }

    // CPI 1, CAR 8, CHA 7, EOV 4, CHR 8, modulus 128, exponent 8.
    const std::uint8_t *field = content.data();
    if (field[0] != ProfileIdentifier) {
        problem = Problem::Profile;
        return std::nullopt;
    }
    std::optional<RsaPublicKey> key =
            RsaPublicKey::fromNumbers(std::span(field + 28, RsaPublicKey::ModulusSize),
                                      std::span(field + 164 - RsaPublicKey::ExponentSize, RsaPublicKey::ExponentSize));
    if (!key) {
        problem = Problem::Key;
        return std::nullopt;
    }
    RsaCertificate result(std::move(*key));
    std::copy_n(field + 1, ReferenceSize, result.authorityReference.begin());
    std::copy_n(field + 9, result.holderAuthorisation.size(), result.holderAuthorisation.begin());
    result.hasEndOfValidity = !std::all_of(field + 16, field + 20, [](std::uint8_t b) { return b == 0xFF; });
    result.endOfValidity = bigEndian32(field + 16);
    std::copy_n(field + 20, ReferenceSize, result.holderReference.begin());

    // The appended reference only selects the issuer's key; the signed one must say the same.
    if (result.authorityReference != appendedAuthorityReference(certificate)) {
        problem = Problem::Reference;
        return std::nullopt;
    }
    problem = Problem::None;
    return result;
}

const char *RsaCertificate::problemText(Problem problem)
{
    switch (problem) {
    case Problem::None:
        return "verified";
    case Problem::Size:
        return "not a certificate of 194 bytes";
    case Problem::Signature:
        return "signature does not verify";
    case Problem::Profile:
        return "unknown certificate profile";
    case Problem::Key:
        return "the certified public key is no usable key";
    case Problem::Reference:
        return "the signed issuer reference differs from the appended one";
    }
    return "not verified";
}
