#include "history/CardIdentity.h"

#include "cardmodel/CardFiles.h"
#include "download/DownloadFormat.h"

using namespace DownloadFormat;

namespace {

// A field without the spaces around it: the history keys cards by what they say, not by the fill.
QString fieldText(const std::uint8_t *identification, std::size_t count, IdentificationFields::Field field)
{
    return identificationText(identification, count, field).trimmed();
}

} // namespace

QString CardIdentity::holder() const
{
    if (firstNames.isEmpty())
        return surname;
    if (surname.isEmpty())
        return firstNames;
    return firstNames + u' ' + surname;
}

CardIdentity cardIdentityFromIdentification(const std::uint8_t *identification, std::size_t count)
{
    CardIdentity identity;
    if (count <= IdentificationFields::CardNumber.offset)
        return identity;
    identity.issuingState = identification[IdentificationFields::IssuingMemberState.offset];
    identity.cardNumber = fieldText(identification, count, IdentificationFields::CardNumber);
    identity.surname = fieldText(identification, count, IdentificationFields::Surname);
    identity.firstNames = fieldText(identification, count, IdentificationFields::FirstNames);
    return identity;
}

CardIdentity cardIdentityFromDownload(QByteArrayView download)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(download.data());
    const auto size = static_cast<std::size_t>(download.size());
    std::size_t offset = 0;
    while (offset + RecordHeaderSize <= size) {
        const std::uint16_t fileId = static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
        const std::uint8_t type = bytes[offset + 2];
        const std::size_t length = static_cast<std::size_t>(bytes[offset + 3] << 8 | bytes[offset + 4]);
        const std::size_t content = offset + RecordHeaderSize;
        if (length > size - content)
            break;
        if (fileId == CardFiles::Identification && (type == DataRecord || type == SecondGenerationDataRecord))
            return cardIdentityFromIdentification(bytes + content, length);
        offset = content + length;
    }
    return {};
}
