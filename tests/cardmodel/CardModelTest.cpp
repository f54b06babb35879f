#include "cardmodel/ApplicationIdentification.h"
#include "cardmodel/CardFiles.h"
#include "cardmodel/CvCertificateContent.h"
#include "cardmodel/IdentificationFields.h"
#include "support/CaseName.h"
#include "support/CvCertificateBytes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The card's version decides which files a run asks for and which a verified download must hold:
// only the structures the card model knows may count as a version.
struct VersionCase
{
    const char *name;
    Bytes applicationIdentification;
    int version;
};

class CardVersion : public testing::TestWithParam<VersionCase>
{
};

TEST_P(CardVersion, ComesFromTheStructureVersion)
{
    EXPECT_EQ(ApplicationIdentification::secondGenerationVersion(GetParam().applicationIdentification),
              GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Table, CardVersion,
                         testing::Values(VersionCase{"Version1", {0x01, 0x01, 0x00, 0x00}, 1},
                                         VersionCase{"Version2", {0x01, 0x01, 0x01, 0x00}, 2},
                                         VersionCase{"LaterStructureIsNoVersionKnown", {0x01, 0x01, 0x02, 0x00}, 0},
                                         VersionCase{"OtherMajorStructure", {0x01, 0x00, 0x01, 0x00}, 0},
                                         VersionCase{"CutBeforeTheMinor", {0x01, 0x01}, 0},
                                         VersionCase{"Empty", {}, 0}),
                         CaseName());

TEST(CardType, DriverCardIsTheFirstByte)
{
    EXPECT_TRUE(ApplicationIdentification::isDriverCard(Bytes{0x01, 0x01, 0x01}));
    EXPECT_FALSE(ApplicationIdentification::isDriverCard(Bytes{0x02, 0x01, 0x01}));
    EXPECT_FALSE(ApplicationIdentification::isDriverCard(Bytes{}));
}

// The signature a card's signing key makes, and the hash it is made over, follow the curve its
// certificate names.
struct CurveCase
{
    const char *name;
    const char *curveName;
    Bytes oid;
    std::size_t coordinateSize;
    int keyBits;
    EcCurve::Hash hash;
    std::size_t signatureLength;
};

class CurveOfCertificate : public testing::TestWithParam<CurveCase>
{
};

TEST_P(CurveOfCertificate, GivesTheSizesAndTheHash)
{
    const CurveCase &c = GetParam();
    Bytes file = cvCertificateBytes(c.oid, c.coordinateSize);
    // The elementary file is larger than the certificate it holds.
    file.resize(file.size() + 20, 0x00);
    const EcCurve *curve = CvCertificateContent::curveOf(file);
    ASSERT_NE(curve, nullptr);
    EXPECT_EQ(curve->name, std::string(c.curveName));
    EXPECT_EQ(curve->keyBits, c.keyBits);
    EXPECT_EQ(curve->hash(), c.hash);
    EXPECT_EQ(curve->signatureLength(), c.signatureLength);
    EXPECT_TRUE(EcCurve::isSignatureLength(c.signatureLength));
}

const Bytes Brainpool256{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07};

INSTANTIATE_TEST_SUITE_P(
        Table, CurveOfCertificate,
        testing::Values(
                CurveCase{"BrainpoolP256", "brainpoolP256r1", Brainpool256, 32, 256, EcCurve::Hash::Sha256, 64},
                CurveCase{"BrainpoolP384",
                          "brainpoolP384r1",
                          {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0B},
                          48,
                          384,
                          EcCurve::Hash::Sha384,
                          96},
                CurveCase{"BrainpoolP512",
                          "brainpoolP512r1",
                          {0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x0D},
                          64,
                          512,
                          EcCurve::Hash::Sha512,
                          128},
                CurveCase{"NistP256",
                          "NIST P-256",
                          {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07},
                          32,
                          256,
                          EcCurve::Hash::Sha256,
                          64},
                CurveCase{"NistP384", "NIST P-384", {0x2B, 0x81, 0x04, 0x00, 0x22}, 48, 384, EcCurve::Hash::Sha384, 96},
                CurveCase{
                        "NistP521", "NIST P-521", {0x2B, 0x81, 0x04, 0x00, 0x23}, 66, 521, EcCurve::Hash::Sha512, 132}),
        CaseName());

// Bytes that merely contain a curve's identifier name no curve: only a certificate does.
struct NoCurveCase
{
    const char *name;
    Bytes bytes;
};

class NoCurve : public testing::TestWithParam<NoCurveCase>
{
};

TEST_P(NoCurve, IsFoundOutsideACertificate)
{
    EXPECT_EQ(CvCertificateContent::curveOf(GetParam().bytes), nullptr);
}

Bytes withJunkAfter(Bytes certificate)
{
    certificate.push_back(0x01);
    return certificate;
}

Bytes cut(Bytes certificate)
{
    certificate.resize(certificate.size() - 10);
    return certificate;
}

Bytes identifierInFill()
{
    Bytes bytes(40, 0xA5);
    const Bytes oid = derElement(0x06, Brainpool256);
    bytes.insert(bytes.end(), oid.begin(), oid.end());
    bytes.resize(205, 0xA5);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
        Table, NoCurve,
        testing::Values(NoCurveCase{"IdentifierInOtherBytes", identifierInFill()},
                        NoCurveCase{"UnknownCurve", cvCertificateBytes(Bytes{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08}, 32)},
                        NoCurveCase{"BytesAfterTheCertificate", withJunkAfter(cvCertificateBytes(Brainpool256, 32))},
                        NoCurveCase{"CertificateCut", cut(cvCertificateBytes(Brainpool256, 32))},
                        NoCurveCase{"Empty", {}}),
        CaseName());

std::vector<std::uint16_t> runOrder(int generation, CardFiles::Read where, int version)
{
    std::vector<std::uint16_t> order;
    for (const CardFiles::CardFile &file : CardFiles::files(generation)) {
        if (file.read == where && (version == 2 || !file.version2Only()))
            order.push_back(file.fileId);
    }
    return order;
}

// A run reads the common files from the master file, then the first application with its
// certificates before EF Identification; the second application's version 2 files come last, so
// that a card of version 1 is read whole before them.
TEST(CardFileTable, RunReadsEachApplicationInItsOrder)
{
    using CardFiles::Read;
    EXPECT_EQ(runOrder(1, Read::MasterFile, 1), (std::vector<std::uint16_t>{0x0002, 0x0005}));
    EXPECT_EQ(runOrder(1, Read::Application, 1),
              (std::vector<std::uint16_t>{0xC100, 0xC108, 0x0501, 0x0520, 0x050E, 0x0521, 0x0502, 0x0503, 0x0504,
                                          0x0505, 0x0506, 0x0507, 0x0508, 0x0522}));
    const std::vector<std::uint16_t> version1{0xC101, 0xC108, 0xC109, 0x0501, 0x0520, 0x0521, 0x0502, 0x0503,
                                              0x0504, 0x0505, 0x0506, 0x0507, 0x0508, 0x0522, 0x0523, 0x0524};
    EXPECT_TRUE(runOrder(2, Read::MasterFile, 2).empty());
    EXPECT_EQ(runOrder(2, Read::Application, 1), version1);
    std::vector<std::uint16_t> version2 = version1;
    version2.insert(version2.end(), {0x0525, 0x0526, 0x0527, 0x0528, 0x0529, 0x0530});
    EXPECT_EQ(runOrder(2, Read::Application, 2), version2);

    EXPECT_EQ(CardFiles::runFileCount(1, 1), 16);
    EXPECT_EQ(CardFiles::runFileCount(2, 1), 16);
    EXPECT_EQ(CardFiles::runFileCount(2, 2), 22);
}

// The card signs every file of an application when it is downloaded but its certificates and the
// common files; one file identifier names one file in each application.
TEST(CardFileTable, SignedFilesAndIdentifiersAreOneEach)
{
    const std::set<std::uint16_t> unsigned_{CardFiles::Icc,
                                            CardFiles::Ic,
                                            CardFiles::CardCertificate,
                                            CardFiles::CardSignCertificate,
                                            CardFiles::CaCertificate,
                                            CardFiles::LinkCertificate};
    for (const int generation : {1, 2}) {
        std::set<std::uint16_t> seen;
        for (const CardFiles::CardFile &file : CardFiles::files(generation)) {
            EXPECT_TRUE(seen.insert(file.fileId).second) << file.title;
            EXPECT_EQ(file.generation, generation) << file.title;
            EXPECT_EQ(CardFiles::find(file.fileId, generation), &file);
            if (file.read != CardFiles::Read::Never) {
                EXPECT_EQ(file.isSigned, !unsigned_.contains(file.fileId)) << file.title;
            }
        }
    }
    EXPECT_EQ(CardFiles::title(0x0509, 1), "Card Download");
    EXPECT_EQ(CardFiles::title(0x0600, 2), "EF 0600 G2");
}

struct RequiredCase
{
    const char *name;
    std::uint16_t fileId;
    int generation;
    bool driverCard;
    bool version2;
    bool required;
};

class RequiredFile : public testing::TestWithParam<RequiredCase>
{
};

TEST_P(RequiredFile, FollowsTheCardTypeAndVersion)
{
    const RequiredCase &c = GetParam();
    const CardFiles::CardFile *file = CardFiles::find(c.fileId, c.generation);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->isRequired(c.driverCard, c.version2), c.required);
}

INSTANTIATE_TEST_SUITE_P(Table, RequiredFile,
                         testing::Values(RequiredCase{"IdentificationOfAnyCard", 0x0520, 1, false, false, true},
                                         RequiredCase{"EventsOfADriverCard", 0x0502, 1, true, false, true},
                                         RequiredCase{"EventsOfAnotherCard", 0x0502, 1, false, false, false},
                                         RequiredCase{"CardDownloadNever", 0x050E, 1, true, false, false},
                                         RequiredCase{"BorderCrossingsOfVersion2Driver", 0x0528, 2, true, true, true},
                                         RequiredCase{"BorderCrossingsOfVersion1Driver", 0x0528, 2, true, false, false},
                                         RequiredCase{"BorderCrossingsOfVersion2Other", 0x0528, 2, false, true, false},
                                         RequiredCase{"IdentificationV2OfVersion2", 0x0525, 2, false, true, true}),
                         CaseName());

// A card pulled mid-read leaves its fields short; a field ends at its first zero byte.
struct FieldCase
{
    const char *name;
    std::size_t count;
    IdentificationFields::Field field;
    std::string expected;
};

class IdentificationField : public testing::TestWithParam<FieldCase>
{
};

TEST_P(IdentificationField, IsItsBytesUpToTheFirstZero)
{
    Bytes identification(143, ' ');
    identification[0] = 0x1A;
    const std::string number = "CZ12345678901234";
    std::copy(number.begin(), number.end(), identification.begin() + 1);
    const std::string surname = "NOVAK";
    std::copy(surname.begin(), surname.end(), identification.begin() + 66);
    identification[66 + surname.size()] = 0x00;
    const std::span<const std::uint8_t> field =
            IdentificationFields::bytes(std::span(identification).first(GetParam().count), GetParam().field);
    EXPECT_EQ(std::string(field.begin(), field.end()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
        Table, IdentificationField,
        testing::Values(FieldCase{"CardNumber", 143, IdentificationFields::CardNumber, "CZ12345678901234"},
                        FieldCase{"CardNumberCut", 5, IdentificationFields::CardNumber, "CZ12"},
                        FieldCase{"SurnameEndsAtZero", 143, IdentificationFields::Surname, "NOVAK"},
                        FieldCase{"FirstNamesKeepTheirFill", 110, IdentificationFields::FirstNames, "        "},
                        FieldCase{"NothingRead", 0, IdentificationFields::IssuingMemberState, ""}),
        CaseName());

} // namespace
