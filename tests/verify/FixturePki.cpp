#include "FixturePki.h"

#include <algorithm>
#include <cstdint>

using namespace FixtureCertificates;

namespace {

constexpr Reference MemberStateReference{0x1A, 'C', 'Z', ' ', 0x01, 0xFF, 0xFF, 0x01};
constexpr Reference OtherMemberStateReference{0x0D, 'D', ' ', ' ', 0x01, 0xFF, 0xFF, 0x01};
constexpr Reference CardReference{0x00, 0x00, 0x00, 0x01, 0x01, 0x24, 0x01, 0xA5};
constexpr Reference OtherCardReference{0x00, 0x00, 0x00, 0x02, 0x01, 0x24, 0x01, 0xA5};
constexpr Reference MemberStateCaReference{0x1A, 'C', 'Z', ' ', 0x02, 0xFF, 0xFF, 0x01};
constexpr Reference LaterMemberStateCaReference{0x1A, 'C', 'Z', ' ', 0x03, 0xFF, 0xFF, 0x01};
constexpr Reference CardSignReference{0x00, 0x00, 0x00, 0x03, 0x03, 0x24, 0x11, 0xA5};
constexpr Reference OtherCardSignReference{0x00, 0x00, 0x00, 0x04, 0x03, 0x24, 0x11, 0xA5};

constexpr std::uint8_t MemberState = 0;
constexpr std::uint8_t DriverCard = 1;
constexpr std::uint8_t Erca = 13;
constexpr std::uint8_t Msca = 14;
constexpr std::uint8_t DriverCardSign = 17;

std::uint32_t at(int year, unsigned month, unsigned day)
{
    return static_cast<std::uint32_t>(fixtureTime(year, month, day).time_since_epoch().count());
}

void appendRecord(Bytes &download, std::uint16_t fileId, std::uint8_t type, std::span<const std::uint8_t> content)
{
    download.push_back(static_cast<std::uint8_t>(fileId >> 8));
    download.push_back(static_cast<std::uint8_t>(fileId));
    download.push_back(type);
    download.push_back(static_cast<std::uint8_t>(content.size() >> 8));
    download.push_back(static_cast<std::uint8_t>(content.size()));
    download.insert(download.end(), content.begin(), content.end());
}

Bytes fileContent(std::uint16_t fileId, std::size_t size)
{
    Bytes content(size);
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<std::uint8_t>((fileId + i * 7) & 0xFF);
    return content;
}

struct FileSize
{
    std::uint16_t fileId;
    std::size_t size;
};

// The largest sizes of a driver card's files.
constexpr FileSize FirstGenerationFiles[] = {
        {0x0501, 10},    {0x0520, 143},  {0x050E, 4},    {0x0521, 53}, {0x0502, 1728}, {0x0503, 1152},
        {0x0504, 13780}, {0x0505, 6202}, {0x0506, 1121}, {0x0507, 19}, {0x0508, 46},   {0x0522, 280},
};
constexpr FileSize SecondGenerationFiles[] = {
        {0x0501, 17},   {0x0520, 143},   {0x050E, 4},     {0x0521, 53},    {0x0502, 3168},
        {0x0503, 1152}, {0x0504, 13780}, {0x0505, 9602},  {0x0506, 2354},  {0x0507, 19},
        {0x0508, 46},   {0x0522, 562},   {0x0523, 2002},  {0x0524, 6050},  {0x0525, 10},
        {0x0526, 562},  {0x0527, 1682},  {0x0528, 19042}, {0x0529, 32482}, {0x0530, 1682},
};

} // namespace

std::chrono::sys_seconds fixtureTime(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    return sys_seconds{sys_days{std::chrono::year{year} / std::chrono::month{month} / std::chrono::day{day}}};
}

std::chrono::sys_seconds fixtureDownloadTime()
{
    return fixtureTime(2025, 6, 1) + std::chrono::hours(12);
}

const FixturePki &FixturePki::shared()
{
    static const FixturePki pki;
    return pki;
}

FixturePki::FixturePki()
{
    europeanPublicKey = rsaRootKey(EuropeanKeyIdentifier, europeanKey);
    caCertificate = rsaCertificate(
            europeanKey, {EuropeanKeyIdentifier, firstGeneration(MemberState), at(2031, 5, 1), MemberStateReference},
            memberStateKey);
    otherCaCertificate = rsaCertificate(
            europeanKey,
            {EuropeanKeyIdentifier, firstGeneration(MemberState), at(2031, 5, 1), OtherMemberStateReference},
            otherMemberStateKey);
    cardCertificate = rsaCertificate(
            memberStateKey, {MemberStateReference, firstGeneration(DriverCard), at(2030, 6, 30), CardReference},
            cardKey);
    otherCardCertificate = rsaCertificate(
            memberStateKey, {MemberStateReference, firstGeneration(DriverCard), at(2030, 6, 30), OtherCardReference},
            otherCardKey);

    firstRootCertificate = cvCertificate(
            firstRootKey,
            {FirstRootReference, secondGeneration(Erca), FirstRootReference, at(2018, 6, 13), at(2052, 9, 13)},
            firstRootKey);
    secondRootCertificate = cvCertificate(
            secondRootKey,
            {SecondRootReference, secondGeneration(Erca), SecondRootReference, at(2024, 1, 1), at(2058, 4, 1)},
            secondRootKey);
    linkCertificate = cvCertificate(
            firstRootKey,
            {FirstRootReference, secondGeneration(Erca), SecondRootReference, at(2024, 1, 1), at(2041, 4, 1)},
            secondRootKey);
    memberStateCaCertificate = cvCertificate(
            firstRootKey,
            {FirstRootReference, secondGeneration(Msca), MemberStateCaReference, at(2023, 1, 1), at(2030, 2, 1)},
            memberStateCaKey);
    laterMemberStateCaCertificate = cvCertificate(
            secondRootKey,
            {SecondRootReference, secondGeneration(Msca), LaterMemberStateCaReference, at(2024, 6, 1), at(2031, 7, 1)},
            laterMemberStateCaKey);
    cardSignCertificate = cvCertificate(memberStateCaKey,
                                        {MemberStateCaReference, secondGeneration(DriverCardSign), CardSignReference,
                                         at(2024, 3, 1), at(2029, 4, 1)},
                                        cardSignKey);
    otherCardSignCertificate = cvCertificate(memberStateCaKey,
                                             {MemberStateCaReference, secondGeneration(DriverCardSign),
                                              OtherCardSignReference, at(2024, 3, 1), at(2029, 4, 1)},
                                             otherCardSignKey);
    cardMaCertificate = cvCertificate(
            memberStateCaKey,
            {MemberStateCaReference, secondGeneration(DriverCard), CardSignReference, at(2024, 3, 1), at(2029, 3, 1)},
            cardSignKey);
    laterCardSignCertificate = cvCertificate(laterMemberStateCaKey,
                                             {LaterMemberStateCaReference, secondGeneration(DriverCardSign),
                                              CardSignReference, at(2024, 7, 1), at(2029, 8, 1)},
                                             laterCardSignKey);
}

TrustStore FixturePki::trust(RootKind kind) const
{
    TrustStore store;
    store.addFirstGenerationRoot(europeanPublicKey, kind);
    store.addSecondGenerationRoot(firstRootCertificate, kind);
    return store;
}

Bytes fixtureDownload(const DownloadOptions &options)
{
    const FixturePki &pki = FixturePki::shared();
    Bytes download;
    appendRecord(download, 0x0002, 0x00, fileContent(0x0002, 25));
    appendRecord(download, 0x0005, 0x00, fileContent(0x0005, 8));
    appendRecord(download, 0xC100, 0x00, pki.cardCertificate);
    appendRecord(download, 0xC108, 0x00, pki.caCertificate);
    for (std::size_t i = 0; i < std::size(FirstGenerationFiles) && i < options.filesPerGeneration; ++i) {
        const FileSize &file = FirstGenerationFiles[i];
        Bytes content = fileContent(file.fileId, std::min(file.size, options.largestFile));
        if (file.fileId == 0x0501 && !content.empty())
            content[0] = 0x01; // a driver card
        appendRecord(download, file.fileId, 0x00, content);
        appendRecord(download, file.fileId, 0x01, pki.cardKey.signSha1(content));
    }
    if (!options.secondGeneration)
        return download;

    const bool link = options.throughLink;
    appendRecord(download, 0xC101, 0x02, link ? pki.laterCardSignCertificate : pki.cardSignCertificate);
    appendRecord(download, 0xC108, 0x02, link ? pki.laterMemberStateCaCertificate : pki.memberStateCaCertificate);
    // Without a link certificate the card's file is all zeros, and the product downloads it so.
    appendRecord(download, 0xC109, 0x02, link ? pki.linkCertificate : Bytes(205));
    const EcKeyPair &signer = link ? pki.laterCardSignKey : pki.cardSignKey;
    for (std::size_t i = 0; i < std::size(SecondGenerationFiles) && i < options.filesPerGeneration; ++i) {
        const FileSize &file = SecondGenerationFiles[i];
        Bytes content = fileContent(file.fileId, std::min(file.size, options.largestFile));
        if (file.fileId == 0x0501 && content.size() >= 3) {
            content[0] = 0x01; // a driver card,
            content[1] = 0x01; // version 2
            content[2] = 0x01;
        }
        appendRecord(download, file.fileId, 0x02, content);
        appendRecord(download, file.fileId, 0x03, signer.signPlain(content));
    }
    return download;
}
