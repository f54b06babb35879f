#include "tools/vcard/EcKey.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <array>

namespace vcard {
namespace {

struct CurveFacts
{
    EcCurve curve;
    const char *name;
    int nid;
    std::vector<std::uint8_t> oid;
    std::size_t orderBytes;
    const EVP_MD *(*digest)();
};

const std::array<CurveFacts, 4> &curves()
{
    static const std::array<CurveFacts, 4> table{{
            {EcCurve::BrainpoolP256r1,
             "brainpoolP256r1",
             NID_brainpoolP256r1,
             {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07},
             32,
             EVP_sha256},
            {EcCurve::BrainpoolP384r1,
             "brainpoolP384r1",
             NID_brainpoolP384r1,
             {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B},
             48,
             EVP_sha384},
            {EcCurve::BrainpoolP512r1,
             "brainpoolP512r1",
             NID_brainpoolP512r1,
             {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D},
             64,
             EVP_sha512},
            {EcCurve::NistP256,
             "NIST-P-256",
             NID_X9_62_prime256v1,
             {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07},
             32,
             EVP_sha256},
    }};
    return table;
}

const CurveFacts &facts(EcCurve curve)
{
    for (const auto &entry : curves()) {
        if (entry.curve == curve)
            return entry;
    }
    return curves().front();
}

struct BnFree
{
    void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
struct BnCtxFree
{
    void operator()(BN_CTX *ctx) const { BN_CTX_free(ctx); }
};
struct GroupFree
{
    void operator()(EC_GROUP *group) const { EC_GROUP_free(group); }
};
struct PointFree
{
    void operator()(EC_POINT *point) const { EC_POINT_free(point); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using BnCtx = std::unique_ptr<BN_CTX, BnCtxFree>;
using Group = std::unique_ptr<EC_GROUP, GroupFree>;
using Point = std::unique_ptr<EC_POINT, PointFree>;

std::vector<std::uint8_t> digest(const EVP_MD *md, std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1)
        return {};
    out.resize(size);
    return out;
}

// A number in [1, n - 1] from any bytes: SHA-512 of the bytes and a counter, stretched past the
// order's size and reduced.
Bn scalarFrom(std::span<const std::uint8_t> material, const BIGNUM *order, BN_CTX *ctx)
{
    std::vector<std::uint8_t> stretched;
    for (std::uint8_t counter = 0; stretched.size() < 96; ++counter) {
        std::vector<std::uint8_t> input(material.begin(), material.end());
        input.push_back(counter);
        const auto block = digest(EVP_sha512(), input);
        if (block.empty())
            return nullptr;
        stretched.insert(stretched.end(), block.begin(), block.end());
    }
    Bn value(BN_bin2bn(stretched.data(), static_cast<int>(stretched.size()), nullptr));
    Bn orderMinus1(BN_dup(order));
    if (!value || !orderMinus1 || !BN_sub_word(orderMinus1.get(), 1)
        || !BN_nnmod(value.get(), value.get(), orderMinus1.get(), ctx) || !BN_add_word(value.get(), 1))
        return nullptr;
    return value;
}

std::vector<std::uint8_t> bnBytes(const BIGNUM *value, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    if (BN_bn2binpad(value, bytes.data(), static_cast<int>(size)) != static_cast<int>(size))
        return {};
    return bytes;
}

} // namespace

std::optional<EcCurve> ecCurveByName(const std::string &name)
{
    for (const auto &entry : curves()) {
        if (name == entry.name)
            return entry.curve;
    }
    return std::nullopt;
}

const char *ecCurveName(EcCurve curve)
{
    return facts(curve).name;
}

struct EcKey::State
{
    Group group;
    Bn privateKey;
    Point publicKey;
};

EcKey::EcKey(EcCurve curve, std::unique_ptr<State> state)
    : m_curve(curve)
    , m_state(std::move(state))
{ }

EcKey::~EcKey() = default;
EcKey::EcKey(EcKey &&) noexcept = default;
EcKey &EcKey::operator=(EcKey &&) noexcept = default;

std::optional<EcKey> EcKey::fromLabel(EcCurve curve, const std::string &label)
{
    return fromLabel(curve, std::span(reinterpret_cast<const std::uint8_t *>(label.data()), label.size()));
}

std::optional<EcKey> EcKey::fromLabel(EcCurve curve, std::span<const std::uint8_t> label)
{
    auto state = std::make_unique<State>();
    BnCtx ctx(BN_CTX_new());
    state->group.reset(EC_GROUP_new_by_curve_name(facts(curve).nid));
    if (!ctx || !state->group)
        return std::nullopt;
    state->privateKey = scalarFrom(label, EC_GROUP_get0_order(state->group.get()), ctx.get());
    state->publicKey.reset(EC_POINT_new(state->group.get()));
    if (!state->privateKey || !state->publicKey
        || EC_POINT_mul(state->group.get(), state->publicKey.get(), state->privateKey.get(), nullptr, nullptr,
                        ctx.get())
                != 1)
        return std::nullopt;
    return EcKey(curve, std::move(state));
}

std::size_t EcKey::orderBytes() const
{
    return facts(m_curve).orderBytes;
}

std::vector<std::uint8_t> EcKey::curveOid() const
{
    return facts(m_curve).oid;
}

std::vector<std::uint8_t> EcKey::publicPoint() const
{
    BnCtx ctx(BN_CTX_new());
    std::vector<std::uint8_t> point(1 + 2 * orderBytes());
    const std::size_t size = EC_POINT_point2oct(m_state->group.get(), m_state->publicKey.get(),
                                                POINT_CONVERSION_UNCOMPRESSED, point.data(), point.size(), ctx.get());
    if (size != point.size())
        return {};
    return point;
}

std::vector<std::uint8_t> EcKey::hash(std::span<const std::uint8_t> data) const
{
    return digest(facts(m_curve).digest(), data);
}

std::vector<std::uint8_t> EcKey::signHash(std::span<const std::uint8_t> hash) const
{
    const EC_GROUP *group = m_state->group.get();
    const BIGNUM *order = EC_GROUP_get0_order(group);
    BnCtx ctx(BN_CTX_new());
    if (!ctx)
        return {};
    // The hashes used here are never longer than the order, so no bits need cutting.
    Bn e(BN_bin2bn(hash.data(), static_cast<int>(hash.size()), nullptr));
    const auto privateBytes = bnBytes(m_state->privateKey.get(), orderBytes());
    if (!e || privateBytes.empty())
        return {};

    std::vector<std::uint8_t> material(privateBytes);
    material.insert(material.end(), hash.begin(), hash.end());
    for (std::uint8_t attempt = 0; attempt < 16; ++attempt) {
        material.push_back(attempt);
        Bn k = scalarFrom(material, order, ctx.get());
        material.pop_back();
        Point kG(EC_POINT_new(group));
        Bn x(BN_new());
        Bn r(BN_new());
        Bn s(BN_new());
        Bn rd(BN_new());
        Bn kInverse(BN_new());
        if (!k || !kG || !x || !r || !s || !rd || !kInverse
            || EC_POINT_mul(group, kG.get(), k.get(), nullptr, nullptr, ctx.get()) != 1
            || EC_POINT_get_affine_coordinates(group, kG.get(), x.get(), nullptr, ctx.get()) != 1
            || !BN_nnmod(r.get(), x.get(), order, ctx.get()))
            return {};
        if (BN_is_zero(r.get()))
            continue;
        if (!BN_mod_mul(rd.get(), r.get(), m_state->privateKey.get(), order, ctx.get())
            || !BN_mod_add(s.get(), e.get(), rd.get(), order, ctx.get())
            || !BN_mod_inverse(kInverse.get(), k.get(), order, ctx.get())
            || !BN_mod_mul(s.get(), s.get(), kInverse.get(), order, ctx.get()))
            return {};
        if (BN_is_zero(s.get()))
            continue;
        auto signature = bnBytes(r.get(), orderBytes());
        const auto sBytes = bnBytes(s.get(), orderBytes());
        if (signature.empty() || sBytes.empty())
            return {};
        signature.insert(signature.end(), sBytes.begin(), sBytes.end());
        return signature;
    }
    return {};
}

} // namespace vcard
