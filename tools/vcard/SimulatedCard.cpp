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
constexpr std::uint8_t InsUpdateBinary = 0xD6;
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
    m_df = Df::Master;
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
    if (apdu.cla == ClaIso && apdu.ins == InsUpdateBinary)
        return updateBinary(apdu);
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

const std::map<std::uint16_t, Bytes> &SimulatedCard::currentDfFiles() const
{
    switch (m_df) {
    case Df::Tachograph:
        return m_image.tachographFiles;
    case Df::TachographG2:
        return m_image.secondGenerationFiles;
    case Df::Master:
        break;
    }
    return m_image.masterFiles;
}

const Bytes *SimulatedCard::currentFile() const
{
    if (!m_currentEf)
        return nullptr;
    const auto &files = currentDfFiles();
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
        Df wanted = Df::Master;
        if (std::ranges::equal(apdu.data, TachographAid) && !m_faults.noTachograph)
            wanted = Df::Tachograph;
        else if (std::ranges::equal(apdu.data, TachographG2Aid) && m_image.hasSecondGeneration())
            wanted = Df::TachographG2;
        else
            return status(Sw::FileNotFound);
        // The regulation promises that each application is selected from the master file; from
        // inside the other one a card need not find it, and this one does not.
        if (m_df != Df::Master && m_df != wanted)
            return status(Sw::FileNotFound);
        m_df = wanted;
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
        if (!currentDfFiles().contains(fileId))
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
    // Readable only through secure messaging, which a download does not use.
    if (m_df == Df::TachographG2 && m_currentEf == EfVuConfiguration)
        return status(Sw::SecurityStatusNotSatisfied);

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
    if (m_df == Df::TachographG2) {
        if (m_currentEf == EfVuConfiguration)
            return status(Sw::SecurityStatusNotSatisfied);
        // The hash the card's key calls for; a replayed card without a key hashes with SHA-256,
        // which its recorded signatures do not depend on.
        if (m_secondGenerationKey) {
            m_hash = m_secondGenerationKey->hash(*file);
        } else {
            Bytes hash(SHA256_DIGEST_LENGTH);
            SHA256(file->data(), file->size(), hash.data());
            m_hash = std::move(hash);
        }
        return status(Sw::Ok);
    }
    Bytes hash(SHA_DIGEST_LENGTH);
    SHA1(file->data(), file->size(), hash.data());
    m_hash = std::move(hash);
    return status(Sw::Ok);
}

Bytes SimulatedCard::computeSignature(const Apdu &apdu)
{
    if (apdu.p1 != 0x9E || apdu.p2 != 0x9A)
        return status(Sw::WrongParameters);
    if (apdu.hasData || !apdu.le)
        return status(Sw::WrongLength);
    if (m_df == Df::TachographG2)
        return computeSecondGenerationSignature(*apdu.le);
    if (*apdu.le != SignatureBytes && *apdu.le != 256)
        return wrongLe(SignatureBytes);
    if (!m_hash || !m_currentEf || m_hash->size() != SHA_DIGEST_LENGTH)
        return status(Sw::ConditionsNotSatisfied);
    CardKey::Sha1Hash hash{};
    std::copy(m_hash->begin(), m_hash->end(), hash.begin());
    auto signature = cardSignature(m_image, m_key ? &*m_key : nullptr, *m_currentEf, hash);
    if (!signature)
        return status(Sw::ConditionsNotSatisfied);
    if (m_faults.signatureLength)
        signature->resize(*m_faults.signatureLength, 0x00);
    if (m_faults.corruptSignatureOf == m_currentEf && !signature->empty())
        signature->back() ^= 0x01;
    return withStatus(std::move(*signature), Sw::Ok);
}

Bytes SimulatedCard::computeSecondGenerationSignature(std::size_t le)
{
    if (!m_hash || !m_currentEf)
        return status(Sw::ConditionsNotSatisfied);
    auto signature = secondGenerationSignature(m_image, m_secondGenerationKey ? &*m_secondGenerationKey : nullptr,
                                               *m_currentEf, *m_hash);
    if (!signature)
        return status(Sw::ConditionsNotSatisfied);
    const std::size_t length = m_faults.signatureLength.value_or(signature->size());
    // An Le of 00 asks for whatever there is, unless the card is one that wants the exact length.
    if (le != length && (le != 256 || m_faults.exactSignatureLe))
        return wrongLe(length);
    signature->resize(length, 0x00);
    if (m_faults.corruptSignatureOf == m_currentEf && !signature->empty())
        signature->back() ^= 0x01;
    return withStatus(std::move(*signature), Sw::Ok);
}

Bytes SimulatedCard::updateBinary(const Apdu &apdu)
{
    if (!apdu.hasData || apdu.le)
        return status(Sw::WrongLength);
    if (apdu.p1 & 0x80)
        return status(Sw::WrongParameters);
    if (!m_currentEf)
        return status(Sw::NoCurrentEf);
    // Only EF Card_Download may be written without secure messaging.
    if (m_df == Df::Master || *m_currentEf != EfCardDownload || m_faults.refuseUpdate)
        return status(Sw::SecurityStatusNotSatisfied);
    auto &files = m_df == Df::Tachograph ? m_image.tachographFiles : m_image.secondGenerationFiles;
    Bytes &file = files.at(*m_currentEf);
    const std::size_t offset = static_cast<std::size_t>(apdu.p1 << 8 | apdu.p2);
    if (offset > file.size() || apdu.data.size() > file.size() - offset)
        return status(Sw::OffsetBeyondEnd);
    std::ranges::copy(apdu.data, file.begin() + static_cast<std::ptrdiff_t>(offset));
    m_update = CardUpdate{m_df == Df::TachographG2, *m_currentEf, file};
    return status(Sw::Ok);
}

} // namespace vcard
