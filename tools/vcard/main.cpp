// korvan-vcard: a simulated driver card in the virtual PC/SC reader (see README.md).

#include "tools/vcard/CardGenerator.h"
#include "tools/vcard/CardImage.h"
#include "tools/vcard/CardKey.h"
#include "tools/vcard/SimulatedCard.h"
#include "tools/vcard/TestPki.h"
#include "tools/vcard/VcardOptions.h"
#include "tools/vcard/VcardRunner.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int fail(const std::string &message)
{
    std::fprintf(stderr, "korvan-vcard: %s\n", message.c_str());
    return 1;
}

bool readFile(const std::string &path, vcard::Bytes &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Written beside and renamed into place, so a reader never sees half a file.
bool writeFile(const std::string &path, const std::string &contents)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out.write(contents.data(), static_cast<std::streamsize>(contents.size())) || !out.flush())
            return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int writeTestPki(const std::string &directory)
{
    const vcard::TestPki *pki = vcard::TestPki::shared();
    if (!pki)
        return fail("cannot make the test PKI");
    const std::pair<const char *, const std::vector<std::uint8_t> *> files[] = {
            {"TEST_EC_PK.bin", &pki->europeanPublicKey},
            {"TEST_ROOT_1.cvc", &pki->firstRootCertificate},
            {"TEST_ROOT_2.cvc", &pki->secondRootCertificate},
            {"TEST_LINK_1_2.cvc", &pki->linkCertificate},
    };
    for (const auto &[name, bytes] : files) {
        const std::string path = directory + "/" + name;
        if (!writeFile(path, std::string(bytes->begin(), bytes->end())))
            return fail("cannot write " + path);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const auto options = vcard::parseVcardOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
        std::fputs(vcard::vcardUsage().c_str(), stdout);
        return 0;
    }
    if (!options.ok) {
        std::fprintf(stderr, "korvan-vcard: %s\n(korvan-vcard --help lists the options)\n", options.error.c_str());
        return 2;
    }
    const vcard::VcardConfig &config = options.config;
    if (!config.testPkiDirectory.empty())
        return writeTestPki(config.testPkiDirectory);

    vcard::CardImage image;
    std::optional<vcard::CardKey> key;
    std::optional<vcard::EcKey> secondGenerationKey;
    if (config.loadPath) {
        if (!config.keyPath.empty() || !config.modulusPath.empty())
            return fail("a replayed card has no key of its own to write");
        vcard::Bytes file;
        if (!readFile(*config.loadPath, file))
            return fail("cannot read " + *config.loadPath);
        auto load = vcard::loadCardImage(file);
        if (!load.ok)
            return fail(*config.loadPath + " is not a usable download file: " + load.error);
        image = std::move(load.image);
    } else {
        image = vcard::generateCard(config.generator);
        key = vcard::CardKey::fromSeed(config.generator.seed);
        if (!key || image.masterFiles.empty())
            return fail("cannot make the card key");
        if (config.generator.generation == 2) {
            secondGenerationKey = vcard::secondGenerationCardKey(config.generator);
            if (!secondGenerationKey)
                return fail("cannot make the card's second-generation key");
        }
    }

    if (!config.keyPath.empty() && !writeFile(config.keyPath, key->publicKeyPem()))
        return fail("cannot write " + config.keyPath);
    if (!config.modulusPath.empty()
        && !writeFile(config.modulusPath, "n=" + key->modulusHex() + "\ne=" + key->exponentHex() + "\n"))
        return fail("cannot write " + config.modulusPath);
    if (!config.downloadPath.empty()) {
        const auto records = vcard::downloadRecords(image, key ? &*key : nullptr,
                                                    secondGenerationKey ? &*secondGenerationKey : nullptr);
        const auto bytes = DddFile::encode(records);
        if (records.empty() || bytes.empty())
            return fail("cannot make the download file");
        if (!writeFile(config.downloadPath, std::string(bytes.begin(), bytes.end())))
            return fail("cannot write " + config.downloadPath);
    }

    std::FILE *log = nullptr;
    if (!config.logPath.empty()) {
        log = std::fopen(config.logPath.c_str(), "w");
        if (!log)
            return fail("cannot write " + config.logPath);
    }

    // A controller that stops reading our reports must not kill the card mid-answer.
    std::signal(SIGPIPE, SIG_IGN);

    vcard::SimulatedCard card(std::move(image), std::move(key), config.faults);
    if (secondGenerationKey)
        card.setSecondGenerationKey(std::move(*secondGenerationKey));
    int result = 0;
    {
        vcard::VcardRunner runner(config, card, log);
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        result = runner.run();
    }
    if (log)
        std::fclose(log);
    return result;
}
