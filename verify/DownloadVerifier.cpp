#include "verify/DownloadVerifier.h"

#include "cardmodel/ApplicationIdentification.h"
#include "cardmodel/CardFiles.h"
#include "verify/DownloadApplication.h"
#include "verify/DownloadRecords.h"
#include "verify/RsaCertificate.h"
#include "verify/VerifyText.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

// Holder authorisations: the application identifier of each generation, then the equipment type.
constexpr std::uint8_t MemberStateType = 0; // first generation
constexpr std::uint8_t DriverCardType = 1;
constexpr std::uint8_t CompanyCardType = 4;
constexpr std::uint8_t ErcaType = 13;
constexpr std::uint8_t MemberStateCaType = 14;
constexpr std::uint8_t DriverCardSignType = 17;
constexpr std::uint8_t WorkshopCardSignType = 18;

// Twice the files of the largest application: room for files added to cards later, and a bound
// on the signatures a hostile file can make us check.
constexpr std::size_t MaximumFiles = 64;

// The holder authorisation starts with the application's name.
bool authorises(const std::array<std::uint8_t, 7> &authorisation, const std::array<std::uint8_t, 6> &application)
{
    return std::equal(application.begin(), application.end(), authorisation.begin());
}

bool allZero(std::span<const std::uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

const char *rootNote(RootKind kind)
{
    return kind == RootKind::Test ? " with a TEST root" : "";
}

class DownloadVerifier
{
public:
    DownloadVerifier(const TrustStore &trust, std::chrono::sys_seconds downloadTime)
        : m_trust(trust)
        , m_time(downloadTime.time_since_epoch().count())
    { }

    Verdict run(std::span<const std::uint8_t> file)
    {
        line("----- Verify signatures -----");
        std::string problem;
        const std::optional<std::vector<DownloadRecords::Record>> records = DownloadRecords::read(file, problem);
        if (!records)
            fail(FindingKind::Malformed, 0, "Download file", "malformed: " + problem);
        else if (file.empty())
            fail(FindingKind::Malformed, 0, "Download file", "empty");
        else if (group(*records)) {
            if (!m_first.present && !m_second.present)
                fail(FindingKind::Malformed, 0, "Download file", "holds no file of a tachograph application");
            if (m_first.present)
                m_verdict.firstGeneration = verifyFirstGeneration();
            if (m_second.present)
                m_verdict.secondGeneration = verifySecondGeneration();
        }
        conclude();
        return std::move(m_verdict);
    }

private:
    void line(std::string text) { m_verdict.lines.push_back(std::move(text)); }

    void fail(FindingKind kind, int generation, const std::string &item, const std::string &text)
    {
        m_verdict.findings.push_back({kind, generation, item, text});
        line("- error: " + item + ": " + text);
    }

    // Sorts the records into the two applications; a signature must directly follow the data of
    // its own file, and no file may appear twice.
    bool group(const std::vector<DownloadRecords::Record> &records)
    {
        m_first.generation = 1;
        m_second.generation = 2;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const DownloadRecords::Record &record = records[i];
            const bool second = record.type >= DownloadRecords::SecondData;
            DownloadApplication &application = second ? m_second : m_first;
            const int generation = application.generation;
            const std::string title = CardFiles::title(record.fileId, generation);
            const bool signature =
                    record.type == DownloadRecords::FirstSignature || record.type == DownloadRecords::SecondSignature;
            if (signature) {
                const bool follows =
                        i > 0 && records[i - 1].fileId == record.fileId && records[i - 1].type == record.type - 1;
                if (!follows) {
                    fail(FindingKind::Malformed, generation, title, "signature without its file before it");
                    return false;
                }
                application.files.back().signature = record.content;
                continue;
            }
            if (application.find(record.fileId)) {
                fail(FindingKind::Malformed, generation, title, "appears twice in the download");
                return false;
            }
            if (application.files.size() == MaximumFiles) {
                fail(FindingKind::Malformed, generation, title, "more files than a card's application holds");
                return false;
            }
            application.files.push_back({record.fileId, generation, record.content, std::nullopt, title,
                                         CardFiles::find(record.fileId, generation)});
            if (second || (record.fileId != CardFiles::Icc && record.fileId != CardFiles::Ic))
                application.present = true;
        }
        return true;
    }

    GenerationResult verifyFirstGeneration()
    {
        const std::size_t findingsBefore = m_verdict.findings.size();
        RootKind root = RootKind::European;
        const std::optional<RsaPublicKey> cardKey = firstGenerationChain(root);
        for (const ElementaryFile &file : m_first.files) {
            checkSignature(file, cardKey.has_value(), [&](std::span<const std::uint8_t> signature) {
                return cardKey->verifySha1Signature(file.data, signature);
            });
        }
        checkRequiredFiles(m_first);
        return result(findingsBefore, root);
    }

    GenerationResult verifySecondGeneration()
    {
        const std::size_t findingsBefore = m_verdict.findings.size();
        RootKind root = RootKind::European;
        const std::optional<EcPublicKey> cardKey = secondGenerationChain(root);
        for (const ElementaryFile &file : m_second.files) {
            checkSignature(file, cardKey.has_value(), [&](std::span<const std::uint8_t> signature) {
                return cardKey->verify(file.data, signature);
            });
        }
        checkRequiredFiles(m_second);
        return result(findingsBefore, root);
    }

    GenerationResult result(std::size_t findingsBefore, RootKind root) const
    {
        GenerationResult result;
        result.status =
                m_verdict.findings.size() == findingsBefore ? GenerationStatus::Verified : GenerationStatus::Failed;
        result.root = root;
        return result;
    }

    template<typename Verify>
    void checkSignature(const ElementaryFile &file, bool haveCardKey, Verify verify)
    {
        const bool isCommon = file.fileId == CardFiles::Icc || file.fileId == CardFiles::Ic;
        const bool isCertificate = file.fileId == CardFiles::CardCertificate
                || file.fileId == CardFiles::CardSignCertificate || file.fileId == CardFiles::CaCertificate
                || file.fileId == CardFiles::LinkCertificate;
        if (!file.signature) {
            if (!file.known || file.known->isSigned)
                fail(FindingKind::SignatureMissing, file.generation, file.title, "signed file without its signature");
            else if (!isCommon && !isCertificate)
                line("- " + file.title + ": not signed");
            else if (file.fileId == CardFiles::CardCertificate && file.generation == 2)
                line("- " + file.title + ": not checked (not used for signatures)");
            return;
        }
        if (!haveCardKey)
            line("- " + file.title + ": signature not checked (no trusted card key)");
        else if (verify(*file.signature))
            line("- " + file.title + ": signature verified");
        else
            fail(FindingKind::SignatureInvalid, file.generation, file.title, "signature does not verify");
    }

    void checkRequiredFiles(const DownloadApplication &application)
    {
        const ElementaryFile *identification = application.find(CardFiles::ApplicationIdentification);
        const std::span<const std::uint8_t> content =
                identification ? identification->data : std::span<const std::uint8_t>();
        const bool driverCard = ApplicationIdentification::isDriverCard(content);
        const bool version2 =
                application.generation == 2 && ApplicationIdentification::secondGenerationVersion(content) == 2;
        for (const CardFiles::CardFile &file : CardFiles::files(application.generation)) {
            const bool required = file.isRequired(driverCard, version2);
            // Missing certificates were named where the chain needed them.
            const bool certificate = file.fileId == CardFiles::CardCertificate
                    || file.fileId == CardFiles::CardSignCertificate || file.fileId == CardFiles::CaCertificate;
            if (required && !certificate && !application.find(file.fileId))
                fail(FindingKind::FileMissing, application.generation, file.title, "missing from the download");
        }
    }

    bool validAt(std::uint32_t from, std::uint32_t until) const { return m_time >= from && m_time <= until; }

    std::optional<RsaPublicKey> firstGenerationChain(RootKind &root)
    {
        const ElementaryFile *caFile = m_first.find(CardFiles::CaCertificate);
        const ElementaryFile *cardFile = m_first.find(CardFiles::CardCertificate);
        if (!caFile)
            fail(FindingKind::FileMissing, 1, "CA Certificate", "missing from the download");
        if (!cardFile)
            fail(FindingKind::FileMissing, 1, "Card Certificate", "missing from the download");
        if (!caFile || !cardFile)
            return std::nullopt;
        for (const ElementaryFile *file : {caFile, cardFile}) {
            if (file->data.size() != RsaCertificate::Size) {
                fail(FindingKind::Malformed, 1, file->title, "not a certificate of 194 bytes");
                return std::nullopt;
            }
        }

        // The European key the appended reference names; more than one key may share an
        // identifier (a test key made like the European one), so each such key is tried.
        const RsaCertificate::Reference issuer = RsaCertificate::appendedAuthorityReference(caFile->data);
        std::optional<RsaCertificate> ca;
        bool knownRoot = false;
        RsaCertificate::Problem problem = RsaCertificate::Problem::None;
        for (const FirstGenerationRoot &candidate : m_trust.firstGenerationRoots()) {
            if (candidate.keyIdentifier != issuer)
                continue;
            knownRoot = true;
            ca = RsaCertificate::recover(caFile->data, candidate.key, problem);
            if (ca) {
                root = candidate.kind;
                break;
            }
        }
        if (!knownRoot) {
            fail(FindingKind::UnknownRoot, 1, caFile->title, "issued by an unknown root " + hexText(issuer));
            return std::nullopt;
        }
        if (!ca) {
            const std::string text = problem == RsaCertificate::Problem::Signature
                    ? "signature does not verify with the root " + hexText(issuer)
                    : RsaCertificate::problemText(problem);
            fail(FindingKind::BrokenChain, 1, caFile->title, text);
            return std::nullopt;
        }
        if (!authorises(ca->holderAuthorisation, CardFiles::FirstGenerationAid)
            || ca->holderAuthorisation.back() != MemberStateType) {
            fail(FindingKind::WrongAuthorisation, 1, caFile->title, "not a Member State certificate");
            return std::nullopt;
        }
        if (!firstGenerationValid(*ca, caFile->title))
            return std::nullopt;
        line("- " + caFile->title + ": verified" + rootNote(root) + firstGenerationValidity(*ca));

        const RsaCertificate::Reference cardIssuer = RsaCertificate::appendedAuthorityReference(cardFile->data);
        if (cardIssuer != ca->holderReference) {
            fail(FindingKind::BrokenChain, 1, cardFile->title,
                 "issued by " + hexText(cardIssuer) + ", not by the CA certificate's holder "
                         + hexText(ca->holderReference));
            return std::nullopt;
        }
        std::optional<RsaCertificate> card = RsaCertificate::recover(cardFile->data, ca->publicKey, problem);
        if (!card) {
            const std::string text = problem == RsaCertificate::Problem::Signature
                    ? "signature does not verify with the CA certificate's key"
                    : RsaCertificate::problemText(problem);
            fail(FindingKind::BrokenChain, 1, cardFile->title, text);
            return std::nullopt;
        }
        const std::uint8_t type = card->holderAuthorisation.back();
        if (!authorises(card->holderAuthorisation, CardFiles::FirstGenerationAid) || type < DriverCardType
            || type > CompanyCardType) {
            fail(FindingKind::WrongAuthorisation, 1, cardFile->title, "not a card certificate");
            return std::nullopt;
        }
        if (!firstGenerationValid(*card, cardFile->title))
            return std::nullopt;
        line("- " + cardFile->title + ": verified" + firstGenerationValidity(*card));
        return card->publicKey;
    }

    static std::string firstGenerationValidity(const RsaCertificate &certificate)
    {
        return certificate.hasEndOfValidity ? " (valid until " + dateText(certificate.endOfValidity) + ")"
                                            : " (no end of validity)";
    }

    bool firstGenerationValid(const RsaCertificate &certificate, const std::string &title)
    {
        if (!certificate.hasEndOfValidity || validAt(0, certificate.endOfValidity))
            return true;
        fail(FindingKind::OutsideValidity, 1, title,
             "not valid at the time of the download" + firstGenerationValidity(certificate));
        return false;
    }

    bool secondGenerationValid(const CvCertificate &certificate, const std::string &title)
    {
        if (validAt(certificate.effectiveDate, certificate.expirationDate))
            return true;
        fail(FindingKind::OutsideValidity, 2, title,
             "not valid at the time of the download (valid from " + dateText(certificate.effectiveDate) + " until "
                     + dateText(certificate.expirationDate) + ")");
        return false;
    }

    std::optional<CvCertificate> parseCertificate(const ElementaryFile &file)
    {
        std::string problem;
        std::optional<CvCertificate> certificate = CvCertificate::parse(file.data, problem);
        if (!certificate)
            fail(FindingKind::Malformed, 2, file.title, "malformed: " + problem);
        return certificate;
    }

    // The trusted root that issued a certificate: each root with the named holder reference is
    // tried. Null when none verifies; `known` tells whether any root had that reference.
    const SecondGenerationRoot *secondGenerationIssuer(const CvCertificate &certificate, bool &known) const
    {
        known = false;
        for (const SecondGenerationRoot &candidate : m_trust.secondGenerationRoots()) {
            if (candidate.certificate.holderReference != certificate.authorityReference)
                continue;
            known = true;
            if (certificate.isSignedBy(candidate.certificate.publicKey))
                return &candidate;
        }
        return nullptr;
    }

    bool rootValid(const SecondGenerationRoot &root)
    {
        return secondGenerationValid(root.certificate,
                                     std::string(root.kind == RootKind::Test ? "TEST" : "European") + " root "
                                             + hexText(root.certificate.holderReference));
    }

    std::optional<EcPublicKey> secondGenerationChain(RootKind &root)
    {
        const ElementaryFile *caFile = m_second.find(CardFiles::CaCertificate);
        const ElementaryFile *signFile = m_second.find(CardFiles::CardSignCertificate);
        const ElementaryFile *linkFile = m_second.find(CardFiles::LinkCertificate);
        if (!signFile)
            fail(FindingKind::FileMissing, 2, CardFiles::title(CardFiles::CardSignCertificate, 2),
                 "missing from the download");
        if (!caFile)
            fail(FindingKind::FileMissing, 2, CardFiles::title(CardFiles::CaCertificate, 2),
                 "missing from the download");
        if (!caFile || !signFile)
            return std::nullopt;
        const std::optional<CvCertificate> ca = parseCertificate(*caFile);
        if (!ca)
            return std::nullopt;
        const std::optional<CvCertificate> sign = parseCertificate(*signFile);
        if (!sign)
            return std::nullopt;
        // A card without a link certificate holds an empty (zero-filled) file.
        std::optional<CvCertificate> link;
        if (linkFile && !allZero(linkFile->data)) {
            link = parseCertificate(*linkFile);
            if (!link)
                return std::nullopt;
        }

        bool knownRoot = false;
        const SecondGenerationRoot *issuer = secondGenerationIssuer(*ca, knownRoot);
        if (knownRoot && !issuer) {
            fail(FindingKind::BrokenChain, 2, caFile->title,
                 "signature does not verify with the root " + hexText(ca->authorityReference));
            return std::nullopt;
        }
        if (issuer) {
            root = issuer->kind;
            if (!rootValid(*issuer))
                return std::nullopt;
        } else {
            // Issued under a later root: only a link certificate from a trusted root vouches for it.
            if (!link || link->holderReference != ca->authorityReference) {
                fail(FindingKind::UnknownRoot, 2, caFile->title,
                     "issued by an unknown root " + hexText(ca->authorityReference));
                return std::nullopt;
            }
            const SecondGenerationRoot *linkIssuer = secondGenerationIssuer(*link, knownRoot);
            if (!knownRoot) {
                fail(FindingKind::UnknownRoot, 2, linkFile->title,
                     "issued by an unknown root " + hexText(link->authorityReference));
                return std::nullopt;
            }
            if (!linkIssuer) {
                fail(FindingKind::BrokenChain, 2, linkFile->title,
                     "signature does not verify with the root " + hexText(link->authorityReference));
                return std::nullopt;
            }
            root = linkIssuer->kind;
            if (!rootValid(*linkIssuer))
                return std::nullopt;
            if (!authorises(link->holderAuthorisation, CardFiles::SecondGenerationAid)
                || link->equipmentType() != ErcaType) {
                fail(FindingKind::WrongAuthorisation, 2, linkFile->title, "not a link certificate of a European root");
                return std::nullopt;
            }
            if (!secondGenerationValid(*link, linkFile->title))
                return std::nullopt;
            line("- " + linkFile->title + ": verified" + rootNote(root) + " (valid until "
                 + dateText(link->expirationDate) + ")");
            if (!ca->isSignedBy(link->publicKey)) {
                fail(FindingKind::BrokenChain, 2, caFile->title,
                     "signature does not verify with the key of the link certificate");
                return std::nullopt;
            }
        }
        if (!authorises(ca->holderAuthorisation, CardFiles::SecondGenerationAid)
            || ca->equipmentType() != MemberStateCaType) {
            fail(FindingKind::WrongAuthorisation, 2, caFile->title, "not a Member State certificate");
            return std::nullopt;
        }
        if (!secondGenerationValid(*ca, caFile->title))
            return std::nullopt;
        line("- " + caFile->title + ": verified" + rootNote(root) + " (valid until " + dateText(ca->expirationDate)
             + ")");
        if (link && issuer)
            line("- " + linkFile->title + ": not needed");

        if (sign->authorityReference != ca->holderReference) {
            fail(FindingKind::BrokenChain, 2, signFile->title,
                 "issued by " + hexText(sign->authorityReference) + ", not by the CA certificate's holder "
                         + hexText(ca->holderReference));
            return std::nullopt;
        }
        if (!sign->isSignedBy(ca->publicKey)) {
            fail(FindingKind::BrokenChain, 2, signFile->title,
                 "signature does not verify with the CA certificate's key");
            return std::nullopt;
        }
        if (!authorises(sign->holderAuthorisation, CardFiles::SecondGenerationAid)
            || (sign->equipmentType() != DriverCardSignType && sign->equipmentType() != WorkshopCardSignType)) {
            fail(FindingKind::WrongAuthorisation, 2, signFile->title, "not a card certificate for signing");
            return std::nullopt;
        }
        if (!secondGenerationValid(*sign, signFile->title))
            return std::nullopt;
        line("- " + signFile->title + ": verified (valid until " + dateText(sign->expirationDate) + ")");
        return sign->publicKey;
    }

    void conclude()
    {
        if (const Finding *failure = m_verdict.firstFailure()) {
            m_verdict.overall = Overall::Failed;
            line("----- Verification failed: " + failure->item + ": " + failure->text + " -----");
            return;
        }
        const bool test = (m_verdict.firstGeneration.status == GenerationStatus::Verified
                           && m_verdict.firstGeneration.root == RootKind::Test)
                || (m_verdict.secondGeneration.status == GenerationStatus::Verified
                    && m_verdict.secondGeneration.root == RootKind::Test);
        m_verdict.overall = test ? Overall::VerifiedTestRoot : Overall::VerifiedEuropeanRoot;
        line(test ? "----- Signatures verified against a TEST root, not the European root -----"
                  : "----- Signatures verified against the European root -----");
    }

    const TrustStore &m_trust;
    std::int64_t m_time;
    DownloadApplication m_first;
    DownloadApplication m_second;
    Verdict m_verdict;
};

} // namespace

Verdict verifyDownload(std::span<const std::uint8_t> file, const TrustStore &trust,
                       std::chrono::sys_seconds downloadTime)
{
    return DownloadVerifier(trust, downloadTime).run(file);
}
