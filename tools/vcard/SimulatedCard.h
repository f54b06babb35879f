#pragma once

// The card itself: file system, selection state and the answers to command APDUs, without any
// socket, so that tests can drive it directly.

#include "tools/vcard/CardImage.h"
#include "tools/vcard/CardKey.h"
#include "tools/vcard/EcKey.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vcard {

namespace Sw {
inline constexpr std::uint16_t Ok = 0x9000;
inline constexpr std::uint16_t WrongLength = 0x6700;
inline constexpr std::uint16_t NoCurrentEf = 0x6986;
inline constexpr std::uint16_t SecurityStatusNotSatisfied = 0x6982;
inline constexpr std::uint16_t ConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t WrongParameters = 0x6A86;
inline constexpr std::uint16_t FileNotFound = 0x6A82;
inline constexpr std::uint16_t OffsetBeyondEnd = 0x6B00;
inline constexpr std::uint16_t WrongLe = 0x6C00; // low byte: the length available
inline constexpr std::uint16_t InsNotSupported = 0x6D00;
inline constexpr std::uint16_t ClaNotSupported = 0x6E00;
} // namespace Sw

// A status word forced for a command, by class and instruction (class optional: 2A is both
// PERFORM HASH OF FILE with class 80 and PSO with class 00) and the EF concerned (the one a SELECT
// names, else the current one; no value: any).
struct StatusOverride
{
    std::optional<std::uint8_t> cla;
    std::uint8_t ins = 0;
    std::optional<std::uint16_t> fileId;
    std::uint16_t statusWord = 0;
};

struct CardFaults
{
    std::vector<StatusOverride> statusOverrides;
    std::optional<std::size_t> signatureLength; // PSO answers this many bytes (cut or zero-padded)
    bool noTachograph = false; // SELECT of the tachograph application fails
    bool eofAnswers9000 = false; // READ BINARY at the end answers 9000 without data
    bool wrongLength6700 = false; // 6700 wherever 6Cxx would be answered
    bool exactSignatureLe = false; // a second-generation PSO takes only Le = the signature's length
    bool refuseUpdate = false; // UPDATE BINARY of EF Card_Download answers 6982
    std::optional<std::uint16_t> corruptSignatureOf; // PSO for this EF answers a signature with a bit flipped
};

// What an UPDATE BINARY changed, for the log.
struct CardUpdate
{
    bool secondGeneration = false;
    std::uint16_t fileId = 0;
    Bytes content; // the EF's whole content afterwards
};

class SimulatedCard
{
public:
    static constexpr std::array<std::uint8_t, 4> Atr{0x3B, 0x02, 0x14, 0x50}; // T=0
    static constexpr std::array<std::uint8_t, 6> TachographAid{0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};
    static constexpr std::array<std::uint8_t, 6> TachographG2Aid{0xFF, 0x53, 0x4D, 0x52, 0x44, 0x54};

    enum class Df { Master, Tachograph, TachographG2 };

    SimulatedCard(CardImage image, std::optional<CardKey> key, CardFaults faults);
    // The signing key of the DF Tachograph_G2; without it (and without recorded signatures) PSO
    // there fails.
    void setSecondGenerationKey(EcKey key) { m_secondGenerationKey = std::move(key); }

    // Response data followed by SW1 SW2.
    Bytes transmit(std::span<const std::uint8_t> apdu);

    // Power on, power off and a reset: back to the master file, no EF selected, no hash.
    void reset();

    bool inTachographDf() const { return m_df == Df::Tachograph; }
    Df currentDf() const { return m_df; }
    // The last UPDATE BINARY that changed a file, once: no value when there was none since.
    std::optional<CardUpdate> takeUpdate() { return std::exchange(m_update, std::nullopt); }
    std::optional<std::uint16_t> currentEf() const { return m_currentEf; }
    const CardImage &image() const { return m_image; }

private:
    struct Apdu;

    Bytes select(const Apdu &apdu);
    Bytes readBinary(const Apdu &apdu);
    Bytes performHash(const Apdu &apdu);
    Bytes computeSignature(const Apdu &apdu);
    Bytes computeSecondGenerationSignature(std::size_t le);
    Bytes updateBinary(const Apdu &apdu);
    const std::map<std::uint16_t, Bytes> &currentDfFiles() const;
    Bytes wrongLe(std::size_t available) const;
    std::optional<std::uint16_t> fileConcerned(const Apdu &apdu) const;
    const Bytes *currentFile() const;

    CardImage m_image;
    std::optional<CardKey> m_key;
    std::optional<EcKey> m_secondGenerationKey;
    CardFaults m_faults;
    Df m_df = Df::Master;
    std::optional<std::uint16_t> m_currentEf;
    std::optional<Bytes> m_hash;
    std::optional<CardUpdate> m_update;
};

} // namespace vcard
