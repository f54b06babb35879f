#include "tools/vcard/CardImage.h"

#include "tools/vcard/CardKey.h"
#include "tools/vcard/EcKey.h"

#include <openssl/sha.h>

#include <set>

namespace vcard {

const Bytes *CardImage::file(std::uint16_t fileId) const
{
    const auto &files = isMasterFile(fileId) ? masterFiles : tachographFiles;
    const auto found = files.find(fileId);
    return found == files.end() ? nullptr : &found->second;
}

const Bytes *CardImage::secondGenerationFile(std::uint16_t fileId) const
{
    const auto found = secondGenerationFiles.find(fileId);
    return found == secondGenerationFiles.end() ? nullptr : &found->second;
}

CardImageLoad loadCardImage(std::span<const std::uint8_t> downloadFile)
{
    CardImageLoad load;
    auto parsed = DddFile::parse(downloadFile);
    if (!parsed.ok) {
        load.error = parsed.error;
        return load;
    }
    const DddCheck order = DddFile::signaturesFollowData(parsed.records);
    if (!order.ok) {
        load.error = order.error;
        return load;
    }

    CardImage &image = load.image;
    image.replayed = true;
    std::set<std::pair<bool, std::uint16_t>> seen;
    for (auto &record : parsed.records) {
        const bool second = DddFile::isSecondGeneration(record.type);
        const std::string ef = "EF " + DddFile::fileIdText(record.fileId) + (second ? " of DF Tachograph_G2" : "");
        if (DddFile::isSignature(record.type)) {
            // Order is checked above: the data record of this EF came right before.
            auto &signatures = second ? image.recordedSecondGenerationSignatures : image.recordedSignatures;
            if (!signatures.emplace(record.fileId, std::move(record.content)).second) {
                load.error = "second signature record for " + ef;
                return load;
            }
            image.downloadOrder.back().isSigned = true;
            continue;
        }
        if (!seen.insert({second, record.fileId}).second) {
            load.error = "second data record for " + ef;
            return load;
        }
        if (record.content.size() > MaxEfSize) {
            load.error = ef + " has " + std::to_string(record.content.size())
                    + " bytes, more than READ BINARY can reach (" + std::to_string(MaxEfSize) + ")";
            return load;
        }
        auto &files = second                             ? image.secondGenerationFiles
                : CardImage::isMasterFile(record.fileId) ? image.masterFiles
                                                         : image.tachographFiles;
        files.emplace(record.fileId, std::move(record.content));
        image.downloadOrder.push_back({record.fileId, false, second});
    }
    load.ok = true;
    return load;
}

namespace {

// The recorded signature when replaying, else one the key makes.
template<typename Key, typename Hash>
std::optional<Bytes> recordedOrSigned(const CardImage &image, const std::map<std::uint16_t, Bytes> &recorded,
                                      const Key *key, std::uint16_t fileId, const Hash &hash)
{
    if (image.replayed) {
        const auto found = recorded.find(fileId);
        if (found == recorded.end())
            return std::nullopt;
        return found->second;
    }
    if (!key)
        return std::nullopt;
    Bytes signature = key->signHash(hash);
    if (signature.empty())
        return std::nullopt;
    return signature;
}

} // namespace

std::optional<Bytes> cardSignature(const CardImage &image, const CardKey *key, std::uint16_t fileId,
                                   const std::array<std::uint8_t, 20> &hash)
{
    return recordedOrSigned(image, image.recordedSignatures, key, fileId, hash);
}

std::optional<Bytes> secondGenerationSignature(const CardImage &image, const EcKey *key, std::uint16_t fileId,
                                               std::span<const std::uint8_t> hash)
{
    return recordedOrSigned(image, image.recordedSecondGenerationSignatures, key, fileId, hash);
}

std::vector<DddRecord> downloadRecords(const CardImage &image, const CardKey *key, const EcKey *secondGenerationKey)
{
    std::vector<DddRecord> records;
    for (const auto &entry : image.downloadOrder) {
        if (entry.secondGeneration) {
            const Bytes *content = image.secondGenerationFile(entry.fileId);
            if (!content)
                continue;
            records.push_back({entry.fileId, DddRecordType::SecondGenerationData, *content});
            if (!entry.isSigned)
                continue;
            // Replay has no key; the recorded signature stands whatever the hash.
            const Bytes hash = secondGenerationKey ? secondGenerationKey->hash(*content) : Bytes{};
            auto signature = secondGenerationSignature(image, secondGenerationKey, entry.fileId, hash);
            if (!signature)
                return {};
            records.push_back({entry.fileId, DddRecordType::SecondGenerationSignature, std::move(*signature)});
            continue;
        }
        const Bytes *content = image.file(entry.fileId);
        if (!content)
            continue;
        records.push_back({entry.fileId, DddRecordType::Data, *content});
        if (!entry.isSigned)
            continue;
        std::array<std::uint8_t, 20> hash{};
        SHA1(content->data(), content->size(), hash.data());
        auto signature = cardSignature(image, key, entry.fileId, hash);
        if (!signature)
            return {};
        records.push_back({entry.fileId, DddRecordType::Signature, std::move(*signature)});
    }
    return records;
}

} // namespace vcard
