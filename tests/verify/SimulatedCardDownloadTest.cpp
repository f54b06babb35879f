// Downloads of the simulated cards, as the product writes them, through the product's verifier:
// the test roots the simulated cards are signed under make them verify, the European roots alone
// do not.

#include "tools/vcard/CardGenerator.h"
#include "tools/vcard/CardKey.h"

#include "support/DddFile.h"
#include "verify/DownloadVerifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readFile(const std::string &path)
{
    std::ifstream stream(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

TrustStore testRoots()
{
    TrustStore store;
    EXPECT_TRUE(store.addFirstGenerationRoot(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_EC_PK.bin"),
                                             RootKind::Test));
    EXPECT_TRUE(store.addSecondGenerationRoot(readFile(std::string(KORVAN_TEST_PKI_DIR) + "/TEST_ROOT_1.cvc"),
                                              RootKind::Test));
    return store;
}

TrustStore europeanRoots()
{
    TrustStore store;
    EXPECT_TRUE(
            store.addFirstGenerationRoot(readFile(std::string(KORVAN_ROOTS_DIR) + "/EC_PK.bin"), RootKind::European));
    EXPECT_TRUE(store.addSecondGenerationRoot(
            readFile(std::string(KORVAN_ROOTS_DIR) + "/ERCA_Gen2_1_Root_Certificate.bin"), RootKind::European));
    return store;
}

Bytes simulatedDownload(const vcard::GeneratorOptions &options)
{
    const auto key = vcard::CardKey::fromSeed(options.seed);
    const auto secondKey = vcard::secondGenerationCardKey(options);
    return DddFile::encode(vcard::downloadRecords(vcard::generateCard(options), &*key,
                                                  options.generation == 2 ? &*secondKey : nullptr));
}

// A day the simulated cards' certificates are valid on.
std::chrono::sys_seconds downloadDay()
{
    using namespace std::chrono;
    return sys_seconds{sys_days{year{2026} / December / 10}} + hours(9);
}

} // namespace

TEST(SimulatedCardDownloads, VerifyUpToTheTestRootsOnlyAndNeverAsEuropean)
{
    vcard::GeneratorOptions first;
    first.seed = 41;
    vcard::GeneratorOptions second = first;
    second.generation = 2;
    vcard::GeneratorOptions linked = second;
    linked.secondGenerationVersion = 1;
    linked.cardCurve = vcard::EcCurve::BrainpoolP384r1;
    linked.chain = vcard::CertificateChain::SecondRoot;

    for (const auto &[name, options] : {std::pair{"first generation", first}, std::pair{"second generation", second},
                                        std::pair{"version 1 through the link", linked}}) {
        const Bytes download = simulatedDownload(options);
        const Verdict underTest = verifyDownload(download, testRoots(), downloadDay());
        EXPECT_EQ(underTest.overall, Overall::VerifiedTestRoot)
                << name << ": " << (underTest.firstFailure() ? underTest.firstFailure()->text : std::string());
        EXPECT_EQ(underTest.secondGeneration.status,
                  options.generation == 2 ? GenerationStatus::Verified : GenerationStatus::Absent)
                << name;

        const Verdict underEurope = verifyDownload(download, europeanRoots(), downloadDay());
        EXPECT_EQ(underEurope.overall, Overall::Failed) << name;
        ASSERT_NE(underEurope.firstFailure(), nullptr) << name;
        EXPECT_EQ(underEurope.firstFailure()->kind, FindingKind::UnknownRoot) << name;
    }
}
