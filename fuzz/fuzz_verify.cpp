// The verifier of download files, fed arbitrary downloads under roots that come with the input.
//
// Input: the time of the download (4 bytes, seconds since 1970), a first-generation root key and a
// second-generation root certificate (each a 2-byte length and its bytes; roots that do not read
// are left out), then the download file. The seeds carry the roots of the test fixture and
// downloads signed under them, so that mutations reach the signature checks; they are written by
// korvan_verify_seeds (tests/verify/WriteFuzzSeeds.cpp), not by seeds.py.

#include "FuzzInput.h"
#include "verify/DownloadVerifier.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint32_t seconds = static_cast<std::uint32_t>(input.word()) << 16 | input.word();
    TrustStore trust;
    trust.addFirstGenerationRoot(input.bytes(input.word()), RootKind::Test);
    trust.addSecondGenerationRoot(input.bytes(input.word()), RootKind::Test);
    const std::span<const std::uint8_t> download = input.rest();

    const Verdict verdict = verifyDownload(download, trust, std::chrono::sys_seconds{std::chrono::seconds{seconds}});

    fuzzCheck(verdict.lines.size() >= 2 && verdict.lines.front() == "----- Verify signatures -----"
                      && verdict.lines.back().starts_with("----- "),
              "the lines are framed");
    fuzzCheck((verdict.overall == Overall::Failed) == !verdict.findings.empty(),
              "failed exactly when something was found");
    fuzzCheck(verdict.overall != Overall::VerifiedEuropeanRoot,
              "nothing verifies against the European root without it");
    for (const Finding &finding : verdict.findings) {
        const std::string line = "- error: " + finding.item + ": " + finding.text;
        fuzzCheck(std::find(verdict.lines.begin(), verdict.lines.end(), line) != verdict.lines.end(),
                  "every finding has its line");
    }
    if (verdict.overall == Overall::VerifiedTestRoot)
        fuzzCheck(verdict.firstGeneration.status != GenerationStatus::Failed
                          && verdict.secondGeneration.status != GenerationStatus::Failed
                          && (verdict.firstGeneration.status == GenerationStatus::Verified
                              || verdict.secondGeneration.status == GenerationStatus::Verified),
                  "a verified download has a verified generation and no failed one");
    return 0;
}
