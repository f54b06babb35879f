#include "verify/CvCertificate.h"

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

struct Element
{
    std::uint16_t tag = 0;
    std::span<const std::uint8_t> whole; // tag, length and value
    std::span<const std::uint8_t> value;
};

// Reads DER elements one after the other from a run of bytes; tags of one or two bytes, lengths
// of one to three bytes in their shortest form, as certificates use them.
class ElementReader
{
public:
    explicit ElementReader(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    { }

    bool atEnd() const { return m_position == m_bytes.size(); }
    std::span<const std::uint8_t> rest() const { return m_bytes.subspan(m_position); }

    std::optional<Element> next()
    {
        const std::size_t start = m_position;
        std::uint16_t tag = 0;
        std::uint8_t first = 0;
        if (!take(first))
            return std::nullopt;
        tag = first;
        if ((first & 0x1F) == 0x1F) {
            std::uint8_t second = 0;
            if (!take(second) || (second & 0x80) != 0)
                return std::nullopt;
            tag = static_cast<std::uint16_t>(first << 8 | second);
        }
        std::uint8_t lengthByte = 0;
        if (!take(lengthByte))
            return std::nullopt;
        std::size_t length = lengthByte;
        if (lengthByte == 0x81) {
            std::uint8_t b = 0;
            if (!take(b) || b < 0x80)
                return std::nullopt;
            length = b;
        } else if (lengthByte == 0x82) {
            std::uint8_t high = 0;
            std::uint8_t low = 0;
            if (!take(high) || !take(low) || high == 0)
                return std::nullopt;
            length = std::size_t{high} << 8 | low;
        } else if (lengthByte >= 0x80) {
            return std::nullopt;
        }
        if (length > m_bytes.size() - m_position)
            return std::nullopt;
        Element element;
        element.tag = tag;
        element.value = m_bytes.subspan(m_position, length);
        m_position += length;
        element.whole = m_bytes.subspan(start, m_position - start);
        return element;
    }

    // The next element when it has the tag (and, when given, the size of its value).
    std::optional<Element> expect(std::uint16_t tag, std::size_t size = 0)
    {
        std::optional<Element> element = next();
        if (!element || element->tag != tag || (size != 0 && element->value.size() != size))
            return std::nullopt;
        return element;
    }

private:
    bool take(std::uint8_t &byte)
    {
        if (m_position >= m_bytes.size())
            return false;
        byte = m_bytes[m_position++];
        return true;
    }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_position = 0;
};

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

} // namespace

std::optional<CvCertificate> CvCertificate::parse(std::span<const std::uint8_t> bytes, std::string &problem)
{
    problem = "not a certificate";
    ElementReader outer(bytes);
    const std::optional<Element> certificate = outer.expect(CertificateTag);
    if (!certificate)
        return std::nullopt;
    const std::span<const std::uint8_t> padding = outer.rest();
    if (!std::all_of(padding.begin(), padding.end(), [](std::uint8_t b) { return b == 0; })) {
        problem = "bytes after the certificate";
        return std::nullopt;
    }

    ElementReader parts(certificate->value);
    const std::optional<Element> body = parts.expect(BodyTag);
    const std::optional<Element> signature = parts.expect(SignatureTag);
    if (!body || !signature || !parts.atEnd())
        return std::nullopt;

    ElementReader fields(body->value);
    const std::optional<Element> profile = fields.expect(ProfileTag, 1);
    if (!profile || profile->value[0] != ProfileVersion1) {
        problem = "unknown certificate profile";
        return std::nullopt;
    }
    const std::optional<Element> authority = fields.expect(AuthorityReferenceTag, 8);
    const std::optional<Element> authorisation = fields.expect(AuthorisationTag, 7);
    const std::optional<Element> publicKey = fields.expect(PublicKeyTag);
    const std::optional<Element> holder = fields.expect(HolderReferenceTag, 8);
    const std::optional<Element> effective = fields.expect(EffectiveDateTag, 4);
    const std::optional<Element> expiration = fields.expect(ExpirationDateTag, 4);
    if (!authority || !authorisation || !publicKey || !holder || !effective || !expiration || !fields.atEnd())
        return std::nullopt;

    ElementReader keyParts(publicKey->value);
    const std::optional<Element> domain = keyParts.expect(DomainParametersTag);
    const std::optional<Element> point = keyParts.expect(PublicPointTag);
    if (!domain || !point || !keyParts.atEnd())
        return std::nullopt;
    const EcCurve *curve = EcCurve::fromOid(domain->value);
    if (!curve) {
        problem = "unknown curve";
        return std::nullopt;
    }
    std::optional<EcPublicKey> key = EcPublicKey::fromPoint(*curve, point->value);
    if (!key) {
        problem = "public key is not a point on its curve";
        return std::nullopt;
    }

    CvCertificate result(std::move(*key), std::vector<std::uint8_t>(body->whole.begin(), body->whole.end()),
                         std::vector<std::uint8_t>(signature->value.begin(), signature->value.end()));
    result.authorityReference = toArray<8>(authority->value);
    result.holderAuthorisation = toArray<7>(authorisation->value);
    result.holderReference = toArray<8>(holder->value);
    result.effectiveDate = bigEndian32(effective->value);
    result.expirationDate = bigEndian32(expiration->value);
    problem.clear();
    return result;
}
