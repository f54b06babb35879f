#include "tools/vcard/TestPki.h"

#include <openssl/sha.h>

#include <chrono>
#include <optional>

namespace vcard {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::array<std::uint8_t, 6> SecondGenerationApplication{0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54};

void append(Bytes &to, std::span<const std::uint8_t> bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// A DER element with a one- or two-byte tag.
Bytes element(std::uint16_t tag, std::span<const std::uint8_t> value)
{
    Bytes coded;
    if (tag > 0xFF)
        coded.push_back(static_cast<std::uint8_t>(tag >> 8));
    coded.push_back(static_cast<std::uint8_t>(tag));
    const std::size_t size = value.size();
    if (size >= 0x100) {
        coded.push_back(0x82);
        coded.push_back(static_cast<std::uint8_t>(size >> 8));
    } else if (size >= 0x80) {
        coded.push_back(0x81);
    }
    coded.push_back(static_cast<std::uint8_t>(size));
    append(coded, value);
    return coded;
}

Bytes bigEndian32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::uint32_t timeReal(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    const sys_days date{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
    return static_cast<std::uint32_t>(date.time_since_epoch() / seconds(1));
}

} // namespace

Bytes rsaCertificate(const CardKey &issuer, const RsaCertificateFields &fields, const CardKey &subject)
{
    const Bytes modulus = subject.modulusBytes();
    const Bytes exponent = subject.exponentBytes();
    if (modulus.size() != 128 || exponent.size() != 8)
        return {};
    Bytes content{0x01};
    append(content, fields.authority);
    append(content, std::array<std::uint8_t, 7>{0xFF, 'T', 'A', 'C', 'H', 'O', fields.equipmentType});
    append(content, bigEndian32(fields.endOfValidity));
    append(content, fields.holder);
    append(content, modulus);
    append(content, exponent);

    constexpr std::size_t Recovered = 106;
    Bytes representative{0x6A};
    representative.insert(representative.end(), content.begin(), content.begin() + Recovered);
    std::array<std::uint8_t, SHA_DIGEST_LENGTH> hash{};
    SHA1(content.data(), content.size(), hash.data());
    append(representative, hash);
    representative.push_back(0xBC);

    Bytes certificate = issuer.privateOperation(representative);
    if (certificate.empty())
        return {};
    certificate.insert(certificate.end(), content.begin() + Recovered, content.end());
    append(certificate, fields.authority);
    return certificate;
}

Bytes cvCertificate(const EcKey &issuer, const CvCertificateFields &fields, const EcKey &subject)
{
    Bytes publicKey = element(0x06, subject.curveOid());
    append(publicKey, element(0x86, subject.publicPoint()));
    Bytes authorisation(SecondGenerationApplication.begin(), SecondGenerationApplication.end());
    authorisation.push_back(fields.equipmentType);

    Bytes body = element(0x5F29, std::array<std::uint8_t, 1>{0x00});
    append(body, element(0x42, fields.authority));
    append(body, element(0x5F4C, authorisation));
    append(body, element(0x7F49, publicKey));
    append(body, element(0x5F20, fields.holder));
    append(body, element(0x5F25, bigEndian32(fields.effective)));
    append(body, element(0x5F24, bigEndian32(fields.expiration)));
    Bytes certificate = element(0x7F4E, body);
    const Bytes signature = issuer.sign(certificate);
    if (signature.empty())
        return {};
    append(certificate, element(0x5F37, signature));
    return element(0x7F21, certificate);
}

TestPki::TestPki(CardKey european, CardKey memberState, EcKey firstRootKey, EcKey secondRootKey, EcKey firstCaKey,
                 EcKey secondCaKey)
    : europeanKey(std::move(european))
    , memberStateKey(std::move(memberState))
    , firstRoot(std::move(firstRootKey))
    , secondRoot(std::move(secondRootKey))
    , firstCa(std::move(firstCaKey))
    , secondCa(std::move(secondCaKey))
{
    using namespace EquipmentType;
    europeanPublicKey.assign(EuropeanKeyReference.begin(), EuropeanKeyReference.end());
    append(europeanPublicKey, europeanKey.modulusBytes());
    append(europeanPublicKey, europeanKey.exponentBytes());
    memberStateCertificate =
            rsaCertificate(europeanKey, {EuropeanKeyReference, MemberState, timeReal(2040, 1, 1), MemberStateReference},
                           memberStateKey);
    firstRootCertificate = cvCertificate(
            firstRoot, {FirstRootReference, Erca, FirstRootReference, timeReal(2024, 1, 1), timeReal(2058, 1, 1)},
            firstRoot);
    secondRootCertificate = cvCertificate(
            secondRoot, {SecondRootReference, Erca, SecondRootReference, timeReal(2025, 1, 1), timeReal(2059, 1, 1)},
            secondRoot);
    linkCertificate = cvCertificate(
            firstRoot, {FirstRootReference, Erca, SecondRootReference, timeReal(2025, 1, 1), timeReal(2042, 1, 1)},
            secondRoot);
    firstCaCertificate = cvCertificate(
            firstRoot,
            {FirstRootReference, MemberStateCa, FirstCaReference, timeReal(2024, 1, 1), timeReal(2041, 1, 1)}, firstCa);
    secondCaCertificate = cvCertificate(
            secondRoot,
            {SecondRootReference, MemberStateCa, SecondCaReference, timeReal(2025, 1, 1), timeReal(2042, 1, 1)},
            secondCa);
}

const TestPki *TestPki::shared()
{
    static const std::optional<TestPki> pki = []() -> std::optional<TestPki> {
        // Seeds far from the cards' (which are small numbers) and from each other.
        auto european = CardKey::fromSeed(0x7465737445430001ull);
        auto memberState = CardKey::fromSeed(0x746573744D530001ull);
        auto firstRootKey = EcKey::fromLabel(EcCurve::BrainpoolP256r1, "korvan test root 1");
        auto secondRootKey = EcKey::fromLabel(EcCurve::BrainpoolP384r1, "korvan test root 2");
        auto firstCaKey = EcKey::fromLabel(EcCurve::BrainpoolP256r1, "korvan test member-state CA 1");
        auto secondCaKey = EcKey::fromLabel(EcCurve::BrainpoolP384r1, "korvan test member-state CA 2");
        if (!european || !memberState || !firstRootKey || !secondRootKey || !firstCaKey || !secondCaKey)
            return std::nullopt;
        TestPki made(std::move(*european), std::move(*memberState), std::move(*firstRootKey), std::move(*secondRootKey),
                     std::move(*firstCaKey), std::move(*secondCaKey));
        if (made.europeanPublicKey.size() != 144 || made.memberStateCertificate.size() != 194
            || made.firstRootCertificate.empty() || made.secondRootCertificate.empty() || made.linkCertificate.empty()
            || made.firstCaCertificate.empty() || made.secondCaCertificate.empty())
            return std::nullopt;
        return made;
    }();
    return pki ? &*pki : nullptr;
}

const EcKey &TestPki::caKey(CertificateChain chain) const
{
    return chain == CertificateChain::FirstRoot ? firstCa : secondCa;
}

const std::vector<std::uint8_t> &TestPki::caCertificate(CertificateChain chain) const
{
    return chain == CertificateChain::FirstRoot ? firstCaCertificate : secondCaCertificate;
}

const CertificateReference &TestPki::caReference(CertificateChain chain) const
{
    return chain == CertificateChain::FirstRoot ? FirstCaReference : SecondCaReference;
}

} // namespace vcard
