#include "verify/CvCertificate.h"

std::optional<CvCertificate> CvCertificate::parse(std::span<const std::uint8_t> bytes, std::string &problem)
{
    std::optional<CvCertificateContent> content = CvCertificateContent::parse(bytes, problem);
    if (!content)
        return std::nullopt;
    std::optional<EcPublicKey> key = EcPublicKey::fromPoint(*content->curve, content->publicPoint);
    if (!key) {
        problem = "public key is not a point on its curve";
        return std::nullopt;
    }
    return CvCertificate(std::move(*content), std::move(*key));
}
