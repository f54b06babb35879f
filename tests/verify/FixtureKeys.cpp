#include "FixtureKeys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/rsa.h>

#include <map>
#include <stdexcept>

namespace {

struct CurveFacts
{
    Bytes oid;
    std::size_t orderSize;
    const EVP_MD *(*hash)();
};

const CurveFacts &facts(const std::string &group)
{
    static const std::map<std::string, CurveFacts> curves = {
            {"prime256v1", {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, 32, EVP_sha256}},
            {"brainpoolP256r1", {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}, 32, EVP_sha256}},
            {"secp384r1", {{0x2B, 0x81, 0x04, 0x00, 0x22}, 48, EVP_sha384}},
            {"brainpoolP384r1", {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}, 48, EVP_sha384}},
            {"brainpoolP512r1", {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}, 64, EVP_sha512}},
            {"secp521r1", {{0x2B, 0x81, 0x04, 0x00, 0x23}, 66, EVP_sha512}},
    };
    return curves.at(group);
}

void require(bool condition, const char *what)
{
    if (!condition)
        throw std::runtime_error(std::string("fixture keys: ") + what);
}

Bytes bignumBytes(const EVP_PKEY *key, const char *name, std::size_t size)
{
    BIGNUM *number = nullptr;
    require(EVP_PKEY_get_bn_param(key, name, &number) == 1, name);
    Bytes bytes(size);
    require(BN_bn2binpad(number, bytes.data(), static_cast<int>(size)) == static_cast<int>(size), name);
    BN_free(number);
    return bytes;
}

} // namespace

RsaKeyPair::RsaKeyPair()
    : m_key(EVP_RSA_gen(1024), EVP_PKEY_free)
{
    require(m_key != nullptr, "RSA key generation");
}

std::array<std::uint8_t, 128> RsaKeyPair::modulus() const
{
    const Bytes bytes = bignumBytes(m_key.get(), OSSL_PKEY_PARAM_RSA_N, 128);
    std::array<std::uint8_t, 128> result{};
    std::copy(bytes.begin(), bytes.end(), result.begin());
    return result;
}

std::array<std::uint8_t, 8> RsaKeyPair::exponent() const
{
    const Bytes bytes = bignumBytes(m_key.get(), OSSL_PKEY_PARAM_RSA_E, 8);
    std::array<std::uint8_t, 8> result{};
    std::copy(bytes.begin(), bytes.end(), result.begin());
    return result;
}

Bytes RsaKeyPair::privateOperation(std::span<const std::uint8_t> value) const
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_key.get(), nullptr);
    Bytes result(128);
    std::size_t size = result.size();
    const bool done = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1
            && EVP_PKEY_sign(ctx, result.data(), &size, value.data(), value.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    require(done && size == 128, "RSA private operation");
    return result;
}

Bytes RsaKeyPair::signSha1(std::span<const std::uint8_t> data) const
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    Bytes signature(128);
    std::size_t size = signature.size();
    const bool done = ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, m_key.get()) == 1
            && EVP_DigestSign(ctx, signature.data(), &size, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    require(done && size == 128, "RSA signature");
    return signature;
}

EcKeyPair::EcKeyPair(const std::string &groupName)
    : m_group(groupName)
    , m_key(EVP_EC_gen(groupName.c_str()), EVP_PKEY_free)
{
    require(m_key != nullptr, "EC key generation");
}

Bytes EcKeyPair::curveOid() const
{
    return facts(m_group).oid;
}

Bytes EcKeyPair::publicPoint() const
{
    EVP_PKEY_set_utf8_string_param(m_key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                   OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED);
    std::size_t size = 0;
    require(EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &size) == 1, "point");
    Bytes point(size);
    require(EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), size, &size) == 1,
            "point");
    return point;
}

Bytes EcKeyPair::signPlain(std::span<const std::uint8_t> data) const
{
    const CurveFacts &curve = facts(m_group);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    std::size_t size = 0;
    bool done = ctx && EVP_DigestSignInit(ctx, nullptr, curve.hash(), nullptr, m_key.get()) == 1
            && EVP_DigestSign(ctx, nullptr, &size, data.data(), data.size()) == 1;
    Bytes der(size);
    done = done && EVP_DigestSign(ctx, der.data(), &size, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    require(done, "ECDSA signature");

    const std::uint8_t *in = der.data();
    ECDSA_SIG *signature = d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(size));
    require(signature != nullptr, "ECDSA signature coding");
    Bytes plain(2 * curve.orderSize);
    const int half = static_cast<int>(curve.orderSize);
    require(BN_bn2binpad(ECDSA_SIG_get0_r(signature), plain.data(), half) == half
                    && BN_bn2binpad(ECDSA_SIG_get0_s(signature), plain.data() + half, half) == half,
            "ECDSA signature size");
    ECDSA_SIG_free(signature);
    return plain;
}
