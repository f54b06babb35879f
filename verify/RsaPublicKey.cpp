#include "verify/RsaPublicKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>

namespace {

// DigestInfo of SHA-1, which precedes the hash in the signature block.
constexpr std::size_t Sha1Size = 20;

constexpr std::uint8_t Sha1DigestInfo[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                           0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};

struct BnFree
{
    void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bignum = std::unique_ptr<BIGNUM, BnFree>;

} // namespace

std::optional<RsaPublicKey> RsaPublicKey::fromNumbers(std::span<const std::uint8_t> modulus,
                                                      std::span<const std::uint8_t> exponent)
{
    if (modulus.size() != ModulusSize || exponent.empty() || exponent.size() > ExponentSize)
        return std::nullopt;
    if ((modulus.front() & 0x80) == 0 || (exponent.back() & 0x01) == 0)
        return std::nullopt;
    const Bignum n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    const Bignum e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    if (!n || !e || BN_cmp(e.get(), BN_value_one()) <= 0)
        return std::nullopt;

    OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    if (builder && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get())
        && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get()))
        params = OSSL_PARAM_BLD_to_param(builder);
    OSSL_PARAM_BLD_free(builder);

    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *ctx = params ? EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr) : nullptr;
    if (ctx && EVP_PKEY_fromdata_init(ctx) > 0)
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    if (!key)
        return std::nullopt;
    return RsaPublicKey(std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free));
}

std::optional<RsaPublicKey::Block> RsaPublicKey::open(std::span<const std::uint8_t> value) const
{
    if (value.size() != ModulusSize)
        return std::nullopt;
    Block block{};
    std::size_t length = block.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_key.get(), nullptr);
    const bool opened = ctx && EVP_PKEY_verify_recover_init(ctx) > 0
            && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0
            && EVP_PKEY_verify_recover(ctx, block.data(), &length, value.data(), value.size()) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (!opened || length != block.size())
        return std::nullopt;
    return block;
}

bool RsaPublicKey::verifySha1Signature(std::span<const std::uint8_t> data,
                                       std::span<const std::uint8_t> signature) const
{
    const std::optional<Block> block = open(signature);
    if (!block)
        return false;

    Block expected;
    const std::size_t hashAt = expected.size() - Sha1Size;
    const std::size_t infoAt = hashAt - sizeof(Sha1DigestInfo);
    expected[0] = 0x00;
    expected[1] = 0x01;
    std::fill(expected.begin() + 2, expected.begin() + static_cast<std::ptrdiff_t>(infoAt - 1), 0xFF);
    expected[infoAt - 1] = 0x00;
    std::copy(std::begin(Sha1DigestInfo), std::end(Sha1DigestInfo),
              expected.begin() + static_cast<std::ptrdiff_t>(infoAt));
    unsigned int hashSize = 0;
    if (EVP_Digest(data.data(), data.size(), expected.data() + hashAt, &hashSize, EVP_sha1(), nullptr) != 1
        || hashSize != Sha1Size)
        return false;
    return *block == expected;
}
