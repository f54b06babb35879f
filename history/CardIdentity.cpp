#include "history/CardIdentity.h"

#include "download/DownloadFormat.h"
#include "download/Windows1250.h"

#include <algorithm>

using namespace DownloadFormat;

namespace {

// A field up to its first zero byte, without the spaces that pad it.
QString fieldText(const std::uint8_t *data, std::size_t count, std::size_t offset, std::size_t size)
{
    if (offset >= count)
        return {};
    const std::size_t available = std::min(size, count - offset);
    std::size_t length = 0;
    while (length < available && data[offset + length] != 0)
        ++length;
    return fromWindows1250(QByteArrayView(data + offset, static_cast<qsizetype>(length))).trimmed();
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
    if (count <= CardNumberOffset)
        return identity;
    identity.issuingState = identification[0];
    identity.cardNumber = fieldText(identification, count, CardNumberOffset, CardNumberSize);
    identity.surname = fieldText(identification, count, SurnameOffset, NameSize);
    identity.firstNames = fieldText(identification, count, FirstNamesOffset, NameSize);
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
        if (fileId == IdentificationFileId && (type == DataRecord || type == SecondGenerationDataRecord))
            return cardIdentityFromIdentification(bytes + content, length);
        offset = content + length;
    }
    return {};
}
