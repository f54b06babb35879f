#include "cardmodel/CvCertificateContent.h"

#include "cardmodel/DerReader.h"

#include <algorithm>

namespace {

constexpr std::uint16_t CertificateTag = 0x7F21;
constexpr std::uint16_t BodyTag = 0x7F4E;
constexpr std::uint16_t ProfileTag = 0x5F29;
constexpr std::uint16_t AuthorityReferenceTag = 0x42;
constexpr std::uint16_t AuthorisationTag = 0x5F4C;
constexpr std::uint16_t PublicKeyTag = 0x7F49;
constexpr std::uint16_t DomainParametersTag = 0x06;
constexpr std::uint16_t PublicPointTag = 0x86;
constexpr std::uint16_t HolderReferenceTag = 0x5F20;
constexpr std::uint16_t EffectiveDateTag = 0x5F25;
constexpr std::uint16_t ExpirationDateTag = 0x5F24;
constexpr std::uint16_t SignatureTag = 0x5F37;
constexpr std::uint8_t ProfileVersion1 = 0x00;

std::uint32_t bigEndian32(std::span<const std::uint8_t> bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

template<std::size_t N>
std::array<std::uint8_t, N> toArray(std::span<const std::uint8_t> bytes)
{
    std::array<std::uint8_t, N> array{};
    std::copy_n(bytes.begin(), N, array.begin());
    return array;
}

std::vector<std::uint8_t> toVector(std::span<const std::uint8_t> bytes)
{
    return {bytes.begin(), bytes.end()};
}

} // namespace

std::optional<CvCertificateContent> CvCertificateContent::parse(std::span<const std::uint8_t> bytes,
                                                                std::string &problem)
{
    problem = "not a certificate";
    DerReader outer(bytes);
    const std::optional<DerReader::Element> certificate = outer.expect(CertificateTag);
    if (!certificate)
        return std::nullopt;
    const std::span<const std::uint8_t> padding = outer.rest();
    if (!std::all_of(padding.begin(), padding.end(), [](std::uint8_t b) { return b == 0; })) {
        problem = "bytes after the certificate";
        return std::nullopt;
    }

    DerReader parts(certificate->value);
    const std::optional<DerReader::Element> body = parts.expect(BodyTag);
    const std::optional<DerReader::Element> signature = parts.expect(SignatureTag);
    if (!body || !signature || !parts.atEnd())
        return std::nullopt;

    DerReader fields(body->value);
    const std::optional<DerReader::Element> profile = fields.expect(ProfileTag, 1);
    if (!profile || profile->value[0] != ProfileVersion1) {
        problem = "unknown certificate profile";
        return std::nullopt;
    }
    const std::optional<DerReader::Element> authority = fields.expect(AuthorityReferenceTag, 8);
    const std::optional<DerReader::Element> authorisation = fields.expect(AuthorisationTag, 7);
    const std::optional<DerReader::Element> publicKey = fields.expect(PublicKeyTag);
    const std::optional<DerReader::Element> holder = fields.expect(HolderReferenceTag, 8);
    const std::optional<DerReader::Element> effective = fields.expect(EffectiveDateTag, 4);
    const std::optional<DerReader::Element> expiration = fields.expect(ExpirationDateTag, 4);
    if (!authority || !authorisation || !publicKey || !holder || !effective || !expiration || !fields.atEnd())
        return std::nullopt;

    DerReader keyParts(publicKey->value);
    const std::optional<DerReader::Element> domain = keyParts.expect(DomainParametersTag);
    const std::optional<DerReader::Element> point = keyParts.expect(PublicPointTag);
    if (!domain || !point || !keyParts.atEnd())
        return std::nullopt;
    const EcCurve *curve = EcCurve::fromOid(domain->value);
    if (!curve) {
        problem = "unknown curve";
        return std::nullopt;
    }

    CvCertificateContent result;
    result.authorityReference = toArray<8>(authority->value);
    result.holderAuthorisation = toArray<7>(authorisation->value);
    result.holderReference = toArray<8>(holder->value);
    result.effectiveDate = bigEndian32(effective->value);
    result.expirationDate = bigEndian32(expiration->value);
    result.curve = curve;
    result.publicPoint = toVector(point->value);
    result.body = toVector(body->whole);
    result.signature = toVector(signature->value);
    problem.clear();
    return result;
}

const EcCurve *CvCertificateContent::curveOf(std::span<const std::uint8_t> bytes)
{
    std::string problem;
    const std::optional<CvCertificateContent> certificate = parse(bytes, problem);
    return certificate ? certificate->curve : nullptr;
}
