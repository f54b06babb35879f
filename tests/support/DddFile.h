#pragma once

// A ".ddd" download file: a plain sequence of records, each a 2-byte big-endian file identifier,
// a 1-byte type (00 data, 01 signature of the first-generation application; 02 data, 03
// signature of the second-generation one), a 2-byte big-endian length L and L bytes. Tests check the
// files the program writes with it, and the simulated card loads download files for replay.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum class DddRecordType : std::uint8_t {
    Data = 0x00,
    Signature = 0x01,
    SecondGenerationData = 0x02,
    SecondGenerationSignature = 0x03,
};

struct DddRecord
{
    std::uint16_t fileId = 0;
    DddRecordType type = DddRecordType::Data;
    std::vector<std::uint8_t> content;

    bool operator==(const DddRecord &) const = default;
};

// The outcome of a check: ok, or the first problem found in words a test failure can show.
struct DddCheck
{
    bool ok = true;
    std::string error;

    static DddCheck failure(std::string text) { return {false, std::move(text)}; }
};

class DddFile
{
public:
    struct ParseResult
    {
        bool ok = false;
        std::string error;
        std::size_t errorOffset = 0; // where the bad record starts
        std::vector<DddRecord> records;
    };

    // Strict: an empty buffer, a truncated record, an unknown record type or bytes after the
    // last record are errors.
    static ParseResult parse(std::span<const std::uint8_t> bytes);
    static std::vector<std::uint8_t> encode(const std::vector<DddRecord> &records);

    // Sum over the records of 5 + L: what the file's length must be.
    static std::size_t encodedLength(const std::vector<DddRecord> &records);

    // The content of the first record of that EF and type.
    static std::optional<std::vector<std::uint8_t>> find(const std::vector<DddRecord> &records, std::uint16_t fileId,
                                                         DddRecordType type);

    static bool isSignature(DddRecordType type)
    {
        return type == DddRecordType::Signature || type == DddRecordType::SecondGenerationSignature;
    }
    static bool isSecondGeneration(DddRecordType type)
    {
        return type == DddRecordType::SecondGenerationData || type == DddRecordType::SecondGenerationSignature;
    }

    // Every signature record directly follows the data record of the same EF and generation.
    static DddCheck signaturesFollowData(const std::vector<DddRecord> &records);

    // Every first-generation signature record is a valid RSASSA-PKCS1-v1_5 signature with SHA-1
    // over the content of the data record before it, made with the key whose public half publicKeyPem holds.
    // There must be at least one signature.
    static DddCheck verifySignatures(const std::vector<DddRecord> &records, const std::string &publicKeyPem);

    // "0504" style name of a file identifier, for messages.
    static std::string fileIdText(std::uint16_t fileId);
};
