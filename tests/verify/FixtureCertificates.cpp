#include "FixtureCertificates.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace FixtureCertificates {

namespace {

void append(Bytes &to, std::span<const std::uint8_t> bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

void appendBigEndian32(Bytes &to, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        to.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A DER element with a one- or two-byte tag.
Bytes element(std::uint16_t tag, std::span<const std::uint8_t> value)
{
    Bytes coded;
    if (tag > 0xFF)
        coded.push_back(static_cast<std::uint8_t>(tag >> 8));
    coded.push_back(static_cast<std::uint8_t>(tag));
    const std::size_t size = value.size();
    if (size < 0x80) {
        coded.push_back(static_cast<std::uint8_t>(size));
    } else if (size < 0x100) {
        coded.push_back(0x81);
        coded.push_back(static_cast<std::uint8_t>(size));
    } else {
        coded.push_back(0x82);
        coded.push_back(static_cast<std::uint8_t>(size >> 8));
        coded.push_back(static_cast<std::uint8_t>(size));
    }
    append(coded, value);
    return coded;
}

Bytes sha1(std::span<const std::uint8_t> data)
{
    Bytes hash(20);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), hash.data(), &size, EVP_sha1(), nullptr) != 1 || size != 20)
        throw std::runtime_error("SHA-1");
    return hash;
}

} // namespace

Authorisation firstGeneration(std::uint8_t equipmentType)
{
    return {0xFF, 'T', 'A', 'C', 'H', 'O', equipmentType};
}

Authorisation secondGeneration(std::uint8_t equipmentType)
{
    return {0xFF, 'S', 'M', 'R', 'D', 'T', equipmentType};
}

Bytes rsaCertificate(const RsaKeyPair &issuer, const RsaFields &fields, const RsaKeyPair &subject)
{
    Bytes content{0x01};
    append(content, fields.authority);
    append(content, fields.authorisation);
    appendBigEndian32(content, fields.endOfValidity);
    append(content, fields.holder);
    append(content, subject.modulus());
    append(content, subject.exponent());

    const std::span<const std::uint8_t> recoverable = std::span(content).first(106);
    const std::span<const std::uint8_t> remainder = std::span(content).subspan(106);
    Bytes representative{0x6A};
    append(representative, recoverable);
    append(representative, sha1(content));
    representative.push_back(0xBC);

    Bytes certificate = issuer.privateOperation(representative);
    append(certificate, remainder);
    append(certificate, fields.authority);
    return certificate;
}

Bytes rsaRootKey(const Reference &keyIdentifier, const RsaKeyPair &key)
{
    Bytes file(keyIdentifier.begin(), keyIdentifier.end());
    append(file, key.modulus());
    append(file, key.exponent());
    return file;
}

Bytes cvCertificate(const EcKeyPair &issuer, const CvFields &fields, const EcKeyPair &subject)
{
    Bytes publicKey = element(0x06, subject.curveOid());
    append(publicKey, element(0x86, subject.publicPoint()));

    Bytes effective;
    appendBigEndian32(effective, fields.effective);
    Bytes expiration;
    appendBigEndian32(expiration, fields.expiration);

    Bytes bodyContent = element(0x5F29, std::array<std::uint8_t, 1>{0x00});
    append(bodyContent, element(0x42, fields.authority));
    append(bodyContent, element(0x5F4C, fields.authorisation));
    append(bodyContent, element(0x7F49, publicKey));
    append(bodyContent, element(0x5F20, fields.holder));
    append(bodyContent, element(0x5F25, effective));
    append(bodyContent, element(0x5F24, expiration));
    const Bytes body = element(0x7F4E, bodyContent);

    Bytes certificateContent = body;
    append(certificateContent, element(0x5F37, issuer.signPlain(body)));
    return element(0x7F21, certificateContent);
}

} // namespace FixtureCertificates
