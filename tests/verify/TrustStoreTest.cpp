#include "FixturePki.h"

#include "verify/TrustStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

Bytes readRootFile(const char *name)
{
    std::ifstream stream(std::string(KORVAN_ROOTS_DIR) + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(EuropeanRoots, BuiltInStoreTrustsBothPublishedRootsAsEuropean)
{
    const TrustStore &store = TrustStore::builtIn();

    const auto &first = store.firstGenerationRoots();
    ASSERT_EQ(std::count_if(first.begin(), first.end(), [](const auto &r) { return r.kind == RootKind::European; }), 1);
    const auto european =
            std::find_if(first.begin(), first.end(), [](const auto &r) { return r.kind == RootKind::European; });
    EXPECT_EQ(european->keyIdentifier, FixturePki::EuropeanKeyIdentifier);

    const auto &second = store.secondGenerationRoots();
    ASSERT_EQ(std::count_if(second.begin(), second.end(), [](const auto &r) { return r.kind == RootKind::European; }),
              1);
    const auto root =
            std::find_if(second.begin(), second.end(), [](const auto &r) { return r.kind == RootKind::European; });
    EXPECT_EQ(root->certificate.holderReference, FixturePki::FirstRootReference);
    EXPECT_STREQ(root->certificate.publicKey.curve().name, "brainpoolP256r1");
    EXPECT_EQ(root->certificate.effectiveDate, fixtureTime(2018, 6, 14).time_since_epoch().count()); // 00:00 UTC
    EXPECT_GT(root->certificate.expirationDate, fixtureTime(2052, 1, 1).time_since_epoch().count());
}

// The real root's self-signature is the one signature made by someone else that the tests have:
// it checks the certificate coding, the curve and the hash against the real thing.
TEST(EuropeanRoots, RealRootFilesAreTakenOnlyWhenIntact)
{
    const Bytes key = readRootFile("EC_PK.bin");
    const Bytes root = readRootFile("ERCA_Gen2_1_Root_Certificate.bin");
    ASSERT_EQ(key.size(), 144u);
    ASSERT_EQ(root.size(), 205u);

    TrustStore store;
    EXPECT_TRUE(store.addFirstGenerationRoot(key, RootKind::European));
    EXPECT_TRUE(store.addSecondGenerationRoot(root, RootKind::European));

    // The holder authorisation, the public point, the effective date, the signature.
    for (const std::size_t offset : {std::size_t{30}, std::size_t{60}, std::size_t{130}, root.size() - 1}) {
        Bytes changed = root;
        changed[offset] ^= 0x01;
        EXPECT_FALSE(store.addSecondGenerationRoot(changed, RootKind::European)) << "offset " << offset;
    }
    EXPECT_FALSE(store.addFirstGenerationRoot(std::span(key).first(143), RootKind::European));
    EXPECT_EQ(store.firstGenerationRoots().size(), 1u);
    EXPECT_EQ(store.secondGenerationRoots().size(), 1u);
}

TEST(TrustStore, CertificatesThatAreNoSelfSignedEuropeanRootAreRefused)
{
    const FixturePki &pki = FixturePki::shared();
    TrustStore store;
    EXPECT_FALSE(store.addSecondGenerationRoot(pki.linkCertificate, RootKind::Test)); // signed by another root
    EXPECT_FALSE(store.addSecondGenerationRoot(pki.memberStateCaCertificate, RootKind::Test));
    EXPECT_FALSE(store.addSecondGenerationRoot(pki.europeanPublicKey, RootKind::Test));
    EXPECT_TRUE(store.addSecondGenerationRoot(pki.secondRootCertificate, RootKind::Test));
}
