#include "support/DddFile.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <array>
#include <cstdio>
#include <memory>

namespace {

constexpr std::size_t HeaderSize = 5;

std::string offsetText(std::size_t offset)
{
    return "offset " + std::to_string(offset);
}

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

} // namespace

DddFile::ParseResult DddFile::parse(std::span<const std::uint8_t> bytes)
{
    ParseResult result;
    if (bytes.empty()) {
        result.error = "empty file";
        return result;
    }
    std::size_t position = 0;
    while (position < bytes.size()) {
        const std::size_t left = bytes.size() - position;
        if (left < HeaderSize) {
            result.error =
                    "truncated record header at " + offsetText(position) + " (" + std::to_string(left) + " bytes left)";
            result.errorOffset = position;
            result.records.clear();
            return result;
        }
        const auto fileId = static_cast<std::uint16_t>(bytes[position] << 8 | bytes[position + 1]);
        const std::uint8_t type = bytes[position + 2];
        const std::size_t length = static_cast<std::size_t>(bytes[position + 3] << 8 | bytes[position + 4]);
        if (type > static_cast<std::uint8_t>(DddRecordType::SecondGenerationSignature)) {
            result.error = "unknown record type " + std::to_string(type) + " for EF " + fileIdText(fileId) + " at "
                    + offsetText(position);
            result.errorOffset = position;
            result.records.clear();
            return result;
        }
        if (left - HeaderSize < length) {
            result.error = "record of EF " + fileIdText(fileId) + " at " + offsetText(position) + " declares "
                    + std::to_string(length) + " bytes, only " + std::to_string(left - HeaderSize) + " follow";
            result.errorOffset = position;
            result.records.clear();
            return result;
        }
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(position + HeaderSize);
        result.records.push_back(
                DddRecord{fileId, static_cast<DddRecordType>(type),
                          std::vector<std::uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(length))});
        position += HeaderSize + length;
    }
    result.ok = true;
    return result;
}

std::vector<std::uint8_t> DddFile::encode(const std::vector<DddRecord> &records)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(encodedLength(records));
    for (const auto &record : records) {
        // A record cannot say more than 0xFFFF bytes; writing a cut length would corrupt every
        // record after it, so such a record is an error of the caller, not of the file.
        if (record.content.size() > 0xFFFF)
            return {};
        bytes.push_back(static_cast<std::uint8_t>(record.fileId >> 8));
        bytes.push_back(static_cast<std::uint8_t>(record.fileId & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(record.type));
        bytes.push_back(static_cast<std::uint8_t>(record.content.size() >> 8));
        bytes.push_back(static_cast<std::uint8_t>(record.content.size() & 0xFF));
        bytes.insert(bytes.end(), record.content.begin(), record.content.end());
    }
    return bytes;
}

std::size_t DddFile::encodedLength(const std::vector<DddRecord> &records)
{
    std::size_t length = 0;
    for (const auto &record : records)
        length += HeaderSize + record.content.size();
    return length;
}

std::optional<std::vector<std::uint8_t>> DddFile::find(const std::vector<DddRecord> &records, std::uint16_t fileId,
                                                       DddRecordType type)
{
    for (const auto &record : records) {
        if (record.fileId == fileId && record.type == type)
            return record.content;
    }
    return std::nullopt;
}

DddCheck DddFile::signaturesFollowData(const std::vector<DddRecord> &records)
{
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!isSignature(records[i].type))
            continue;
        const std::string where =
                "signature record " + std::to_string(i) + " (EF " + fileIdText(records[i].fileId) + ")";
        if (i == 0)
            return DddCheck::failure(where + " is the first record");
        const auto &before = records[i - 1];
        if (isSignature(before.type))
            return DddCheck::failure(where + " follows another signature record");
        if (isSecondGeneration(before.type) != isSecondGeneration(records[i].type))
            return DddCheck::failure(where + " follows a data record of the other generation");
        if (before.fileId != records[i].fileId)
            return DddCheck::failure(where + " follows the data record of EF " + fileIdText(before.fileId));
    }
    return {};
}

DddCheck DddFile::verifySignatures(const std::vector<DddRecord> &records, const std::string &publicKeyPem)
{
    const DddCheck order = signaturesFollowData(records);
    if (!order.ok)
        return order;

    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
    std::unique_ptr<EVP_PKEY, PkeyFree> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        return DddCheck::failure("the public key is not a PEM public key");

    int signatures = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (records[i].type != DddRecordType::Signature)
            continue;
        ++signatures;
        const auto &data = records[i - 1].content;
        const auto &signature = records[i].content;
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
        EVP_PKEY_CTX *pkeyCtx = nullptr; // owned by ctx
        const bool verified = ctx && EVP_DigestVerifyInit(ctx.get(), &pkeyCtx, EVP_sha1(), nullptr, key.get()) == 1
                && EVP_PKEY_CTX_set_rsa_padding(pkeyCtx, RSA_PKCS1_PADDING) == 1
                && EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
        if (!verified) {
            return DddCheck::failure("signature of EF " + fileIdText(records[i].fileId) + " ("
                                     + std::to_string(signature.size()) + " bytes) does not verify");
        }
    }
    if (signatures == 0)
        return DddCheck::failure("no signature records");
    return {};
}

std::string DddFile::fileIdText(std::uint16_t fileId)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04X", static_cast<unsigned>(fileId));
    return text.data();
}
