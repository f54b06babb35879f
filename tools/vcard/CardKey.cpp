#include "tools/vcard/CardKey.h"

#include "tools/vcard/SeededRandom.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace vcard {
namespace {

struct BnFree
{
    void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
struct BnCtxFree
{
    void operator()(BN_CTX *ctx) const { BN_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn newBn()
{
    return Bn(BN_new());
}

constexpr int PrimeBits = 512;
constexpr unsigned long PublicExponent = 65537;

// A 512-bit prime p with gcd(p - 1, e) = 1, found by stepping from a seeded odd start whose top
// two bits are set, so that the product of two such primes has exactly 1024 bits. The primality
// test draws its own random bases, which changes nothing but the (negligible) error chance.
Bn seededPrime(SeededRandom &random, const BIGNUM *e, BN_CTX *ctx)
{
    std::array<std::uint8_t, PrimeBits / 8> bytes{};
    for (;;) {
        random.fill(bytes);
        bytes[0] |= 0xC0;
        bytes[bytes.size() - 1] |= 0x01;
        Bn candidate(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
        Bn pMinus1 = newBn();
        Bn gcd = newBn();
        if (!candidate || !pMinus1 || !gcd)
            return nullptr;
        for (int step = 0; step < 4096 && BN_num_bits(candidate.get()) == PrimeBits; ++step) {
            if (BN_check_prime(candidate.get(), ctx, nullptr) == 1) {
                if (!BN_sub(pMinus1.get(), candidate.get(), BN_value_one())
                    || !BN_gcd(gcd.get(), pMinus1.get(), e, ctx))
                    return nullptr;
                if (BN_is_one(gcd.get()))
                    return candidate;
            }
            if (!BN_add_word(candidate.get(), 2))
                return nullptr;
        }
    }
}

} // namespace

CardKey::CardKey(std::shared_ptr<EVP_PKEY> key)
    : m_key(std::move(key))
{ }

std::optional<CardKey> CardKey::fromSeed(std::uint64_t seed)
{
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    Bn e = newBn();
    if (!ctx || !e || !BN_set_word(e.get(), PublicExponent))
        return std::nullopt;

    SeededRandom random(seed ^ 0x6B65792D72736131ull);
    Bn p = seededPrime(random, e.get(), ctx.get());
    Bn q;
    do {
        q = seededPrime(random, e.get(), ctx.get());
    } while (p && q && BN_cmp(p.get(), q.get()) == 0);
    if (!p || !q)
        return std::nullopt;

    Bn n = newBn(), d = newBn(), pMinus1 = newBn(), qMinus1 = newBn(), phi = newBn();
    Bn dmp1 = newBn(), dmq1 = newBn(), iqmp = newBn();
    if (!n || !d || !pMinus1 || !qMinus1 || !phi || !dmp1 || !dmq1 || !iqmp)
        return std::nullopt;
    const bool computed = BN_mul(n.get(), p.get(), q.get(), ctx.get()) && BN_sub(pMinus1.get(), p.get(), BN_value_one())
            && BN_sub(qMinus1.get(), q.get(), BN_value_one())
            && BN_mul(phi.get(), pMinus1.get(), qMinus1.get(), ctx.get())
            && BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get())
            && BN_mod(dmp1.get(), d.get(), pMinus1.get(), ctx.get())
            && BN_mod(dmq1.get(), d.get(), qMinus1.get(), ctx.get())
            && BN_mod_inverse(iqmp.get(), q.get(), p.get(), ctx.get());
    if (!computed)
        return std::nullopt;

    OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
    if (!builder)
        return std::nullopt;
    const bool pushed = OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_D, d.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_FACTOR1, p.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_FACTOR2, q.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_EXPONENT1, dmp1.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_EXPONENT2, dmq1.get())
            && OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, iqmp.get());
    OSSL_PARAM *params = pushed ? OSSL_PARAM_BLD_to_param(builder) : nullptr;
    OSSL_PARAM_BLD_free(builder);
    if (!params)
        return std::nullopt;

    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *keyCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    const bool made = keyCtx && EVP_PKEY_fromdata_init(keyCtx) == 1
            && EVP_PKEY_fromdata(keyCtx, &key, EVP_PKEY_KEYPAIR, params) == 1;
    EVP_PKEY_CTX_free(keyCtx);
    OSSL_PARAM_free(params);
    if (!made)
        return std::nullopt;
    return CardKey(std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free));
}

std::vector<std::uint8_t> CardKey::signHash(const Sha1Hash &hash) const
{
    std::vector<std::uint8_t> signature(ModulusBytes);
    std::size_t length = signature.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_key.get(), nullptr);
    const bool signedOk = ctx && EVP_PKEY_sign_init(ctx) == 1
            && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1
            && EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) == 1
            && EVP_PKEY_sign(ctx, signature.data(), &length, hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!signedOk || length != ModulusBytes)
        return {};
    return signature;
}

std::vector<std::uint8_t> CardKey::privateOperation(const std::vector<std::uint8_t> &value) const
{
    std::vector<std::uint8_t> result(ModulusBytes);
    std::size_t length = result.size();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(m_key.get(), nullptr);
    const bool done = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1
            && EVP_PKEY_sign(ctx, result.data(), &length, value.data(), value.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!done || length != ModulusBytes)
        return {};
    return result;
}

namespace {

std::vector<std::uint8_t> bnParamBytes(EVP_PKEY *key, const char *name, std::size_t size)
{
    BIGNUM *value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1)
        return {};
    std::vector<std::uint8_t> bytes(size);
    const bool fits = BN_bn2binpad(value, bytes.data(), static_cast<int>(size)) == static_cast<int>(size);
    BN_free(value);
    return fits ? bytes : std::vector<std::uint8_t>{};
}

} // namespace

std::vector<std::uint8_t> CardKey::modulusBytes() const
{
    return bnParamBytes(m_key.get(), OSSL_PKEY_PARAM_RSA_N, ModulusBytes);
}

std::vector<std::uint8_t> CardKey::exponentBytes() const
{
    return bnParamBytes(m_key.get(), OSSL_PKEY_PARAM_RSA_E, 8);
}

std::string CardKey::publicKeyPem() const
{
    BIO *bio = BIO_new(BIO_s_mem());
    std::string pem;
    if (bio && PEM_write_bio_PUBKEY(bio, m_key.get()) == 1) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        if (size > 0)
            pem.assign(data, static_cast<std::size_t>(size));
    }
    BIO_free(bio);
    return pem;
}

namespace {

std::string bnParamHex(EVP_PKEY *key, const char *name)
{
    BIGNUM *value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1)
        return {};
    char *hex = BN_bn2hex(value);
    std::string text = hex ? hex : "";
    OPENSSL_free(hex);
    BN_free(value);
    return text;
}

} // namespace

std::string CardKey::modulusHex() const
{
    return bnParamHex(m_key.get(), OSSL_PKEY_PARAM_RSA_N);
}

std::string CardKey::exponentHex() const
{
    return bnParamHex(m_key.get(), OSSL_PKEY_PARAM_RSA_E);
}

} // namespace vcard
