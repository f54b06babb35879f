#include "download/DownloadFormat.h"

#include "download/Windows1250.h"

#include <algorithm>

namespace DownloadFormat {
namespace {

// A field of EF Identification up to its first zero byte, within the bytes that were read.
QByteArrayView fieldBytes(const std::uint8_t *identification, std::size_t count, IdentificationFields::Field field)
{
    const std::span<const std::uint8_t> bytes = IdentificationFields::bytes({identification, count}, field);
    return {bytes.data(), static_cast<qsizetype>(bytes.size())};
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

// Cards fill names with spaces to the field's end; what is shown is the names, not the fill. The
// file name keeps the fill: the fleet server takes names as they come.
QByteArrayView withoutFill(QByteArrayView name)
{
    while (name.endsWith(' '))
        name.chop(1);
    return name;
}

} // namespace

QByteArray buildFileNamePart(const std::uint8_t *identification, std::size_t count)
{
    using namespace IdentificationFields;
    const char initial = FirstNames.offset < count ? static_cast<char>(identification[FirstNames.offset]) : '\0';
    QByteArray part;
    part.append(initial);
    part.append('_');
    part.append(fieldBytes(identification, count, Surname));
    part.append('_');
    part.append(fieldBytes(identification, count, CardNumber));
    std::replace_if(
            part.begin(), part.end(), [](char c) { return !isSafeInFileName(static_cast<std::uint8_t>(c)); }, '_');
    return part;
}

QString identificationText(const std::uint8_t *identification, std::size_t count, IdentificationFields::Field field)
{
    return fromWindows1250(withoutFill(fieldBytes(identification, count, field)));
}

QString holderName(const std::uint8_t *identification, std::size_t count)
{
    return identificationText(identification, count, IdentificationFields::FirstNames) + u' '
            + identificationText(identification, count, IdentificationFields::Surname);
}

QString downloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart, int number)
{
    const QString further = number > 1 ? u'_' + QString::number(number) : QString();
    return QStringLiteral("C_") + localTime.toString(QStringLiteral("yyyyMMdd_HHmm")) + u'_'
            + fromWindows1250(fileNamePart) + further + QStringLiteral(".ddd");
}

QString incompleteDownloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart, int number)
{
    return downloadFileName(localTime, fileNamePart, number) + QStringLiteral(".neuplne");
}

} // namespace DownloadFormat
