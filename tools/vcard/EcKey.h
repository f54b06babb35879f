#pragma once

// An ECDSA key of a second-generation card or authority, made from a label so that the same
// label gives the same key on every machine. Signatures are deterministic too (the nonce is
// derived from the key and the hash), so a download of the simulated card can be predicted byte
// for byte.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vcard {

enum class EcCurve { BrainpoolP256r1, BrainpoolP384r1, BrainpoolP512r1, NistP256 };

// The curve named on the command line ("brainpoolP256r1", ...).
std::optional<EcCurve> ecCurveByName(const std::string &name);
const char *ecCurveName(EcCurve curve);

class EcKey
{
public:
    // No value only when OpenSSL fails.
    static std::optional<EcKey> fromLabel(EcCurve curve, std::span<const std::uint8_t> label);
    static std::optional<EcKey> fromLabel(EcCurve curve, const std::string &label);

    EcCurve curve() const { return m_curve; }
    // Bytes of the curve's order: a signature is twice as long.
    std::size_t orderBytes() const;
    // Content octets of the curve's OBJECT IDENTIFIER.
    std::vector<std::uint8_t> curveOid() const;
    // 04 || x || y
    std::vector<std::uint8_t> publicPoint() const;

    // The hash this key's size calls for: SHA-256, -384 or -512.
    std::vector<std::uint8_t> hash(std::span<const std::uint8_t> data) const;
    // Plain r || s over a hash of that kind. Empty when OpenSSL fails.
    std::vector<std::uint8_t> signHash(std::span<const std::uint8_t> hash) const;
    std::vector<std::uint8_t> sign(std::span<const std::uint8_t> data) const { return signHash(hash(data)); }

    ~EcKey();
    EcKey(EcKey &&) noexcept;
    EcKey &operator=(EcKey &&) noexcept;
    EcKey(const EcKey &) = delete;
    EcKey &operator=(const EcKey &) = delete;

private:
    struct State;
    EcKey(EcCurve curve, std::unique_ptr<State> state);

    EcCurve m_curve;
    std::unique_ptr<State> m_state;
};

} // namespace vcard
