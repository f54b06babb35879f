#pragma once

// A whole made-up PKI of both generations, and downloads of a driver card signed under it, as the
// card and the product would write them. The European key and the first root carry the same
// identifiers as the real European ones, so that a test can check that a download under this PKI
// never passes for one under the real roots.

#include "FixtureCertificates.h"

#include "verify/TrustStore.h"

#include <chrono>
#include <cstdint>

class FixturePki
{
public:
    // Made once per process: key generation takes a while.
    static const FixturePki &shared();

    // First generation.
    RsaKeyPair europeanKey;
    RsaKeyPair memberStateKey;
    RsaKeyPair otherMemberStateKey;
    RsaKeyPair cardKey;
    RsaKeyPair otherCardKey;
    Bytes europeanPublicKey; // 144 bytes, as EC_PK.bin
    Bytes caCertificate;
    Bytes otherCaCertificate; // another member state under the same European key
    Bytes cardCertificate;
    Bytes otherCardCertificate; // another card of the same member state

    // Second generation.
    EcKeyPair firstRootKey{"brainpoolP256r1"};
    EcKeyPair secondRootKey{"brainpoolP384r1"};
    EcKeyPair memberStateCaKey{"brainpoolP256r1"};
    EcKeyPair laterMemberStateCaKey{"brainpoolP384r1"};
    EcKeyPair cardSignKey{"brainpoolP256r1"};
    EcKeyPair otherCardSignKey{"brainpoolP256r1"};
    EcKeyPair laterCardSignKey{"brainpoolP384r1"};
    Bytes firstRootCertificate;
    Bytes secondRootCertificate;
    Bytes linkCertificate; // the second root's key under the first root
    Bytes memberStateCaCertificate; // under the first root
    Bytes laterMemberStateCaCertificate; // under the second root
    Bytes cardSignCertificate;
    Bytes otherCardSignCertificate;
    Bytes cardMaCertificate; // the card's certificate for mutual authentication: not for signing
    Bytes laterCardSignCertificate; // under the later member-state certificate

    // A store that trusts this PKI's European key and first root as roots of the given kind.
    TrustStore trust(RootKind kind) const;

    static constexpr Reference EuropeanKeyIdentifier{0xFD, 0x45, 0x43, 0x20, 0x00, 0xFF, 0xFF, 0x01};
    static constexpr Reference FirstRootReference{0xFD, 0x45, 0x43, 0x20, 0x01, 0xFF, 0xFF, 0x01};
    static constexpr Reference SecondRootReference{0xFD, 0x45, 0x43, 0x20, 0x02, 0xFF, 0xFF, 0x01};

private:
    FixturePki();
};

struct DownloadOptions
{
    bool secondGeneration = true;
    bool throughLink = false; // the card's second-generation chain runs through the link certificate
    std::size_t largestFile = SIZE_MAX; // cut every application file to this size
    std::size_t filesPerGeneration = SIZE_MAX; // the first files of each application only
};

// A version 2 driver card's download with every file at its largest size, in the product's order.
Bytes fixtureDownload(const DownloadOptions &options = {});

// A moment when every certificate of the fixture is valid.
std::chrono::sys_seconds fixtureDownloadTime();
// Validity dates of the fixture's certificates.
std::chrono::sys_seconds fixtureTime(int year, unsigned month, unsigned day);
