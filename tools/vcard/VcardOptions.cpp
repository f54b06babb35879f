#include "tools/vcard/VcardOptions.h"

#include "tools/vcard/Windows1250.h"

#include <charconv>
#include <functional>
#include <map>

namespace vcard {
namespace {

template<typename Number>
std::optional<Number> parseNumber(const std::string &text, int base = 10)
{
    Number value{};
    const char *end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || rest != end)
        return std::nullopt;
    return value;
}

// Exactly `digits` hex digits.
std::optional<std::uint32_t> parseHex(const std::string &text, std::size_t digits)
{
    if (text.size() != digits)
        return std::nullopt;
    return parseNumber<std::uint32_t>(text, 16);
}

std::optional<StatusOverride> parseStatusOverride(const std::string &text)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos)
        return std::nullopt;
    const std::string command = text.substr(0, equals);
    const auto colon = command.find(':');
    const std::string code = command.substr(0, colon);
    StatusOverride forced;
    if (code.size() == 4) {
        const auto claIns = parseHex(code, 4);
        if (!claIns)
            return std::nullopt;
        forced.cla = static_cast<std::uint8_t>(*claIns >> 8);
        forced.ins = static_cast<std::uint8_t>(*claIns & 0xFF);
    } else {
        const auto ins = parseHex(code, 2);
        if (!ins)
            return std::nullopt;
        forced.ins = static_cast<std::uint8_t>(*ins);
    }
    if (colon != std::string::npos) {
        const auto fileId = parseHex(command.substr(colon + 1), 4);
        if (!fileId)
            return std::nullopt;
        forced.fileId = static_cast<std::uint16_t>(*fileId);
    }
    const auto statusWord = parseHex(text.substr(equals + 1), 4);
    if (!statusWord)
        return std::nullopt;
    forced.statusWord = static_cast<std::uint16_t>(*statusWord);
    return forced;
}

std::optional<std::string> parseName(const std::string &utf8, std::string &error)
{
    const auto bytes = utf8ToWindows1250(utf8);
    if (!bytes) {
        error = "\"" + utf8 + "\" is not UTF-8 text that Windows-1250 can hold";
        return std::nullopt;
    }
    if (bytes->size() > NameBytes) {
        error = "\"" + utf8 + "\" needs " + std::to_string(bytes->size()) + " bytes; a name holds "
                + std::to_string(NameBytes);
        return std::nullopt;
    }
    return bytes;
}

} // namespace

std::string vcardUsage()
{
    return R"(Usage: korvan-vcard [options]
A simulated driver card in a virtual PC/SC reader (vpcd).

Reader:
  --host HOST            reader address (127.0.0.1)
  --port PORT            reader port (35963)
  --removed              start with the card removed
Contents (generated from a seed unless --load is given):
  --seed N               seed of the contents and of the key (1)
  --sizes PRESET         default | min | max | multiple256
  --size FID=N           size of one EF, e.g. --size 0503=768 (repeatable)
  --surname TEXT         holder's surname (UTF-8, stored as Windows-1250, at most 35 bytes)
  --first-names TEXT     holder's first names (likewise)
  --card-number TEXT     card number (printable ASCII, at most 16, padded with spaces)
  --pad-zero             pad the names with 00 bytes instead of spaces
  --full-names           generated names fill all 35 bytes
  --generation 1|2       a first-generation card, or a second-generation card that also holds
                         the DF Tachograph_G2 (1)
  --g2-version 1|2       version of the second-generation application (2)
  --g2-curve CURVE       curve of the card's second-generation key: brainpoolP256r1 (default),
                         brainpoolP384r1, brainpoolP512r1 or NIST-P-256
  --g2-chain 1|2         the card's CA certificate is signed under test root 1 (default), or
                         under test root 2, with EF Link_Certificate linking it to root 1
  --load FILE            replay a download file: its data records are the EFs, its signature
                         records what PSO answers (6985 for an EF without one)
Output:
  --log FILE             one line per command (> hex) and response (< hex)
  --write-key FILE       the card's public key (PEM)
  --write-modulus FILE   the card's public key as "n=HEX" and "e=HEX" lines
  --write-ddd FILE       the download file a correct download of this card gives
  --write-test-pki DIR   the test roots (European key, root certificates, link), then exit
Faults:
  --remove-after N       remove the card after answering N commands (once)
  --status CMD[:FID]=SW  answer SW to a command: CMD is INS (2 hex digits) or CLA and INS
                         (4), FID the EF named by a SELECT or else the current EF
                         (repeatable; e.g. B0:0504=6581, 002A=6985)
  --signature-length N   PSO answers N bytes of signature
  --no-tachograph        the card has no tachograph application
  --eof-9000             READ BINARY at the end of a file answers 9000 without data
  --wrong-length-6700    6700 instead of 6Cxx
  --exact-signature-le   a second-generation PSO answers 6Cxx to Le 00
  --refuse-update        UPDATE BINARY of EF Card_Download answers 6982
  --corrupt-signature FID  PSO for that EF answers a signature with its last bit flipped
  --baud RATE            delay each answer as a T=0 link of RATE bit/s would
  --delay-ms N           delay each answer by N ms
Standard input takes the lines "insert", "remove" and "quit"; standard output reports "ready",
"inserted", "removed" and "lost" (the reader went away; the card reconnects by itself).
)";
}

OptionsResult parseVcardOptions(const std::vector<std::string> &arguments)
{
    OptionsResult result;
    VcardConfig &config = result.config;
    bool contentOptions = false;
    std::string error;

    using Handler = std::function<bool(const std::string &)>;
    const std::map<std::string, Handler> withValue{
            {"--host",
             [&](const std::string &value) {
                 config.host = value;
                 return !value.empty();
             }},
            {"--port",
             [&](const std::string &value) {
                 const auto port = parseNumber<std::uint16_t>(value);
                 config.port = port.value_or(0);
                 return port && *port != 0;
             }},
            {"--seed",
             [&](const std::string &value) {
                 const auto seed = parseNumber<std::uint64_t>(value);
                 config.generator.seed = seed.value_or(0);
                 contentOptions = true;
                 return seed.has_value();
             }},
            {"--sizes",
             [&](const std::string &value) {
                 static const std::map<std::string, SizePreset> presets{{"default", SizePreset::Default},
                                                                        {"min", SizePreset::Min},
                                                                        {"max", SizePreset::Max},
                                                                        {"multiple256", SizePreset::Multiple256}};
                 const auto found = presets.find(value);
                 if (found == presets.end())
                     return false;
                 config.generator.preset = found->second;
                 contentOptions = true;
                 return true;
             }},
            {"--size",
             [&](const std::string &value) {
                 const auto equals = value.find('=');
                 if (equals == std::string::npos)
                     return false;
                 const auto fileId = parseHex(value.substr(0, equals), 4);
                 const auto size = parseNumber<std::size_t>(value.substr(equals + 1));
                 if (!fileId || !size || !findEfLayout(static_cast<std::uint16_t>(*fileId)) || *size > MaxEfSize) {
                     error = "--size wants FID=N with FID an EF of the card and N at most " + std::to_string(MaxEfSize);
                     return false;
                 }
                 config.generator.sizes[static_cast<std::uint16_t>(*fileId)] = *size;
                 contentOptions = true;
                 return true;
             }},
            {"--surname",
             [&](const std::string &value) {
                 config.generator.surname = parseName(value, error);
                 contentOptions = true;
                 return config.generator.surname.has_value();
             }},
            {"--first-names",
             [&](const std::string &value) {
                 config.generator.firstNames = parseName(value, error);
                 contentOptions = true;
                 return config.generator.firstNames.has_value();
             }},
            {"--card-number",
             [&](const std::string &value) {
                 contentOptions = true;
                 if (value.empty() || value.size() > CardNumberBytes)
                     return false;
                 for (const char c : value) {
                     if (c < 0x20 || c > 0x7E)
                         return false;
                 }
                 config.generator.cardNumber = value;
                 return true;
             }},
            {"--generation",
             [&](const std::string &value) {
                 const auto generation = parseNumber<int>(value);
                 config.generator.generation = generation.value_or(0);
                 contentOptions = true;
                 return generation == 1 || generation == 2;
             }},
            {"--g2-version",
             [&](const std::string &value) {
                 const auto version = parseNumber<int>(value);
                 config.generator.secondGenerationVersion = version.value_or(0);
                 contentOptions = true;
                 return version == 1 || version == 2;
             }},
            {"--g2-curve",
             [&](const std::string &value) {
                 const auto curve = ecCurveByName(value);
                 config.generator.cardCurve = curve.value_or(EcCurve::BrainpoolP256r1);
                 contentOptions = true;
                 return curve.has_value();
             }},
            {"--g2-chain",
             [&](const std::string &value) {
                 contentOptions = true;
                 if (value != "1" && value != "2")
                     return false;
                 config.generator.chain = value == "1" ? CertificateChain::FirstRoot : CertificateChain::SecondRoot;
                 return true;
             }},
            {"--load",
             [&](const std::string &value) {
                 config.loadPath = value;
                 return !value.empty();
             }},
            {"--log",
             [&](const std::string &value) {
                 config.logPath = value;
                 return !value.empty();
             }},
            {"--write-key",
             [&](const std::string &value) {
                 config.keyPath = value;
                 return !value.empty();
             }},
            {"--write-modulus",
             [&](const std::string &value) {
                 config.modulusPath = value;
                 return !value.empty();
             }},
            {"--write-ddd",
             [&](const std::string &value) {
                 config.downloadPath = value;
                 return !value.empty();
             }},
            {"--write-test-pki",
             [&](const std::string &value) {
                 config.testPkiDirectory = value;
                 return !value.empty();
             }},
            {"--remove-after",
             [&](const std::string &value) {
                 config.removeAfter = parseNumber<std::uint64_t>(value);
                 return config.removeAfter.has_value();
             }},
            {"--status",
             [&](const std::string &value) {
                 const auto forced = parseStatusOverride(value);
                 if (forced)
                     config.faults.statusOverrides.push_back(*forced);
                 return forced.has_value();
             }},
            {"--signature-length",
             [&](const std::string &value) {
                 const auto length = parseNumber<std::size_t>(value);
                 // A response carries at most 256 data bytes.
                 if (!length || *length > 256)
                     return false;
                 config.faults.signatureLength = length;
                 return true;
             }},
            {"--corrupt-signature",
             [&](const std::string &value) {
                 const auto fileId = parseHex(value, 4);
                 if (fileId)
                     config.faults.corruptSignatureOf = static_cast<std::uint16_t>(*fileId);
                 return fileId.has_value();
             }},
            {"--baud",
             [&](const std::string &value) {
                 const auto baud = parseNumber<unsigned>(value);
                 config.baud = baud.value_or(0);
                 return baud && *baud > 0;
             }},
            {"--delay-ms",
             [&](const std::string &value) {
                 const auto delay = parseNumber<unsigned>(value);
                 config.delayMs = delay.value_or(0);
                 return delay && *delay <= 600000;
             }},
    };
    const std::map<std::string, std::function<void()>> flags{
            {"--removed",
             [&] {
                 config.startRemoved = true;
             }},
            {"--pad-zero",
             [&] {
                 config.generator.padWithZero = true;
                 contentOptions = true;
             }},
            {"--full-names",
             [&] {
                 config.generator.fullLengthNames = true;
                 contentOptions = true;
             }},
            {"--no-tachograph",
             [&] {
                 config.faults.noTachograph = true;
             }},
            {"--eof-9000",
             [&] {
                 config.faults.eofAnswers9000 = true;
             }},
            {"--wrong-length-6700",
             [&] {
                 config.faults.wrongLength6700 = true;
             }},
            {"--exact-signature-le",
             [&] {
                 config.faults.exactSignatureLe = true;
             }},
            {"--refuse-update",
             [&] {
                 config.faults.refuseUpdate = true;
             }},
    };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                result.error = name + " takes no value";
                return result;
            }
            flag->second();
            continue;
        }
        const auto option = withValue.find(name);
        if (option == withValue.end()) {
            result.error = "unknown option " + name;
            return result;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                result.error = name + " needs a value";
                return result;
            }
            value = arguments[++i];
        }
        error.clear();
        if (!option->second(*value)) {
            result.error = error.empty() ? "bad value for " + name + ": \"" + *value + "\"" : name + ": " + error;
            return result;
        }
    }
    if (config.loadPath && contentOptions) {
        result.error = "--load takes the contents from the file: no content options with it";
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace vcard
