#include "verify/EcPublicKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <vector>

namespace {

const EVP_MD *digest(EcCurve::Hash hash)
{
    switch (hash) {
    case EcCurve::Hash::Sha256:
        return EVP_sha256();
    case EcCurve::Hash::Sha384:
        return EVP_sha384();
    case EcCurve::Hash::Sha512:
        return EVP_sha512();
    }
    return nullptr;
}

} // namespace

std::optional<EcPublicKey> EcPublicKey::fromPoint(const EcCurve &curve, std::span<const std::uint8_t> point)
{
    if (point.size() != 1 + 2 * curve.coordinateSize || point.front() != 0x04)
        return std::nullopt;

    const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(curve.groupName), 0),
            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t *>(point.data()),
                                              point.size()),
            OSSL_PARAM_construct_end(),
    };
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (ctx && EVP_PKEY_fromdata_init(ctx) > 0)
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM *>(params));
    EVP_PKEY_CTX_free(ctx);
    if (!key)
        return std::nullopt;
    std::shared_ptr<EVP_PKEY> owned(key, EVP_PKEY_free);

    // A point off the curve would let a forged signature pass; the check costs little.
    EVP_PKEY_CTX *check = EVP_PKEY_CTX_new(key, nullptr);
    const bool valid = check && EVP_PKEY_public_check(check) == 1;
    EVP_PKEY_CTX_free(check);
    if (!valid)
        return std::nullopt;
    return EcPublicKey(curve, std::move(owned));
}

bool EcPublicKey::verify(std::span<const std::uint8_t> message, std::span<const std::uint8_t> plainSignature) const
{
    const std::size_t half = m_curve->orderSize;
    if (plainSignature.size() != 2 * half)
        return false;

    ECDSA_SIG *signature = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(plainSignature.data(), static_cast<int>(half), nullptr);
    BIGNUM *s = BN_bin2bn(plainSignature.data() + half, static_cast<int>(half), nullptr);
    if (!signature || !r || !s || ECDSA_SIG_set0(signature, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(signature);
        return false;
    }
    const int needed = i2d_ECDSA_SIG(signature, nullptr);
    std::vector<std::uint8_t> der(needed > 0 ? static_cast<std::size_t>(needed) : 0);
    std::uint8_t *out = der.data();
    const int derSize = needed > 0 ? i2d_ECDSA_SIG(signature, &out) : 0;
    ECDSA_SIG_free(signature);
    if (derSize <= 0 || derSize != needed)
        return false;

    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool verified = ctx && EVP_DigestVerifyInit(ctx, nullptr, digest(m_curve->hash()), nullptr, m_key.get()) == 1
            && EVP_DigestVerify(ctx, der.data(), static_cast<std::size_t>(derSize), message.data(), message.size())
                    == 1;
    EVP_MD_CTX_free(ctx);
    return verified;
}
