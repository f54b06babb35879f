#include "DownloadEdits.h"
#include "FixturePki.h"
#include "support/CaseName.h"

#include "cardmodel/CardFiles.h"
#include "verify/DownloadVerifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace DownloadEdits;

namespace {

constexpr std::uint8_t FirstData = 0x00;
constexpr std::uint8_t FirstSignature = 0x01;
constexpr std::uint8_t SecondData = 0x02;
constexpr std::uint8_t SecondSignature = 0x03;

const Bytes &download()
{
    static const Bytes bytes = fixtureDownload();
    return bytes;
}

const Bytes &linkedDownload()
{
    static const Bytes bytes = fixtureDownload({.secondGeneration = true, .throughLink = true});
    return bytes;
}

Verdict verify(const Bytes &bytes, const TrustStore &trust = FixturePki::shared().trust(RootKind::European),
               std::chrono::sys_seconds time = fixtureDownloadTime())
{
    return verifyDownload(bytes, trust, time);
}

bool hasLine(const Verdict &verdict, const std::string &line)
{
    return std::find(verdict.lines.begin(), verdict.lines.end(), line) != verdict.lines.end();
}

std::string allLines(const Verdict &verdict)
{
    std::string text;
    for (const std::string &line : verdict.lines)
        text += line + "\n";
    return text;
}

struct SignedRecord
{
    std::uint16_t fileId;
    std::uint8_t dataType;
    std::string title;
};

// Every file of the fixture's download that carries a signature.
std::vector<SignedRecord> signedRecords()
{
    std::vector<SignedRecord> records;
    std::size_t at = 0;
    const Bytes &bytes = download();
    while (at + 5 <= bytes.size()) {
        const auto fileId = static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
        const std::uint8_t type = bytes[at + 2];
        if (type == FirstSignature || type == SecondSignature)
            records.push_back({fileId, static_cast<std::uint8_t>(type - 1),
                               CardFiles::title(fileId, type == SecondSignature ? 2 : 1)});
        at += 5 + (std::size_t{bytes[at + 3]} << 8 | bytes[at + 4]);
    }
    return records;
}

void expectFailure(const Verdict &verdict, FindingKind kind, const std::string &item)
{
    ASSERT_EQ(verdict.overall, Overall::Failed) << allLines(verdict);
    ASSERT_NE(verdict.firstFailure(), nullptr);
    EXPECT_EQ(verdict.firstFailure()->kind, kind) << findingKindName(verdict.firstFailure()->kind) << "\n"
                                                  << allLines(verdict);
    EXPECT_EQ(verdict.firstFailure()->item, item) << allLines(verdict);
    EXPECT_TRUE(std::any_of(verdict.lines.begin(), verdict.lines.end(), [&](const std::string &line) {
        return line.starts_with("- error: " + item + ": ");
    })) << allLines(verdict);
    EXPECT_TRUE(verdict.lines.back().starts_with("----- Verification failed: " + item + ": ")) << allLines(verdict);
}

} // namespace

TEST(DownloadVerifier, UntouchedDownloadsVerifyAgainstTheirRoot)
{
    const Verdict verdict = verify(download());
    EXPECT_EQ(verdict.overall, Overall::VerifiedEuropeanRoot) << allLines(verdict);
    EXPECT_TRUE(verdict.findings.empty());
    EXPECT_EQ(verdict.firstGeneration.status, GenerationStatus::Verified);
    EXPECT_EQ(verdict.secondGeneration.status, GenerationStatus::Verified);
    EXPECT_EQ(verdict.lines.front(), "----- Verify signatures -----");
    EXPECT_TRUE(hasLine(verdict, "- CA Certificate: verified (valid until 2031-05-01)")) << allLines(verdict);
    EXPECT_TRUE(hasLine(verdict, "- Card Certificate: verified (valid until 2030-06-30)"));
    EXPECT_TRUE(hasLine(verdict, "- Driver Activity Data: signature verified"));
    EXPECT_TRUE(hasLine(verdict, "- CA Certificate G2: verified (valid until 2030-02-01)"));
    EXPECT_TRUE(hasLine(verdict, "- Card Sign Certificate G2: verified (valid until 2029-04-01)"));
    EXPECT_TRUE(hasLine(verdict, "- Load Unload Operations G2: signature verified"));
    EXPECT_EQ(verdict.lines.back(), "----- Signatures verified against the European root -----");
    // The frame, two certificates of each generation (the link file is empty) and the signed files.
    EXPECT_EQ(verdict.lines.size(), 2 + 4 + signedRecords().size());

    const Verdict firstOnly = verify(fixtureDownload({.secondGeneration = false}));
    EXPECT_EQ(firstOnly.overall, Overall::VerifiedEuropeanRoot) << allLines(firstOnly);
    EXPECT_EQ(firstOnly.secondGeneration.status, GenerationStatus::Absent);
}

TEST(DownloadVerifier, SecondGenerationChainsThroughTheLinkCertificateToTheFirstRoot)
{
    const Verdict verdict = verify(linkedDownload());
    EXPECT_EQ(verdict.overall, Overall::VerifiedEuropeanRoot) << allLines(verdict);
    EXPECT_TRUE(hasLine(verdict, "- Link Certificate G2: verified (valid until 2041-04-01)")) << allLines(verdict);
}

// The fixture's roots carry the identifiers of the real European ones: trusted beside them as test
// roots, a download under the fixture must still say so.
TEST(DownloadVerifier, DownloadUnderATestRootNeverReadsAsEuropean)
{
    const FixturePki &pki = FixturePki::shared();
    TrustStore trust = TrustStore::builtIn();
    ASSERT_TRUE(trust.addFirstGenerationRoot(pki.europeanPublicKey, RootKind::Test));
    ASSERT_TRUE(trust.addSecondGenerationRoot(pki.firstRootCertificate, RootKind::Test));

    for (const Bytes *bytes : {&download(), &linkedDownload()}) {
        const Verdict verdict = verify(*bytes, trust);
        EXPECT_EQ(verdict.overall, Overall::VerifiedTestRoot) << allLines(verdict);
        EXPECT_EQ(verdict.firstGeneration.root, RootKind::Test);
        EXPECT_EQ(verdict.secondGeneration.root, RootKind::Test);
        EXPECT_EQ(verdict.lines.back(), "----- Signatures verified against a TEST root, not the European root -----");
        EXPECT_TRUE(hasLine(verdict, "- CA Certificate: verified with a TEST root (valid until 2031-05-01)"));
        EXPECT_FALSE(allLines(verdict).find("against the European root") != std::string::npos);
    }

    // Trusted as European for the second generation only: the first still reads as test.
    TrustStore mixed;
    mixed.addFirstGenerationRoot(pki.europeanPublicKey, RootKind::Test);
    mixed.addSecondGenerationRoot(pki.firstRootCertificate, RootKind::European);
    EXPECT_EQ(verify(download(), mixed).overall, Overall::VerifiedTestRoot);
}

TEST(DownloadVerifier, AChangedByteInAnySignedFileOrSignatureIsNamed)
{
    const std::vector<SignedRecord> records = signedRecords();
    ASSERT_EQ(records.size(), 12u + 20u);
    for (const SignedRecord &record : records) {
        SCOPED_TRACE(record.title);
        expectFailure(verify(flipped(download(), record.fileId, record.dataType, 0)), FindingKind::SignatureInvalid,
                      record.title);
        const auto [content, length] =
                locate(download(), record.fileId, static_cast<std::uint8_t>(record.dataType + 1));
        expectFailure(
                verify(flipped(download(), record.fileId, static_cast<std::uint8_t>(record.dataType + 1), length - 1)),
                FindingKind::SignatureInvalid, record.title);
    }
}

struct TamperCase
{
    std::string name;
    std::function<Bytes()> download;
    FindingKind kind;
    std::string item;
    std::function<TrustStore()> trust = [] {
        return FixturePki::shared().trust(RootKind::European);
    };
    std::chrono::sys_seconds time = fixtureDownloadTime();

    friend void PrintTo(const TamperCase &c, std::ostream *out) { *out << c.name; }
};

class TamperedDownload : public testing::TestWithParam<TamperCase>
{
};

TEST_P(TamperedDownload, IsFoundAndNamed)
{
    const TamperCase &c = GetParam();
    expectFailure(verify(c.download(), c.trust(), c.time), c.kind, c.item);
}

const FixturePki &pki()
{
    return FixturePki::shared();
}

TrustStore secondRootOnly()
{
    TrustStore store;
    store.addFirstGenerationRoot(pki().europeanPublicKey, RootKind::European);
    store.addSecondGenerationRoot(pki().secondRootCertificate, RootKind::European);
    return store;
}

Bytes linkCertificateWithAuthorisation(std::uint8_t equipmentType)
{
    using namespace FixtureCertificates;
    return cvCertificate(pki().firstRootKey,
                         {FixturePki::FirstRootReference, secondGeneration(equipmentType),
                          FixturePki::SecondRootReference, 0, 0xFFFFFFF0},
                         pki().secondRootKey);
}

// Positions in a first-generation certificate: signature 0..127, remainder 128..185, CAR 186..193.
INSTANTIATE_TEST_SUITE_P(
        Certificates, TamperedDownload,
        testing::Values(TamperCase{"CaSignature", [] { return flipped(download(), 0xC108, FirstData, 5); },
                                   FindingKind::BrokenChain, "CA Certificate"},
                        TamperCase{"CaRemainder", [] { return flipped(download(), 0xC108, FirstData, 150); },
                                   FindingKind::BrokenChain, "CA Certificate"},
                        TamperCase{"CaAppendedReference", [] { return flipped(download(), 0xC108, FirstData, 190); },
                                   FindingKind::UnknownRoot, "CA Certificate"},
                        TamperCase{"CardSignature", [] { return flipped(download(), 0xC100, FirstData, 100); },
                                   FindingKind::BrokenChain, "Card Certificate"},
                        TamperCase{"CardRemainder", [] { return flipped(download(), 0xC100, FirstData, 128); },
                                   FindingKind::BrokenChain, "Card Certificate"},
                        TamperCase{"CardAppendedReference", [] { return flipped(download(), 0xC100, FirstData, 193); },
                                   FindingKind::BrokenChain, "Card Certificate"},
                        TamperCase{"CardCut", [] { return replaced(download(), 0xC100, FirstData, Bytes(193)); },
                                   FindingKind::Malformed, "Card Certificate"},
                        TamperCase{"SecondCaEffectiveDate", [] { return flipped(download(), 0xC108, SecondData, 130); },
                                   FindingKind::BrokenChain, "CA Certificate G2"},
                        TamperCase{"SecondCaSignature",
                                   [] {
                                       const auto [at, length] = locate(download(), 0xC108, SecondData);
                                       return flipped(download(), 0xC108, SecondData, length - 3);
                                   },
                                   FindingKind::BrokenChain, "CA Certificate G2"},
                        TamperCase{"CardSignExpirationDate",
                                   [] { return flipped(download(), 0xC101, SecondData, 135); },
                                   FindingKind::BrokenChain, "Card Sign Certificate G2"},
                        TamperCase{"CardSignCut",
                                   [] {
                                       Bytes certificate = pki().cardSignCertificate;
                                       certificate.resize(certificate.size() - 1);
                                       return replaced(download(), 0xC101, SecondData, certificate);
                                   },
                                   FindingKind::Malformed, "Card Sign Certificate G2"},
                        TamperCase{"CardSignWithTrailingJunk",
                                   [] {
                                       Bytes certificate = pki().cardSignCertificate;
                                       certificate.push_back(0x01);
                                       return replaced(download(), 0xC101, SecondData, certificate);
                                   },
                                   FindingKind::Malformed, "Card Sign Certificate G2"}),
        CaseName());

INSTANTIATE_TEST_SUITE_P(
        Chains, TamperedDownload,
        testing::Values(
                TamperCase{"CardCertificateOfAnotherCard",
                           [] { return replaced(download(), 0xC100, FirstData, pki().otherCardCertificate); },
                           FindingKind::SignatureInvalid, "Application Identification"},
                TamperCase{"CaCertificateOfAnotherMemberState",
                           [] { return replaced(download(), 0xC108, FirstData, pki().otherCaCertificate); },
                           FindingKind::BrokenChain, "Card Certificate"},
                TamperCase{"CardSignCertificateOfAnotherCard",
                           [] { return replaced(download(), 0xC101, SecondData, pki().otherCardSignCertificate); },
                           FindingKind::SignatureInvalid, "Application Identification G2"},
                TamperCase{"CardSignCertificateUnderAnotherCa",
                           [] { return replaced(download(), 0xC101, SecondData, pki().laterCardSignCertificate); },
                           FindingKind::BrokenChain, "Card Sign Certificate G2"},
                TamperCase{"MutualAuthenticationCertificateForSigning",
                           [] { return replaced(download(), 0xC101, SecondData, pki().cardMaCertificate); },
                           FindingKind::WrongAuthorisation, "Card Sign Certificate G2"},
                TamperCase{"UnknownRoots", [] { return download(); }, FindingKind::UnknownRoot, "CA Certificate",
                           [] {
                               return TrustStore();
                           }},
                TamperCase{"UnknownSecondRoot", [] { return download(); }, FindingKind::UnknownRoot,
                           "CA Certificate G2", secondRootOnly},
                TamperCase{"CaUnderLaterRootWithoutLink",
                           [] { return replaced(linkedDownload(), 0xC109, SecondData, Bytes(205)); },
                           FindingKind::UnknownRoot, "CA Certificate G2"},
                TamperCase{"LinkSignature",
                           [] {
                               const auto [at, length] = locate(linkedDownload(), 0xC109, SecondData);
                               return flipped(linkedDownload(), 0xC109, SecondData, length - 1);
                           },
                           FindingKind::BrokenChain, "Link Certificate G2"},
                TamperCase{"LinkFromAnUnknownRoot", [] { return linkedDownload(); }, FindingKind::UnknownRoot,
                           "Link Certificate G2",
                           [] {
                               TrustStore store;
                               store.addFirstGenerationRoot(pki().europeanPublicKey, RootKind::European);
                               return store;
                           }},
                TamperCase{"LinkThatIsNoErcaCertificate",
                           [] {
                               return replaced(linkedDownload(), 0xC109, SecondData,
                                               linkCertificateWithAuthorisation(14));
                           },
                           FindingKind::WrongAuthorisation, "Link Certificate G2"}),
        CaseName());

INSTANTIATE_TEST_SUITE_P(
        Validity, TamperedDownload,
        testing::Values(TamperCase{"CardCertificateExpired", [] { return download(); }, FindingKind::OutsideValidity,
                                   "Card Certificate", [] { return pki().trust(RootKind::European); },
                                   fixtureTime(2030, 7, 1)},
                        TamperCase{"CardSignNotYetValid", [] { return download(); }, FindingKind::OutsideValidity,
                                   "Card Sign Certificate G2", [] { return pki().trust(RootKind::European); },
                                   fixtureTime(2024, 2, 1)},
                        TamperCase{"CaExpired", [] { return download(); }, FindingKind::OutsideValidity,
                                   "CA Certificate G2", [] { return pki().trust(RootKind::European); },
                                   fixtureTime(2030, 3, 1)},
                        TamperCase{"LinkExpired", [] { return linkedDownload(); }, FindingKind::OutsideValidity,
                                   "Link Certificate G2", [] { return pki().trust(RootKind::European); },
                                   fixtureTime(2023, 6, 1)}),
        CaseName());

INSTANTIATE_TEST_SUITE_P(
        Records, TamperedDownload,
        testing::Values(
                TamperCase{"MissingSignature", [] { return without(download(), 0x0504, FirstSignature); },
                           FindingKind::SignatureMissing, "Driver Activity Data"},
                // The card signs EF Card_Download of the first application like the others.
                TamperCase{"MissingCardDownloadSignature", [] { return without(download(), 0x050E, FirstSignature); },
                           FindingKind::SignatureMissing, "Card Download"},
                TamperCase{"MissingSecondGenerationSignature",
                           [] { return without(download(), 0x0524, SecondSignature); }, FindingKind::SignatureMissing,
                           "GNSS Places G2"},
                TamperCase{"MissingFile",
                           [] { return without(without(download(), 0x0504, FirstSignature), 0x0504, FirstData); },
                           FindingKind::FileMissing, "Driver Activity Data"},
                TamperCase{"MissingVersion2File",
                           [] { return without(without(download(), 0x0528, SecondSignature), 0x0528, SecondData); },
                           FindingKind::FileMissing, "Border Crossings G2"},
                TamperCase{"MissingCardSignCertificate", [] { return without(download(), 0xC101, SecondData); },
                           FindingKind::FileMissing, "Card Sign Certificate G2"},
                TamperCase{"SignatureOfTheWrongFile",
                           [] {
                               const auto [at, length] = locate(download(), 0x0503, FirstSignature);
                               Bytes bytes = download();
                               bytes[at - 4] = 0x02; // 0503 01 becomes 0502 01, after 0503 00
                               return bytes;
                           },
                           FindingKind::Malformed, "Events Data"},
                TamperCase{"FileTwice",
                           [] {
                               const auto [at, length] = locate(download(), 0x0520, FirstData);
                               Bytes bytes = download();
                               bytes.insert(bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at - 5),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
                               return bytes;
                           },
                           FindingKind::Malformed, "Identification"},
                TamperCase{"Empty", [] { return Bytes(); }, FindingKind::Malformed, "Download file"},
                TamperCase{"CutInARecord",
                           [] {
                               Bytes bytes = download();
                               bytes.resize(bytes.size() - 1);
                               return bytes;
                           },
                           FindingKind::Malformed, "Download file"},
                TamperCase{"UnknownRecordType",
                           [] {
                               Bytes bytes = download();
                               bytes[2] = 0x04;
                               return bytes;
                           },
                           FindingKind::Malformed, "Download file"},
                TamperCase{"EndlessFiles",
                           [] {
                               Bytes bytes = download();
                               for (std::uint16_t fileId = 0x1000; fileId < 0x1100; ++fileId)
                                   bytes.insert(bytes.end(),
                                                {static_cast<std::uint8_t>(fileId >> 8),
                                                 static_cast<std::uint8_t>(fileId), 0x02, 0x00, 0x00});
                               return bytes;
                           },
                           FindingKind::Malformed, "EF 1029 G2"},
                TamperCase{"CommonFilesOnly", [] { return Bytes(download().begin(), download().begin() + 5 + 25); },
                           FindingKind::Malformed, "Download file"}),
        CaseName());
