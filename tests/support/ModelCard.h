#pragma once

// A small model of a Gen1 driver card behind the fake PC/SC layer, with the answer styles that
// real cards differ in. It knows the commands of a download and nothing else.

#include "support/FakePcsc.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
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
    // The files of DF Tachograph_G2; a card without any is a first-generation card.
    std::map<std::uint16_t, std::vector<std::uint8_t>> secondGenerationFiles;
    // What PSO answers in DF Tachograph_G2; a Le of another length gets 6Cxx.
    std::size_t secondGenerationSignatureLength = 64;
    // UPDATE BINARY commands that changed a file: the application (1 or 2), the EF, the bytes.
    struct Update
    {
        int application;
        std::uint16_t fileId;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Update> updates;
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
    bool secondGenerationSelected = false;
    // After this many commands every exchange fails as with a pulled card.
    std::optional<std::size_t> removeAfter;
    // The card is pulled right after it signed this EF.
    std::optional<std::uint16_t> removeAfterSignatureOf;

    void reset();

    FakePcsc::Reply answer(const std::vector<std::uint8_t> &command);

private:
    std::vector<std::uint8_t> &currentFile();

    std::optional<std::uint16_t> m_current;
    bool m_hashed = false;
    std::size_t m_commands = 0;
    bool m_removed = false;
};

// EF Identification of a driver card (143 bytes): the card number and the holder's names, the rest
// zero.
std::vector<std::uint8_t> identificationFile(const std::string &cardNumber = "CZ12345678901234",
                                             const std::string &surname = "NOVAK",
                                             const std::string &firstNames = "JAN");
