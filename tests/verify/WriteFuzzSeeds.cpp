// Writes the seeds of fuzz_verify into the folder given: downloads signed under the test fixture,
// preceded by the time of the download and the fixture's roots (see fuzz/fuzz_verify.cpp).
//
//   build/ci/tests/verify/korvan_verify_seeds fuzz/corpus/fuzz_verify

#include "DownloadEdits.h"
#include "FixturePki.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

void appendWord(Bytes &to, std::size_t value)
{
    to.push_back(static_cast<std::uint8_t>(value >> 8));
    to.push_back(static_cast<std::uint8_t>(value));
}

void writeSeed(const std::filesystem::path &folder, const std::string &name, const Bytes &download)
{
    const FixturePki &pki = FixturePki::shared();
    const auto seconds = static_cast<std::uint32_t>(fixtureDownloadTime().time_since_epoch().count());
    Bytes seed;
    appendWord(seed, seconds >> 16);
    appendWord(seed, seconds & 0xFFFF);
    appendWord(seed, pki.europeanPublicKey.size());
    seed.insert(seed.end(), pki.europeanPublicKey.begin(), pki.europeanPublicKey.end());
    appendWord(seed, pki.firstRootCertificate.size());
    seed.insert(seed.end(), pki.firstRootCertificate.begin(), pki.firstRootCertificate.end());
    seed.insert(seed.end(), download.begin(), download.end());
    std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(seed.data()), static_cast<std::streamsize>(seed.size()));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: korvan_verify_seeds FOLDER\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    // Small files keep each run of the fuzzer short; the records and chains are complete. The
    // complete downloads verify; the others stop at their fault.
    const DownloadOptions complete{.largestFile = 16};
    DownloadOptions firstOnly = complete;
    firstOnly.secondGeneration = false;
    const DownloadOptions fewFiles{.throughLink = true, .largestFile = 16, .filesPerGeneration = 4};

    const Bytes both = fixtureDownload(complete);
    writeSeed(folder, "both-generations", both);
    writeSeed(folder, "first-generation-only", fixtureDownload(firstOnly));
    writeSeed(folder, "through-link-certificate", fixtureDownload(fewFiles));
    writeSeed(folder, "missing-signature", DownloadEdits::without(both, 0x0520, 0x03));
    writeSeed(folder, "changed-file", DownloadEdits::flipped(both, 0x0501, 0x00, 1));
    return 0;
}
