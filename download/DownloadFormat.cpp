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

namespace {

struct CurveSignature
{
    QByteArrayView objectIdentifier; // tag 06, its length and the value
    std::uint32_t signatureLength;
};

// The curves a card-verifiable certificate may name for its key.
const CurveSignature Curves[] = {
        {QByteArrayView("\x06\x09\x2B\x24\x03\x03\x02\x08\x01\x01\x07", 11), 64}, // brainpoolP256r1
        {QByteArrayView("\x06\x09\x2B\x24\x03\x03\x02\x08\x01\x01\x0B", 11), 96}, // brainpoolP384r1
        {QByteArrayView("\x06\x09\x2B\x24\x03\x03\x02\x08\x01\x01\x0D", 11), 128}, // brainpoolP512r1
        {QByteArrayView("\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07", 10), 64}, // NIST P-256
        {QByteArrayView("\x06\x05\x2B\x81\x04\x00\x22", 7), 96}, // NIST P-384
        {QByteArrayView("\x06\x05\x2B\x81\x04\x00\x23", 7), 132}, // NIST P-521
};

} // namespace

std::uint32_t signatureLengthOfCertificate(const std::uint8_t *certificate, std::size_t count)
{
    const QByteArrayView bytes(certificate, static_cast<qsizetype>(count));
    for (const CurveSignature &curve : Curves) {
        if (bytes.indexOf(curve.objectIdentifier) >= 0)
            return curve.signatureLength;
    }
    return 0;
}

bool isSecondGenerationSignatureLength(std::uint32_t length)
{
    return length == 64 || length == 96 || length == 128 || length == 132;
}

int secondGenerationVersion(const std::uint8_t *applicationIdentification, std::size_t count)
{
    if (count < 3 || applicationIdentification[1] != 0x01)
        return 0;
    return applicationIdentification[2] == 0x00 ? 1 : 2;
}

QString incompleteDownloadFileName(const QDateTime &localTime, const QByteArray &fileNamePart)
{
    return downloadFileName(localTime, fileNamePart) + QStringLiteral(".neuplne");
}

} // namespace DownloadFormat
