#pragma once

// The simulated cards' public key infrastructure. First generation: a test European key and a
// member-state key under it, whose certificate and the card's (ISO/IEC 9796-2 with message
// recovery, SHA-1) fill EF CA_Certificate and EF Card_Certificate. Second generation: two test roots (the second
// on a larger curve, certified by the first through a link certificate, as the European root
// changes over time), a member-state CA under each, and the card-verifiable certificates that
// bind them. Every key comes from a fixed label, so the roots' certificates are the same on every
// machine (tools/testpki/ holds them for the tests' checker). The identifiers name the nation
// "TST" and can never be taken for a real authority's.

#include "tools/vcard/CardKey.h"
#include "tools/vcard/EcKey.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vcard {

using CertificateReference = std::array<std::uint8_t, 8>;

// Which root the card's member-state CA certificate was signed under.
enum class CertificateChain { FirstRoot, SecondRoot };

struct CvCertificateFields
{
    CertificateReference authority;
    std::uint8_t equipmentType = 0; // last byte of the holder authorisation
    CertificateReference holder;
    std::uint32_t effective = 0; // TimeReal
    std::uint32_t expiration = 0;
};

namespace EquipmentType {
inline constexpr std::uint8_t MemberState = 0; // first generation
inline constexpr std::uint8_t DriverCard = 1;
inline constexpr std::uint8_t Erca = 13;
inline constexpr std::uint8_t MemberStateCa = 14;
inline constexpr std::uint8_t DriverCardSign = 17;
} // namespace EquipmentType

// A first-generation certificate: the 164 bytes CPI 01, CAR, CHA, EOV, CHR, modulus, exponent,
// signed with message recovery by the issuer (128 bytes), the 58 bytes not recovered and the CAR:
// 194 bytes. Empty when signing fails.
struct RsaCertificateFields
{
    CertificateReference authority;
    std::uint8_t equipmentType = 0; // last byte of the holder authorisation FF 'TACHO'
    std::uint32_t endOfValidity = 0xFFFFFFFF; // TimeReal; FFFFFFFF: none
    CertificateReference holder;
};
std::vector<std::uint8_t> rsaCertificate(const CardKey &issuer, const RsaCertificateFields &fields,
                                         const CardKey &subject);

// 7F21 { 7F4E { 5F29 42 5F4C 7F49 { 06 86 } 5F20 5F25 5F24 } 5F37 }, the body signed with the
// issuer's key. Empty when signing fails.
std::vector<std::uint8_t> cvCertificate(const EcKey &issuer, const CvCertificateFields &fields, const EcKey &subject);

class TestPki
{
public:
    static constexpr CertificateReference FirstRootReference{0xFD, 'T', 'S', 'T', 0x01, 0xFF, 0xFF, 0x01};
    static constexpr CertificateReference SecondRootReference{0xFD, 'T', 'S', 'T', 0x02, 0xFF, 0xFF, 0x01};
    static constexpr CertificateReference FirstCaReference{0xFE, 'T', 'S', 'T', 0x11, 0xFF, 0xFF, 0x01};
    static constexpr CertificateReference SecondCaReference{0xFE, 'T', 'S', 'T', 0x12, 0xFF, 0xFF, 0x01};
    static constexpr CertificateReference EuropeanKeyReference{0xFD, 'T', 'S', 'T', 0x00, 0xFF, 0xFF, 0x01};
    static constexpr CertificateReference MemberStateReference{0xFE, 'T', 'S', 'T', 0x10, 0xFF, 0xFF, 0x01};

    // Null only when OpenSSL fails. Made once per process.
    static const TestPki *shared();

    const EcKey &caKey(CertificateChain chain) const;
    const std::vector<std::uint8_t> &caCertificate(CertificateChain chain) const;
    const CertificateReference &caReference(CertificateChain chain) const;

    CardKey europeanKey;
    CardKey memberStateKey;
    std::vector<std::uint8_t> europeanPublicKey; // 144 bytes, the layout of the European public key file
    std::vector<std::uint8_t> memberStateCertificate;

    EcKey firstRoot;
    EcKey secondRoot;
    EcKey firstCa;
    EcKey secondCa;
    std::vector<std::uint8_t> firstRootCertificate; // self-signed
    std::vector<std::uint8_t> secondRootCertificate; // self-signed
    std::vector<std::uint8_t> linkCertificate; // the second root's key under the first
    std::vector<std::uint8_t> firstCaCertificate;
    std::vector<std::uint8_t> secondCaCertificate;

private:
    TestPki(CardKey european, CardKey memberState, EcKey firstRootKey, EcKey secondRootKey, EcKey firstCaKey,
            EcKey secondCaKey);
};

} // namespace vcard
