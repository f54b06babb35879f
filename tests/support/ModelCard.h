#pragma once

// A small model of a Gen1 driver card behind the fake PC/SC layer, with the answer styles that
// real cards differ in. It knows the commands of a download and nothing else.

#include "support/FakePcsc.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

struct ModelCard
{
    enum class LengthStyle {
        ExactLength, // 6Cxx with the bytes left; 6C00 at the end
        DirectData, // 9000 with the bytes that are left
        WrongLength, // 6700 wherever the length is too long
    };
    enum class EndStyle { SixC00, EmptySuccess, SixB00, SixSevenHundred };

    std::map<std::uint16_t, std::vector<std::uint8_t>> files;
    LengthStyle lengthStyle = LengthStyle::ExactLength;
    EndStyle endStyle = EndStyle::SixC00;
    std::size_t signatureLength = 128;
    std::map<std::uint8_t, std::uint16_t> statusByInstruction; // answer this status to that INS
    std::optional<std::uint16_t> failSelectOf; // 6A82 for this file
    std::optional<std::uint16_t> refuseSignatureOf; // 6985 to the signature of this file
    // Like a real card: EF ICC and EF IC are found only in the master file, the others only in
    // the tachograph application; the application is selected by name, a reset returns to the MF.
    bool directories = false;
    bool tachographSelected = false;
    // After this many commands every exchange fails as with a pulled card.
    std::optional<std::size_t> removeAfter;
    // The card is pulled right after it signed this EF.
    std::optional<std::uint16_t> removeAfterSignatureOf;

    void reset();

    FakePcsc::Reply answer(const std::vector<std::uint8_t> &command);

private:
    std::optional<std::uint16_t> m_current;
    bool m_hashed = false;
    std::size_t m_commands = 0;
    bool m_removed = false;
};
