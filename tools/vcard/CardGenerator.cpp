#include "tools/vcard/CardGenerator.h"

#include "tools/vcard/SeededRandom.h"
#include "tools/vcard/Windows1250.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

namespace vcard {
namespace {

constexpr std::uint8_t NationCzechia = 0x0C;
constexpr std::uint8_t CodePageLatin2 = 0x02; // what cards declare for their names
constexpr std::uint8_t CodePageLatin1 = 0x01; // registration plates
constexpr std::uint32_t Day = 86400;

// The card's "today": 2024-01-01 plus up to a year, from the seed, never the clock, so that the
// same seed gives the same bytes on every run.
constexpr std::uint32_t BaseTime = 1704067200;

// Writes into a file image; bytes beyond its end are dropped, so a file given a smaller size
// than its structure simply ends early.
class FileWriter
{
public:
    explicit FileWriter(std::size_t size)
        : m_bytes(size, 0)
    { }

    void byte(std::size_t offset, std::uint8_t value)
    {
        if (offset < m_bytes.size())
            m_bytes[offset] = value;
    }
    void u16(std::size_t offset, std::uint32_t value)
    {
        byte(offset, static_cast<std::uint8_t>(value >> 8));
        byte(offset + 1, static_cast<std::uint8_t>(value));
    }
    void u24(std::size_t offset, std::uint32_t value)
    {
        byte(offset, static_cast<std::uint8_t>(value >> 16));
        u16(offset + 1, value & 0xFFFF);
    }
    void u32(std::size_t offset, std::uint32_t value)
    {
        u16(offset, value >> 16);
        u16(offset + 2, value & 0xFFFF);
    }
    void bcd(std::size_t offset, unsigned value, std::size_t bytes)
    {
        for (std::size_t i = bytes; i-- > 0;) {
            byte(offset + i, static_cast<std::uint8_t>((value % 10) | ((value / 10 % 10) << 4)));
            value /= 100;
        }
    }
    // text, then pad up to width bytes
    void text(std::size_t offset, std::string_view value, std::size_t width, std::uint8_t pad = 0x20)
    {
        for (std::size_t i = 0; i < width; ++i)
            byte(offset + i, i < value.size() ? static_cast<std::uint8_t>(value[i]) : pad);
    }
    void random(std::size_t offset, std::size_t count, SeededRandom &rng)
    {
        for (std::size_t i = 0; i < count; ++i)
            byte(offset + i, static_cast<std::uint8_t>(rng.next() >> 56));
    }

    Bytes take() { return std::move(m_bytes); }

private:
    Bytes m_bytes;
};

std::string windows1250(std::string_view utf8)
{
    // Only the fixed texts below pass through here, and all of them are Windows-1250 letters.
    return utf8ToWindows1250(utf8).value_or(std::string());
}

struct Holder
{
    std::string surname;
    std::string firstNames;
};

constexpr std::array<std::string_view, 12> MaleSurnames{"NOVÁK", "ČERNÝ", "DVOŘÁK", "PROCHÁZKA", "KUČERA",  "VESELÝ",
                                                        "HORÁK", "NĚMEC", "MAREŠ",  "ŠŤASTNÝ",   "RŮŽIČKA", "KŘÍŽ"};
constexpr std::array<std::string_view, 10> FemaleSurnames{"NOVÁKOVÁ", "DVOŘÁKOVÁ", "ČERNÁ",   "KUČEROVÁ", "HORÁKOVÁ",
                                                          "ŠŤASTNÁ",  "RŮŽIČKOVÁ", "KŘÍŽOVÁ", "ŽÁKOVÁ",   "NĚMCOVÁ"};
constexpr std::array<std::string_view, 8> MaleFirstNames{"JAN",   "JIŘÍ PETR", "TOMÁŠ",    "ŠTĚPÁN",
                                                         "LUBOŠ", "ONDŘEJ",    "JAROSLAV", "MIROSLAV ČENĚK"};
constexpr std::array<std::string_view, 8> FemaleFirstNames{"ŽANETA",  "LUCIE",      "RŮŽENA", "JIŘINA",
                                                           "MARKÉTA", "ŠÁRKA ANNA", "VĚRA",   "ZDEŇKA"};

template<std::size_t N>
std::string_view pick(const std::array<std::string_view, N> &list, SeededRandom &rng)
{
    return list[rng.between(0, static_cast<std::uint32_t>(N - 1))];
}

// Names joined until they fill all 35 bytes; the cut must not leave a separator at the end,
// where it would read as padding, nor split a character (every Windows-1250 letter is one byte).
template<std::size_t N>
std::string fullLengthName(const std::array<std::string_view, N> &list, char separator, SeededRandom &rng)
{
    std::string name = windows1250(pick(list, rng));
    while (name.size() < NameBytes) {
        name += separator;
        name += windows1250(pick(list, rng));
    }
    name.resize(NameBytes);
    if (name.back() == separator)
        name.back() = 'A';
    return name;
}

Holder generateHolder(const GeneratorOptions &options, SeededRandom &rng)
{
    const bool female = rng.chance(40);
    Holder holder;
    if (options.fullLengthNames) {
        holder.surname = female ? fullLengthName(FemaleSurnames, '-', rng) : fullLengthName(MaleSurnames, '-', rng);
        holder.firstNames =
                female ? fullLengthName(FemaleFirstNames, ' ', rng) : fullLengthName(MaleFirstNames, ' ', rng);
    } else {
        holder.surname = windows1250(female ? pick(FemaleSurnames, rng) : pick(MaleSurnames, rng));
        holder.firstNames = windows1250(female ? pick(FemaleFirstNames, rng) : pick(MaleFirstNames, rng));
    }
    if (options.surname)
        holder.surname = *options.surname;
    if (options.firstNames)
        holder.firstNames = *options.firstNames;
    return holder;
}

std::string generatedCardNumber(std::uint64_t seed)
{
    SeededRandom rng(seed ^ 0x636172642D6E6F2Eull);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "CZ%012llu00", static_cast<unsigned long long>(rng.next() % 100000000ull));
    return text.data();
}

// A plate such as "1AB 2345" with the nation byte and code page: 15 bytes.
void registration(FileWriter &file, std::size_t offset, SeededRandom &rng)
{
    std::array<char, 32> plate{};
    std::snprintf(plate.data(), plate.size(), "%u%c%c %04u", rng.between(1, 9), 'A' + rng.between(0, 25),
                  'A' + rng.between(0, 25), rng.between(0, 9999));
    file.byte(offset, NationCzechia);
    file.byte(offset + 1, CodePageLatin1);
    file.text(offset + 2, plate.data(), 13);
}

struct Clock
{
    std::uint32_t now;
    std::uint32_t issued;
};

Bytes icc(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    file.byte(0, 0x03); // clock stop allowed, high level
    file.random(1, 4, rng);
    const std::uint32_t issuedDays = clock.issued / Day;
    const unsigned month = 1 + issuedDays / 30 % 12;
    const unsigned year = 1970 + issuedDays / 365;
    file.bcd(5, month * 100 + year % 100, 2);
    file.byte(7, 0x01);
    file.byte(8, 0x40);
    file.text(9, "e8-0042", 8);
    file.byte(17, 0x21);
    file.text(18, "CZ", 2);
    file.u16(20, rng.between(1, 0xFFFF));
    file.byte(22, 0x01);
    file.u16(23, rng.between(1, 0xFFFF));
    return file.take();
}

Bytes icChip(std::size_t size, SeededRandom &rng)
{
    FileWriter file(size);
    file.random(0, 8, rng);
    return file.take();
}

Bytes certificate(std::size_t size, SeededRandom &rng)
{
    FileWriter file(size);
    file.random(0, 186, rng);
    // Certification authority reference: nation, serial, additional info, CA identifier.
    file.byte(186, NationCzechia);
    file.text(187, "CZ", 2);
    file.u24(189, rng.between(1, 0xFFFFFF));
    file.u16(192, 0x0101);
    return file.take();
}

Bytes applicationIdentification(std::size_t size, const std::map<std::uint16_t, std::size_t> &sizes)
{
    // The counts describe the sizes actually used; a size off the record grid counts whole records.
    const auto sizeOf = [&sizes](std::uint16_t id) {
        return sizes.at(id);
    };
    FileWriter file(size);
    file.byte(0, 0x01); // driver card
    file.u16(1, 0x0001);
    file.byte(3, static_cast<std::uint8_t>(std::min<std::size_t>(sizeOf(0x0502) / (6 * 24), 0xFF)));
    file.byte(4, static_cast<std::uint8_t>(std::min<std::size_t>(sizeOf(0x0503) / (2 * 24), 0xFF)));
    file.u16(5,
             static_cast<std::uint32_t>(std::min<std::size_t>(sizeOf(0x0504) >= 4 ? sizeOf(0x0504) - 4 : 0, 0xFFFF)));
    file.u16(7,
             static_cast<std::uint32_t>(
                     std::min<std::size_t>(sizeOf(0x0505) >= 2 ? (sizeOf(0x0505) - 2) / 31 : 0, 0xFFFF)));
    file.byte(9,
              static_cast<std::uint8_t>(
                      std::min<std::size_t>(sizeOf(0x0506) >= 1 ? (sizeOf(0x0506) - 1) / 10 : 0, 0xFF)));
    return file.take();
}

Bytes identification(std::size_t size, const GeneratorOptions &options, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    file.byte(0, NationCzechia);
    file.text(CardNumberOffset, options.cardNumber.value_or(generatedCardNumber(options.seed)), CardNumberBytes);
    file.byte(17, CodePageLatin2);
    file.text(18, windows1250("Ministerstvo dopravy ČR"), NameBytes);
    file.u32(53, clock.issued);
    file.u32(57, clock.issued);
    file.u32(61, clock.issued + 5 * 365 * Day);

    const Holder holder = generateHolder(options, rng);
    const std::uint8_t pad = options.padWithZero ? 0x00 : 0x20;
    file.byte(SurnameCodePageOffset, CodePageLatin2);
    file.text(SurnameOffset, holder.surname, NameBytes, pad);
    file.byte(FirstNamesCodePageOffset, CodePageLatin2);
    file.text(FirstNamesOffset, holder.firstNames, NameBytes, pad);
    file.bcd(137, rng.between(1960, 1998), 2);
    file.bcd(139, rng.between(1, 12), 1);
    file.bcd(140, rng.between(1, 28), 1);
    file.text(141, "cs", 2);
    return file.take();
}

Bytes cardDownload(std::size_t size, const Clock &clock)
{
    FileWriter file(size);
    file.u32(0, clock.now - 27 * Day);
    return file.take();
}

Bytes drivingLicence(std::size_t size, SeededRandom &rng)
{
    FileWriter file(size);
    file.byte(0, CodePageLatin2);
    file.text(1, windows1250("Magistrát města Brna"), NameBytes);
    file.byte(36, NationCzechia);
    std::array<char, 32> number{};
    std::snprintf(number.data(), number.size(), "EA %06u", rng.between(0, 999999));
    file.text(37, number.data(), 16);
    return file.take();
}

// Record groups of 24 bytes: some records used, the rest zero as on a card that has not filled
// its cyclic buffers yet.
Bytes eventsOrFaults(std::size_t size, std::size_t groups, const std::vector<std::uint8_t> &types, SeededRandom &rng,
                     const Clock &clock)
{
    constexpr std::size_t RecordSize = 24;
    FileWriter file(size);
    const std::size_t perGroup = size / RecordSize / groups;
    for (std::size_t group = 0; group < groups; ++group) {
        const std::size_t used = std::min<std::size_t>(perGroup, rng.between(0, 4));
        for (std::size_t i = 0; i < used; ++i) {
            const std::size_t offset = (group * perGroup + i) * RecordSize;
            const std::uint32_t begin = clock.now - rng.between(1, 300) * Day + rng.between(0, Day - 1);
            file.byte(offset, types[group % types.size()]);
            file.u32(offset + 1, begin);
            file.u32(offset + 5, begin + rng.between(60, 7200));
            registration(file, offset + 9, rng);
        }
    }
    return file.take();
}

// Daily records from the oldest day at offset 0 onwards; the rest of the cyclic buffer is zero.
Bytes driverActivity(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    const std::size_t area = size >= 4 ? size - 4 : 0;
    const std::size_t target = area * rng.between(55, 90) / 100;
    const std::uint32_t days = rng.between(28, 400);
    std::size_t offset = 0;
    std::size_t previousLength = 0;
    std::size_t newest = 0;
    unsigned presence = rng.between(1, 500);
    for (std::uint32_t day = 0; day < days; ++day) {
        const std::size_t changes = rng.between(2, 24);
        const std::size_t length = 12 + 2 * changes;
        if (offset + length > target)
            break;
        const std::size_t at = 4 + offset;
        file.u16(at, static_cast<std::uint32_t>(previousLength));
        file.u16(at + 2, static_cast<std::uint32_t>(length));
        const std::uint32_t date = (clock.now / Day - days + day) * Day;
        file.u32(at + 4, date);
        file.bcd(at + 8, presence++ % 10000, 2);
        file.u16(at + 10, rng.between(0, 900));
        // Change times rise through the day; the first change opens the day.
        std::uint32_t minute = 0;
        for (std::size_t change = 0; change < changes; ++change) {
            const std::uint32_t activity = rng.between(0, 3);
            const std::uint32_t cardAbsent = rng.chance(10) ? 1 : 0;
            file.u16(at + 12 + 2 * change, (cardAbsent << 13) | (activity << 11) | minute);
            minute = std::min<std::uint32_t>(1439, minute + rng.between(1, 1439 / static_cast<std::uint32_t>(changes)));
        }
        newest = offset;
        previousLength = length;
        offset += length;
    }
    file.u16(0, 0);
    file.u16(2, static_cast<std::uint32_t>(newest));
    return file.take();
}

Bytes vehiclesUsed(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    constexpr std::size_t RecordSize = 31;
    FileWriter file(size);
    const std::size_t records = size >= 2 ? (size - 2) / RecordSize : 0;
    const std::size_t used = std::min<std::size_t>(records, rng.between(5, 60));
    std::uint32_t odometer = rng.between(10000, 900000);
    std::uint32_t time = clock.now - static_cast<std::uint32_t>(used + 1) * 2 * Day;
    for (std::size_t i = 0; i < used; ++i) {
        const std::size_t offset = 2 + i * RecordSize;
        const std::uint32_t distance = rng.between(0, 1200);
        file.u24(offset, odometer);
        file.u24(offset + 3, odometer + distance);
        file.u32(offset + 6, time);
        time += rng.between(3600, Day);
        file.u32(offset + 10, time);
        registration(file, offset + 14, rng);
        file.bcd(offset + 29, rng.between(0, 9999), 2);
        odometer += distance + rng.between(0, 50);
        time += rng.between(600, Day);
    }
    file.u16(0, used > 0 ? static_cast<std::uint32_t>(used - 1) : 0);
    return file.take();
}

Bytes places(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    constexpr std::size_t RecordSize = 10;
    FileWriter file(size);
    const std::size_t records = size >= 1 ? (size - 1) / RecordSize : 0;
    const std::size_t used = std::min<std::size_t>({records, 0xFF, rng.between(4, 50)});
    std::uint32_t time = clock.now - static_cast<std::uint32_t>(used + 1) * Day;
    std::uint32_t odometer = rng.between(10000, 900000);
    for (std::size_t i = 0; i < used; ++i) {
        const std::size_t offset = 1 + i * RecordSize;
        file.u32(offset, time);
        file.byte(offset + 4, static_cast<std::uint8_t>(i % 2)); // begin, end, begin, ...
        file.byte(offset + 5, rng.chance(80) ? NationCzechia : static_cast<std::uint8_t>(rng.between(1, 0x33)));
        file.byte(offset + 6, 0x00);
        file.u24(offset + 7, odometer);
        time += rng.between(3600, Day);
        odometer += rng.between(0, 900);
    }
    file.byte(0, used > 0 ? static_cast<std::uint8_t>(used - 1) : 0);
    return file.take();
}

Bytes currentUsage(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    file.u32(0, clock.now - rng.between(3600, 20 * 3600));
    registration(file, 4, rng);
    return file.take();
}

Bytes controlActivity(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    if (rng.chance(30))
        return file.take(); // never controlled: all zero
    const std::uint32_t when = clock.now - rng.between(2, 200) * Day;
    file.byte(0, 0x80 | (rng.chance(50) ? 0x40 : 0)); // card downloaded, maybe displayed
    file.u32(1, when);
    file.byte(5, 0x03); // control card
    file.byte(6, NationCzechia);
    std::array<char, 32> number{};
    std::snprintf(number.data(), number.size(), "CZC%011u00", rng.between(0, 99999999));
    file.text(7, number.data(), 16);
    registration(file, 23, rng);
    file.u32(38, when - 28 * Day);
    file.u32(42, when);
    return file.take();
}

Bytes specificConditions(std::size_t size, SeededRandom &rng, const Clock &clock)
{
    FileWriter file(size);
    const std::size_t used = rng.between(0, 4);
    std::uint32_t time = clock.now - 60 * Day;
    for (std::size_t i = 0; i < used; ++i) {
        time += rng.between(Day, 10 * Day);
        file.u32(i * 5, time);
        file.byte(i * 5 + 4, static_cast<std::uint8_t>(1 + i % 2)); // out of scope begin, end
    }
    return file.take();
}

std::uint32_t timeRealOf(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    const sys_days date{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}};
    return static_cast<std::uint32_t>(date.time_since_epoch() / seconds(1));
}

// EF Card_Certificate and EF CA_Certificate: the card's certificate under the test member-state
// key, and that key's certificate under the test European key, so that a download verifies up to
// the test root. An EF given another size than a certificate's holds seeded bytes. Empty when a
// certificate cannot be made.
Bytes firstGenerationCertificate(std::uint16_t fileId, std::size_t size, const CardImage &image,
                                 const GeneratorOptions &options, SeededRandom &rng)
{
    constexpr std::size_t CertificateSize = 194;
    if (size != CertificateSize)
        return certificate(size, rng);
    const TestPki *pki = TestPki::shared();
    if (!pki)
        return {};
    if (fileId == 0xC108)
        return pki->memberStateCertificate;
    const auto cardKey = CardKey::fromSeed(options.seed);
    if (!cardKey)
        return {};
    CertificateReference holder{};
    const auto icc = image.masterFiles.find(EfIcc);
    for (std::size_t i = 0; icc != image.masterFiles.end() && i < holder.size() && 1 + i < icc->second.size(); ++i)
        holder[i] = icc->second[1 + i]; // the card's extended serial number
    return rsaCertificate(pki->memberStateKey,
                          {TestPki::MemberStateReference, EquipmentType::DriverCard, timeRealOf(2030, 12, 31), holder},
                          *cardKey);
}

void appendBigEndian16(Bytes &to, std::uint16_t value)
{
    to.push_back(static_cast<std::uint8_t>(value >> 8));
    to.push_back(static_cast<std::uint8_t>(value));
}

// DriverCardApplicationIdentification of the second generation: the card's type, its structure
// version ({01 00} for version 1, {01 01} for version 2) and its record counts.
Bytes secondGenerationApplicationIdentification(int version)
{
    Bytes file{0x01, 0x01, static_cast<std::uint8_t>(version == 2 ? 0x01 : 0x00), 12, 24};
    appendBigEndian16(file, 13776); // activity structure length
    appendBigEndian16(file, 200); // vehicle records
    appendBigEndian16(file, 112); // place records
    appendBigEndian16(file, 336); // GNSS accumulated driving records
    appendBigEndian16(file, 112); // specific condition records
    appendBigEndian16(file, 200); // vehicle unit records
    return file;
}

// DriverCardApplicationIdentificationV2: the length of what follows and the counts of version 2.
Bytes applicationIdentificationV2()
{
    Bytes file;
    appendBigEndian16(file, 8);
    appendBigEndian16(file, 1120); // border crossings
    appendBigEndian16(file, 1624); // load/unload operations
    appendBigEndian16(file, 336); // load type entries
    appendBigEndian16(file, 3072); // VU configuration length
    return file;
}

// A cyclic record file of the second generation: a pointer to the newest record, then records of
// which the oldest part is still empty.
Bytes cyclicRecords(std::size_t size, std::size_t pointerBytes, std::size_t recordSize, SeededRandom &rng)
{
    FileWriter file(size);
    if (size <= pointerBytes || recordSize == 0)
        return file.take();
    const std::size_t records = (size - pointerBytes) / recordSize;
    const std::size_t used = rng.between(0, static_cast<std::uint32_t>(records));
    if (used > 0) {
        if (pointerBytes == 2)
            file.u16(0, static_cast<std::uint32_t>(used - 1));
        else
            file.byte(0, static_cast<std::uint8_t>(used - 1));
        file.random(pointerBytes, used * recordSize, rng);
    }
    return file.take();
}

// The DF Tachograph_G2 of the card: the holder's data as in the DF Tachograph, the rest made
// from the seed, the certificates from the test PKI. False when a certificate cannot be made.
bool addSecondGeneration(CardImage &image, const GeneratorOptions &options, const EcKey &cardKey)
{
    const TestPki *pki = TestPki::shared();
    if (!pki)
        return false;
    CertificateReference cardReference{};
    const Bytes &icc = image.masterFiles.at(EfIcc);
    for (std::size_t i = 0; i < cardReference.size() && 1 + i < icc.size(); ++i)
        cardReference[i] = icc[1 + i]; // the card's extended serial number
    // Valid around the time the tests and the demo run.
    const std::uint32_t effective = timeRealOf(2025, 1, 1);
    const std::uint32_t expiration = timeRealOf(2030, 12, 31);
    const CertificateReference &ca = pki->caReference(options.chain);
    const Bytes signCertificate =
            cvCertificate(pki->caKey(options.chain),
                          {ca, EquipmentType::DriverCardSign, cardReference, effective, expiration}, cardKey);
    const Bytes authenticationCertificate = cvCertificate(
            pki->caKey(options.chain), {ca, EquipmentType::DriverCard, cardReference, effective, expiration}, cardKey);
    if (signCertificate.empty() || authenticationCertificate.empty())
        return false;

    for (const auto &ef : SecondGenerationFiles) {
        if (ef.version2Only && options.secondGenerationVersion != 2)
            continue;
        SeededRandom rng(options.seed * 0x10001 + 0x47320000u + ef.fileId);
        Bytes content;
        switch (ef.fileId) {
        case 0x0501:
            content = secondGenerationApplicationIdentification(options.secondGenerationVersion);
            break;
        case 0xC100:
            content = authenticationCertificate;
            break;
        case 0xC101:
            content = signCertificate;
            break;
        case 0xC108:
            content = pki->caCertificate(options.chain);
            break;
        case 0xC109:
            content = options.chain == CertificateChain::SecondRoot ? pki->linkCertificate
                                                                    : Bytes(EmptyCertificateEfSize, 0);
            break;
        case 0x0520:
        case 0x050E:
        case 0x0521:
        case 0x0507:
        case 0x0508:
            content = image.tachographFiles.at(ef.fileId); // the same structure in both applications
            break;
        case 0x0525:
            content = applicationIdentificationV2();
            break;
        case 0x0502:
        case 0x0503:
            content = cyclicRecords(ef.size, 0, 24, rng);
            break;
        case 0x0504:
            content = cyclicRecords(ef.size, 4, 1, rng);
            break;
        case 0x0505:
            content = cyclicRecords(ef.size, 2, 48, rng);
            break;
        case 0x0506:
            content = cyclicRecords(ef.size, 2, 21, rng);
            break;
        case 0x0522:
        case 0x0526:
        case 0x0530:
            content = cyclicRecords(ef.size, 2, 5, rng);
            break;
        case 0x0523:
            content = cyclicRecords(ef.size, 2, 10, rng);
            break;
        case 0x0524:
            content = cyclicRecords(ef.size, 2, 18, rng);
            break;
        case 0x0527:
            content = cyclicRecords(ef.size, 2, 5, rng);
            break;
        case 0x0528:
            content = cyclicRecords(ef.size, 2, 17, rng);
            break;
        case 0x0529:
            content = cyclicRecords(ef.size, 2, 20, rng);
            break;
        default:
            content.assign(ef.size, 0);
            break;
        }
        image.secondGenerationFiles[ef.fileId] = std::move(content);
    }
    // A download reads the certificates first, then the other EFs in the file table's order.
    for (const std::uint16_t certificate : {std::uint16_t{0xC101}, std::uint16_t{0xC108}, std::uint16_t{0xC109}})
        image.downloadOrder.push_back({certificate, false, true});
    for (const auto &ef : SecondGenerationFiles) {
        if (ef.downloaded && ef.isSigned && image.secondGenerationFiles.contains(ef.fileId))
            image.downloadOrder.push_back({ef.fileId, true, true});
    }
    return true;
}

} // namespace

std::optional<EcKey> secondGenerationCardKey(const GeneratorOptions &options)
{
    return EcKey::fromLabel(options.cardCurve,
                            "korvan test card " + std::to_string(options.seed) + " " + ecCurveName(options.cardCurve));
}

const EfLayout *findEfLayout(std::uint16_t fileId)
{
    for (const auto &layout : DriverCardFiles) {
        if (layout.fileId == fileId)
            return &layout;
    }
    return nullptr;
}

std::size_t presetSize(const EfLayout &layout, SizePreset preset)
{
    switch (preset) {
    case SizePreset::Default:
        return layout.defaultSize;
    case SizePreset::Min:
        return layout.minSize;
    case SizePreset::Max:
        return layout.maxSize;
    case SizePreset::Multiple256: {
        const std::size_t below = layout.defaultSize / 256 * 256;
        const std::size_t above = below + 256;
        const bool belowFits = below >= layout.minSize && below > 0;
        const bool aboveFits = above <= layout.maxSize;
        if (belowFits && aboveFits)
            return layout.defaultSize - below <= above - layout.defaultSize ? below : above;
        if (belowFits)
            return below;
        if (aboveFits)
            return above;
        return layout.defaultSize;
    }
    }
    return layout.defaultSize;
}

CardImage generateCard(const GeneratorOptions &options)
{
    std::map<std::uint16_t, std::size_t> sizes;
    for (const auto &layout : DriverCardFiles) {
        const auto chosen = options.sizes.find(layout.fileId);
        sizes[layout.fileId] = chosen != options.sizes.end() ? chosen->second : presetSize(layout, options.preset);
    }

    // Every file draws from its own stream, so changing one file's size leaves the others alone.
    const auto stream = [&options](std::uint16_t fileId) {
        return SeededRandom(options.seed * 0x10001 + fileId);
    };
    SeededRandom clockRandom(options.seed ^ 0x636C6F636Bull);
    Clock clock{};
    clock.now = BaseTime + clockRandom.between(0, 365) * Day + clockRandom.between(6 * 3600, 18 * 3600);
    clock.issued = clock.now - clockRandom.between(200, 4 * 365) * Day;

    CardImage image;
    for (const auto &layout : DriverCardFiles) {
        const std::size_t size = sizes[layout.fileId];
        SeededRandom rng = stream(layout.fileId);
        Bytes content;
        switch (layout.fileId) {
        case 0x0002:
            content = icc(size, rng, clock);
            break;
        case 0x0005:
            content = icChip(size, rng);
            break;
        case 0x0501:
            content = applicationIdentification(size, sizes);
            break;
        case 0xC100:
        case 0xC108:
            content = firstGenerationCertificate(layout.fileId, size, image, options, rng);
            if (content.empty())
                return {};
            break;
        case 0x0520:
            content = identification(size, options, rng, clock);
            break;
        case 0x050E:
            content = cardDownload(size, clock);
            break;
        case 0x0521:
            content = drivingLicence(size, rng);
            break;
        case 0x0502:
            content = eventsOrFaults(size, 6, {0x01, 0x03, 0x05, 0x06, 0x07, 0x08}, rng, clock);
            break;
        case 0x0503:
            content = eventsOrFaults(size, 2, {0x35, 0x40}, rng, clock);
            break;
        case 0x0504:
            content = driverActivity(size, rng, clock);
            break;
        case 0x0505:
            content = vehiclesUsed(size, rng, clock);
            break;
        case 0x0506:
            content = places(size, rng, clock);
            break;
        case 0x0507:
            content = currentUsage(size, rng, clock);
            break;
        case 0x0508:
            content = controlActivity(size, rng, clock);
            break;
        case 0x0522:
            content = specificConditions(size, rng, clock);
            break;
        default:
            content.assign(size, 0);
            break;
        }
        auto &files = CardImage::isMasterFile(layout.fileId) ? image.masterFiles : image.tachographFiles;
        files[layout.fileId] = std::move(content);
        image.downloadOrder.push_back({layout.fileId, layout.isSigned});
    }
    if (options.generation == 2) {
        const auto key = secondGenerationCardKey(options);
        if (!key || !addSecondGeneration(image, options, *key))
            return {};
    }
    return image;
}

} // namespace vcard
