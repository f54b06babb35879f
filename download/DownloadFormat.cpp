#include "download/DownloadFormat.h"

#include "download/Windows1250.h"

#include <algorithm>

namespace DownloadFormat {
namespace {

// A field of EF Identification up to its first zero byte, within the bytes that were read.
QByteArray fieldText(const std::uint8_t *identification, std::size_t count, std::size_t offset, std::size_t size)
{
    QByteArray text;
    for (std::size_t i = offset; i < offset + size && i < count && identification[i] != 0; ++i)
        text.append(static_cast<char>(identification[i]));
    return text;
}

bool isSafeInFileName(std::uint8_t byte)
{
    switch (byte) {
    case '/':
    case '\\':
    case '"':
    case 0x7F:
    // Not characters in Windows-1250: they would decode to control characters.
    case 0x81:
    case 0x83:
    case 0x88:
    case 0x90:
    case 0x98:
        return false;
    default:
        return byte >= 0x20;
    }
}

// Cards fill names with spaces to the field's end; the label shows the names, not the fill. The
// file name keeps the fill: the fleet server takes names as they come.
QByteArray withoutFill(QByteArray name)
{
    while (name.endsWith(' '))
        name.chop(1);
    return name;
}

} // namespace

QByteArray buildFileNamePart(const std::uint8_t *identification, std::size_t count)
{
    const char initial = FirstNamesOffset < count ? static_cast<char>(identification[FirstNamesOffset]) : '\0';
    QByteArray part;
    part.append(initial);
    part.append('_');
    part.append(fieldText(identification, count, SurnameOffset, NameSize));
    part.append('_');
    part.append(fieldText(identification, count, CardNumberOffset, CardNumberSize));
    std::replace_if(
            part.begin(), part.end(), [](char c) { return !isSafeInFileName(static_cast<std::uint8_t>(c)); }, '_');
    return part;
}

QString holderName(const std::uint8_t *identification, std::size_t count)
{
    return fromWindows1250(withoutFill(fieldText(identification, count, FirstNamesOffset, NameSize))) + u' '
            + fromWindows1250(withoutFill(fieldText(identification, count, SurnameOffset, NameSize)));
}

QString downloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart)
{
    return QStringLiteral("C_") + localTime.toString(QStringLiteral("yyyyMMdd_HHmm")) + u'_'
            + fromWindows1250(fileNamePart) + QStringLiteral(".ddd");
}

QString incompleteDownloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart)
{
    return downloadFileName(localTime, fileNamePart) + QStringLiteral(".neuplne");
}

} // namespace DownloadFormat
