#include "tools/vcard/SimulatedCard.h"

#include <openssl/sha.h>

#include <algorithm>

namespace vcard {

struct SimulatedCard::Apdu
{
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::span<const std::uint8_t> data;
    bool hasData = false;
    std::optional<std::size_t> le; // 256 for a 00 byte
};

namespace {

constexpr std::uint8_t ClaIso = 0x00;
constexpr std::uint8_t ClaProprietary = 0x80;
constexpr std::uint8_t InsSelect = 0xA4;
constexpr std::uint8_t InsReadBinary = 0xB0;
constexpr std::uint8_t InsHashOrPso = 0x2A;
constexpr std::size_t SignatureBytes = 128;

Bytes status(std::uint16_t sw)
{
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw & 0xFF)};
}

Bytes withStatus(Bytes data, std::uint16_t sw)
{
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw & 0xFF));
    return data;
}

// The four short-length cases; no value for a length that fits none (extended lengths included).
template<typename Apdu>
std::optional<Apdu> parseApdu(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 4)
        return std::nullopt;
    Apdu apdu;
    apdu.cla = bytes[0];
    apdu.ins = bytes[1];
    apdu.p1 = bytes[2];
    apdu.p2 = bytes[3];
    if (bytes.size() == 4)
        return apdu;
    const std::size_t p3 = bytes[4];
    if (bytes.size() == 5) {
        apdu.le = p3 == 0 ? 256 : p3;
        return apdu;
    }
    if (p3 == 0)
        return std::nullopt;
    if (bytes.size() != 5 + p3 && bytes.size() != 6 + p3)
        return std::nullopt;
    apdu.data = bytes.subspan(5, p3);
    apdu.hasData = true;
    if (bytes.size() == 6 + p3)
        apdu.le = bytes.back() == 0 ? 256 : bytes.back();
    return apdu;
}

} // namespace

SimulatedCard::SimulatedCard(CardImage image, std::optional<CardKey> key, CardFaults faults)
    : m_image(std::move(image))
    , m_key(std::move(key))
    , m_faults(std::move(faults))
{ }

void SimulatedCard::reset()
{
    m_inTachographDf = false;
    m_currentEf.reset();
    m_hash.reset();
}

Bytes SimulatedCard::transmit(std::span<const std::uint8_t> bytes)
{
    const auto parsed = parseApdu<Apdu>(bytes);
    if (!parsed)
        return status(bytes.size() >= 2 && bytes[0] != ClaIso && bytes[0] != ClaProprietary ? Sw::ClaNotSupported
                                                                                            : Sw::WrongLength);
    const Apdu &apdu = *parsed;
    if (apdu.cla != ClaIso && apdu.cla != ClaProprietary)
        return status(Sw::ClaNotSupported);

    const auto fileId = fileConcerned(apdu);
    for (const auto &forced : m_faults.statusOverrides) {
        if (forced.ins == apdu.ins && (!forced.cla || *forced.cla == apdu.cla)
            && (!forced.fileId || forced.fileId == fileId))
            return status(forced.statusWord);
    }

    if (apdu.cla == ClaIso && apdu.ins == InsSelect)
        return select(apdu);
    if (apdu.cla == ClaIso && apdu.ins == InsReadBinary)
        return readBinary(apdu);
    if (apdu.cla == ClaProprietary && apdu.ins == InsHashOrPso)
        return performHash(apdu);
    if (apdu.cla == ClaIso && apdu.ins == InsHashOrPso)
        return computeSignature(apdu);
    return status(Sw::InsNotSupported);
}

std::optional<std::uint16_t> SimulatedCard::fileConcerned(const Apdu &apdu) const
{
    if (apdu.ins == InsSelect) {
        if (apdu.p1 == 0x02 && apdu.data.size() == 2)
            return static_cast<std::uint16_t>(apdu.data[0] << 8 | apdu.data[1]);
        return std::nullopt;
    }
    return m_currentEf;
}

const Bytes *SimulatedCard::currentFile() const
{
    if (!m_currentEf)
        return nullptr;
    const auto &files = m_inTachographDf ? m_image.tachographFiles : m_image.masterFiles;
    const auto found = files.find(*m_currentEf);
    return found == files.end() ? nullptr : &found->second;
}

Bytes SimulatedCard::select(const Apdu &apdu)
{
    if (apdu.p2 != 0x0C && apdu.p2 != 0x00)
        return status(Sw::WrongParameters);

    if (apdu.p1 == 0x04) {
        if (!apdu.hasData || apdu.data.size() > 16)
            return status(Sw::WrongLength);
        if (m_faults.noTachograph || !std::ranges::equal(apdu.data, TachographAid))
            return status(Sw::FileNotFound);
        m_inTachographDf = true;
        m_currentEf.reset();
        m_hash.reset();
        return status(Sw::Ok);
    }

    if (apdu.p1 == 0x02) {
        if (apdu.data.size() != 2)
            return status(Sw::WrongLength);
        const auto fileId = static_cast<std::uint16_t>(apdu.data[0] << 8 | apdu.data[1]);
        // Only the current DF is searched: an EF of the master file is out of reach once the
        // application is selected, and there is no way back but a reset.
        const auto &files = m_inTachographDf ? m_image.tachographFiles : m_image.masterFiles;
        if (!files.contains(fileId))
            return status(Sw::FileNotFound);
        m_currentEf = fileId;
        m_hash.reset();
        return status(Sw::Ok);
    }
    return status(Sw::WrongParameters);
}

Bytes SimulatedCard::wrongLe(std::size_t available) const
{
    if (m_faults.wrongLength6700)
        return status(Sw::WrongLength);
    return status(static_cast<std::uint16_t>(Sw::WrongLe | (available & 0xFF)));
}

Bytes SimulatedCard::readBinary(const Apdu &apdu)
{
    if (apdu.hasData || !apdu.le)
        return status(Sw::WrongLength);
    if (apdu.p1 & 0x80)
        return status(Sw::WrongParameters); // short EF identifiers are not supported
    const Bytes *file = currentFile();
    if (!file)
        return status(Sw::NoCurrentEf);

    const std::size_t offset = static_cast<std::size_t>(apdu.p1 << 8 | apdu.p2);
    const std::size_t size = file->size();
    if (offset > size)
        return status(Sw::OffsetBeyondEnd);
    if (offset == size && m_faults.eofAnswers9000)
        return status(Sw::Ok);
    const std::size_t left = size - offset;
    if (*apdu.le > left)
        return wrongLe(left);
    const auto begin = file->begin() + static_cast<std::ptrdiff_t>(offset);
    return withStatus(Bytes(begin, begin + static_cast<std::ptrdiff_t>(*apdu.le)), Sw::Ok);
}

Bytes SimulatedCard::performHash(const Apdu &apdu)
{
    if (apdu.p1 != 0x90 || apdu.p2 != 0x00)
        return status(Sw::WrongParameters);
    if (apdu.hasData || apdu.le)
        return status(Sw::WrongLength);
    const Bytes *file = currentFile();
    if (!file)
        return status(Sw::NoCurrentEf);
    CardKey::Sha1Hash hash{};
    SHA1(file->data(), file->size(), hash.data());
    m_hash = hash;
    return status(Sw::Ok);
}

Bytes SimulatedCard::computeSignature(const Apdu &apdu)
{
    if (apdu.p1 != 0x9E || apdu.p2 != 0x9A)
        return status(Sw::WrongParameters);
    if (apdu.hasData || !apdu.le)
        return status(Sw::WrongLength);
    if (*apdu.le != SignatureBytes && *apdu.le != 256)
        return wrongLe(SignatureBytes);
    if (!m_hash || !m_currentEf)
        return status(Sw::ConditionsNotSatisfied);
    auto signature = cardSignature(m_image, m_key ? &*m_key : nullptr, *m_currentEf, *m_hash);
    if (!signature)
        return status(Sw::ConditionsNotSatisfied);
    if (m_faults.signatureLength)
        signature->resize(*m_faults.signatureLength, 0x00);
    return withStatus(std::move(*signature), Sw::Ok);
}

} // namespace vcard
