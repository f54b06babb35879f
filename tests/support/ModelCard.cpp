#include "support/ModelCard.h"

#include <algorithm>

namespace {

FakePcsc::Reply status(std::uint16_t statusWord)
{
    return {SCARD_S_SUCCESS,
            {static_cast<std::uint8_t>(statusWord >> 8), static_cast<std::uint8_t>(statusWord & 0xFF)}};
}

} // namespace

void ModelCard::reset()
{
    tachographSelected = false;
    secondGenerationSelected = false;
    m_current.reset();
    m_hashed = false;
}

FakePcsc::Reply ModelCard::answer(const std::vector<std::uint8_t> &command)
{
    if (m_removed || (removeAfter && m_commands >= *removeAfter))
        return {static_cast<LONG>(SCARD_W_REMOVED_CARD), {}};
    ++m_commands;
    if (command.size() < 4)
        return status(0x6700);
    const std::uint8_t ins = command[1];
    if (auto forced = statusByInstruction.find(ins); forced != statusByInstruction.end())
        return status(forced->second);

    switch (ins) {
    case 0xA4: {
        m_hashed = false;
        if (command[2] == 0x04) {
            const bool second = command.size() >= 11 && command[6] == 0x53;
            if (second && secondGenerationFiles.empty())
                return status(0x6A82);
            tachographSelected = !second;
            secondGenerationSelected = second;
            m_current.reset();
            return status(0x9000);
        }
        const auto id = static_cast<std::uint16_t>(command[5] << 8 | command[6]);
        if (secondGenerationSelected) {
            if (!secondGenerationFiles.count(id) || failSelectOf == id) {
                m_current.reset();
                return status(0x6A82);
            }
            m_current = id;
            return status(0x9000);
        }
        const bool inMasterFile = id == 0x0002 || id == 0x0005;
        if (!files.count(id) || failSelectOf == id || (directories && inMasterFile == tachographSelected)) {
            m_current.reset();
            return status(0x6A82);
        }
        m_current = id;
        return status(0x9000);
    }
    case 0x2A:
        if (command[2] == 0x90) {
            m_hashed = true;
            return status(0x9000);
        }
        if (!m_hashed || (refuseSignatureOf && refuseSignatureOf == m_current))
            return status(0x6985);
        if (secondGenerationSelected && command.size() >= 5 && command[4] != secondGenerationSignatureLength)
            return status(static_cast<std::uint16_t>(0x6C00 | (secondGenerationSignatureLength & 0xFF)));
        m_removed = removeAfterSignatureOf && removeAfterSignatureOf == m_current;
        {
            FakePcsc::Reply reply{SCARD_S_SUCCESS,
                                  std::vector<std::uint8_t>(secondGenerationSelected ? secondGenerationSignatureLength
                                                                                     : signatureLength,
                                                            secondGenerationSelected ? 0xA5 : 0x5A)};
            reply.bytes.push_back(0x90);
            reply.bytes.push_back(0x00);
            return reply;
        }
    case 0xB0: {
        if (!m_current)
            return status(0x6986);
        const auto &file = currentFile();
        const std::size_t offset = static_cast<std::size_t>(command[2] << 8 | command[3]);
        const std::size_t wanted = command[4] == 0 ? 256 : command[4];
        if (offset > file.size())
            return status(0x6B00);
        const std::size_t left = file.size() - offset;
        if (left == 0) {
            switch (endStyle) {
            case EndStyle::SixC00:
                return status(0x6C00);
            case EndStyle::EmptySuccess:
                return status(0x9000);
            case EndStyle::SixB00:
                return status(0x6B00);
            case EndStyle::SixSevenHundred:
                return status(0x6700);
            }
        }
        std::size_t length = wanted;
        if (wanted > left) {
            if (lengthStyle == LengthStyle::ExactLength)
                return status(static_cast<std::uint16_t>(0x6C00 | left));
            if (lengthStyle == LengthStyle::WrongLength)
                return status(0x6700);
            length = left;
        }
        FakePcsc::Reply reply{SCARD_S_SUCCESS,
                              {file.begin() + static_cast<std::ptrdiff_t>(offset),
                               file.begin() + static_cast<std::ptrdiff_t>(offset + length)}};
        reply.bytes.push_back(0x90);
        reply.bytes.push_back(0x00);
        return reply;
    }
    case 0xB1: {
        // Offsets beyond 32767: the offset in a data object (tag 54), the data in another (53).
        if (!m_current)
            return status(0x6986);
        if (command.size() < 8 || command[5] != 0x54 || command[6] == 0 || command[6] > 2
            || command.size() < 8u + command[6] - 1)
            return status(0x6A80);
        std::size_t offset = 0;
        for (std::size_t i = 0; i < command[6]; ++i)
            offset = offset << 8 | command[7 + i];
        const auto &file = currentFile();
        if (offset > file.size())
            return status(0x6B00);
        if (offset == file.size())
            return status(endStyle == EndStyle::SixB00 ? 0x6B00 : 0x6C00);
        const std::size_t length = std::min<std::size_t>(file.size() - offset, 253);
        FakePcsc::Reply reply{SCARD_S_SUCCESS, {0x53}};
        if (length >= 0x80)
            reply.bytes.push_back(0x81);
        reply.bytes.push_back(static_cast<std::uint8_t>(length));
        reply.bytes.insert(reply.bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
                           file.begin() + static_cast<std::ptrdiff_t>(offset + length));
        reply.bytes.push_back(0x90);
        reply.bytes.push_back(0x00);
        return reply;
    }
    case 0xD6: {
        if (!m_current)
            return status(0x6986);
        auto &file = currentFile();
        const std::size_t offset = static_cast<std::size_t>(command[2] << 8 | command[3]);
        if (command.size() < 5 || command.size() != 5u + command[4] || offset + command[4] > file.size())
            return status(0x6700);
        std::copy(command.begin() + 5, command.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
        updates.push_back({secondGenerationSelected ? 2 : 1, *m_current, {command.begin() + 5, command.end()}});
        return status(0x9000);
    }
    default:
        return status(0x6D00);
    }
}

std::vector<std::uint8_t> &ModelCard::currentFile()
{
    return secondGenerationSelected ? secondGenerationFiles.at(*m_current) : files.at(*m_current);
}

std::vector<std::uint8_t> identificationFile(const std::string &cardNumber, const std::string &surname,
                                             const std::string &firstNames)
{
    std::vector<std::uint8_t> file(143, 0x00);
    std::copy(cardNumber.begin(), cardNumber.end(), file.begin() + 1);
    std::copy(surname.begin(), surname.end(), file.begin() + 66);
    std::copy(firstNames.begin(), firstNames.end(), file.begin() + 102);
    return file;
}
