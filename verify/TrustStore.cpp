#include "verify/TrustStore.h"

#include "verify/EmbeddedRoots.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::uint8_t ErcaEquipmentType = 13;

} // namespace

const TrustStore &TrustStore::builtIn()
{
    static const TrustStore store = [] {
        TrustStore roots;
        for (const EmbeddedRoot &root : embeddedRoots()) {
            const std::span<const std::uint8_t> bytes(root.bytes, root.size);
            if (root.generation == RootGeneration::First)
                roots.addFirstGenerationRoot(bytes, root.kind);
            else
                roots.addSecondGenerationRoot(bytes, root.kind);
        }
        return roots;
    }();
    return store;
}

bool TrustStore::addFirstGenerationRoot(std::span<const std::uint8_t> publicKey, RootKind kind)
{
    constexpr std::size_t IdentifierSize = 8;
    if (publicKey.size() != IdentifierSize + RsaPublicKey::ModulusSize + RsaPublicKey::ExponentSize)
        return false;
    std::optional<RsaPublicKey> key =
            RsaPublicKey::fromNumbers(publicKey.subspan(IdentifierSize, RsaPublicKey::ModulusSize),
                                      publicKey.subspan(IdentifierSize + RsaPublicKey::ModulusSize));
    if (!key)
        return false;
    FirstGenerationRoot root{{}, std::move(*key), kind};
    std::copy_n(publicKey.begin(), IdentifierSize, root.keyIdentifier.begin());
    m_first.push_back(std::move(root));
    return true;
}

bool TrustStore::addSecondGenerationRoot(std::span<const std::uint8_t> certificate, RootKind kind)
{
    std::string problem;
    std::optional<CvCertificate> root = CvCertificate::parse(certificate, problem);
    if (!root || root->authorityReference != root->holderReference || root->equipmentType() != ErcaEquipmentType
        || !root->isSignedBy(root->publicKey))
        return false;
    m_second.push_back({std::move(*root), kind});
    return true;
}
