#include "support/SecondGenerationCheck.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Tlv
{
    std::uint16_t tag = 0;
    std::span<const std::uint8_t> value;
    std::span<const std::uint8_t> whole; // tag, length and value
};

// The elements of a DER sequence; no value when one is malformed or the bytes do not end with one.
std::optional<std::vector<Tlv>> elements(std::span<const std::uint8_t> bytes)
{
    std::vector<Tlv> found;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t start = at;
        std::uint16_t tag = bytes[at++];
        if ((tag & 0x1F) == 0x1F) {
            if (at >= bytes.size())
                return std::nullopt;
            tag = static_cast<std::uint16_t>(tag << 8 | bytes[at++]);
        }
        if (at >= bytes.size())
            return std::nullopt;
        std::size_t length = bytes[at++];
        if (length == 0x81 || length == 0x82) {
            const std::size_t octets = length - 0x80;
            if (bytes.size() - at < octets)
                return std::nullopt;
            length = 0;
            for (std::size_t i = 0; i < octets; ++i)
                length = length << 8 | bytes[at++];
        } else if (length > 0x80) {
            return std::nullopt;
        }
        if (bytes.size() - at < length)
            return std::nullopt;
        found.push_back({tag, bytes.subspan(at, length), bytes.subspan(start, at + length - start)});
        at += length;
    }
    return found;
}

std::optional<Tlv> only(std::span<const std::uint8_t> bytes, std::uint16_t tag)
{
    const auto found = elements(bytes);
    if (!found || found->size() != 1 || found->front().tag != tag)
        return std::nullopt;
    return found->front();
}

const Tlv *child(const std::vector<Tlv> &list, std::uint16_t tag)
{
    const auto found = std::ranges::find(list, tag, &Tlv::tag);
    return found == list.end() ? nullptr : &*found;
}

struct Curve
{
    const char *groupName;
    std::size_t orderBytes;
    const EVP_MD *(*digest)();
};

const Curve *curveOf(std::span<const std::uint8_t> oid)
{
    static const std::map<Bytes, Curve> curves{
            {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07}, {"brainpoolP256r1", 32, EVP_sha256}},
            {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B}, {"brainpoolP384r1", 48, EVP_sha384}},
            {{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D}, {"brainpoolP512r1", 64, EVP_sha512}},
            {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, {"prime256v1", 32, EVP_sha256}},
            {{0x2B, 0x81, 0x04, 0x00, 0x22}, {"secp384r1", 48, EVP_sha384}},
            {{0x2B, 0x81, 0x04, 0x00, 0x23}, {"secp521r1", 66, EVP_sha512}},
    };
    const auto found = curves.find(Bytes(oid.begin(), oid.end()));
    return found == curves.end() ? nullptr : &found->second;
}

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::shared_ptr<EVP_PKEY>;

struct PublicKey
{
    const Curve *curve = nullptr;
    Pkey key;
};

std::optional<PublicKey> publicKey(std::span<const std::uint8_t> oid, std::span<const std::uint8_t> point)
{
    const Curve *curve = curveOf(oid);
    if (!curve)
        return std::nullopt;
    OSSL_PARAM_BLD *build = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY *key = nullptr;
    const bool made = build && ctx
            && OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, curve->groupName, 0) == 1
            && OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) == 1
            && (params = OSSL_PARAM_BLD_to_param(build)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1
            && EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    EVP_PKEY_CTX_free(ctx);
    if (!made)
        return std::nullopt;
    return PublicKey{curve, Pkey(key, PkeyFree())};
}

// A plain r || s signature over data, under the key, with the hash of the key's curve.
bool verifies(const PublicKey &key, std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature)
{
    const std::size_t half = key.curve->orderBytes;
    if (signature.size() != 2 * half)
        return false;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(signature.data(), static_cast<int>(half), nullptr);
    BIGNUM *s = BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(sig);
        return false;
    }
    unsigned char *der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok = derLength > 0 && ctx
            && EVP_DigestVerifyInit(ctx, nullptr, key.curve->digest(), nullptr, key.key.get()) == 1
            && EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derLength), data.data(), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok;
}

struct Certificate
{
    Bytes authority;
    Bytes holder;
    std::uint8_t equipmentType = 0;
    PublicKey key;
    std::span<const std::uint8_t> body; // what the signature covers: the 7F4E element
    std::span<const std::uint8_t> signature;
};

std::optional<Certificate> parseCertificate(std::span<const std::uint8_t> bytes, std::string &error)
{
    const auto outer = only(bytes, 0x7F21);
    const auto parts = outer ? elements(outer->value) : std::nullopt;
    const Tlv *body = parts ? child(*parts, 0x7F4E) : nullptr;
    const Tlv *signature = parts ? child(*parts, 0x5F37) : nullptr;
    const auto fields = body ? elements(body->value) : std::nullopt;
    if (!fields || !signature) {
        error = "is not a card-verifiable certificate";
        return std::nullopt;
    }
    const Tlv *authority = child(*fields, 0x42);
    const Tlv *authorisation = child(*fields, 0x5F4C);
    const Tlv *keyElement = child(*fields, 0x7F49);
    const Tlv *holder = child(*fields, 0x5F20);
    const auto keyParts = keyElement ? elements(keyElement->value) : std::nullopt;
    const Tlv *oid = keyParts ? child(*keyParts, 0x06) : nullptr;
    const Tlv *point = keyParts ? child(*keyParts, 0x86) : nullptr;
    if (!authority || authority->value.size() != 8 || !holder || holder->value.size() != 8 || !authorisation
        || authorisation->value.size() != 7 || !oid || !point) {
        error = "lacks a field of a card-verifiable certificate";
        return std::nullopt;
    }
    auto key = publicKey(oid->value, point->value);
    if (!key) {
        error = "holds no public key on a known curve";
        return std::nullopt;
    }
    return Certificate{Bytes(authority->value.begin(), authority->value.end()),
                       Bytes(holder->value.begin(), holder->value.end()),
                       authorisation->value.back(),
                       std::move(*key),
                       body->whole,
                       signature->value};
}

std::optional<Bytes> secondGenerationData(const std::vector<DddRecord> &records, std::uint16_t fileId)
{
    return DddFile::find(records, fileId, DddRecordType::SecondGenerationData);
}

} // namespace

DddCheck SecondGenerationCheck::verify(const std::vector<DddRecord> &records,
                                       std::span<const std::uint8_t> rootCertificate)
{
    const DddCheck order = DddFile::signaturesFollowData(records);
    if (!order.ok)
        return order;

    std::string error;
    const auto root = parseCertificate(rootCertificate, error);
    if (!root)
        return DddCheck::failure("the root certificate " + error);
    if (!verifies(root->key, root->body, root->signature))
        return DddCheck::failure("the root certificate is not signed with its own key");

    const auto link = secondGenerationData(records, 0xC109);
    const auto memberState = secondGenerationData(records, 0xC108);
    const auto cardSign = secondGenerationData(records, 0xC101);
    if (!memberState || !cardSign)
        return DddCheck::failure("the download lacks the CA certificate or the CardSignCertificate");

    PublicKey trusted = root->key;
    Bytes trustedReference = root->holder;
    const auto ca = parseCertificate(*memberState, error);
    if (!ca)
        return DddCheck::failure("the CA certificate " + error);
    if (ca->authority != trustedReference) {
        // Signed under another root: only the link certificate from our root can vouch for it.
        const bool noLink = !link || std::ranges::all_of(*link, [](std::uint8_t byte) { return byte == 0; });
        if (noLink)
            return DddCheck::failure("the CA certificate names another root and there is no link certificate");
        const auto linked = parseCertificate(*link, error);
        if (!linked)
            return DddCheck::failure("the link certificate " + error);
        if (linked->authority != trustedReference || !verifies(trusted, linked->body, linked->signature))
            return DddCheck::failure("the link certificate is not signed by the root");
        trusted = linked->key;
        trustedReference = linked->holder;
        if (ca->authority != trustedReference)
            return DddCheck::failure("the CA certificate names neither the root nor the linked root");
    }
    if (!verifies(trusted, ca->body, ca->signature))
        return DddCheck::failure("the CA certificate's signature does not verify");

    const auto card = parseCertificate(*cardSign, error);
    if (!card)
        return DddCheck::failure("the CardSignCertificate " + error);
    if (card->authority != ca->holder || !verifies(ca->key, card->body, card->signature))
        return DddCheck::failure("the CardSignCertificate is not signed by the CA certificate");

    int signatures = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (records[i].type != DddRecordType::SecondGenerationSignature)
            continue;
        ++signatures;
        if (!verifies(card->key, records[i - 1].content, records[i].content)) {
            return DddCheck::failure("second-generation signature of EF " + DddFile::fileIdText(records[i].fileId)
                                     + " (" + std::to_string(records[i].content.size()) + " bytes) does not verify");
        }
    }
    if (signatures == 0)
        return DddCheck::failure("no second-generation signature records");
    return {};
}
