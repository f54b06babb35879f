#pragma once

// A second-generation card-verifiable certificate whose public key is a point on its curve: what
// the certificate says, with a key that can check the signatures it made.

#include "cardmodel/CvCertificateContent.h"
#include "verify/EcPublicKey.h"

#include <optional>
#include <span>
#include <string>

class CvCertificate : public CvCertificateContent
{
public:
    // Exactly one certificate, optionally followed by zero bytes (an elementary file larger than
    // its certificate); otherwise nothing and the reason in `problem`.
    static std::optional<CvCertificate> parse(std::span<const std::uint8_t> bytes, std::string &problem);

    bool isSignedBy(const EcPublicKey &issuer) const { return issuer.verify(body, signature); }

    EcPublicKey publicKey;

private:
    CvCertificate(CvCertificateContent content, EcPublicKey key)
        : CvCertificateContent(std::move(content))
        , publicKey(std::move(key))
    { }
};
