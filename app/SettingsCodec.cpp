#include "app/SettingsCodec.h"

#include "download/Windows1250.h"

#include <QByteArray>

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

// Only A-Z are lowered first, so no other letter turns into a digit.
int digitValue(QChar c)
{
    char16_t u = c.unicode();
    if (u >= u'A' && u <= u'Z')
        u = static_cast<char16_t>(u - u'A' + u'a');
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return 0;
}

} // namespace

QString EncodeSettingValue(const QString &text)
{
    const QByteArray bytes = toWindows1250(text);
    QString stored;
    stored.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        // Swapped halves: the low half comes first.
        stored.append(QLatin1Char(HexDigits[b & 0x0F]));
        stored.append(QLatin1Char(HexDigits[b >> 4]));
    }
    return stored;
}

QString DecodeSettingValue(const QString &stored)
{
    QByteArray bytes;
    bytes.reserve(stored.size() / 2);
    for (qsizetype i = 0; i + 1 < stored.size(); i += 2) {
        const int low = digitValue(stored.at(i));
        const int high = digitValue(stored.at(i + 1));
        const auto byte = static_cast<char>(high * 16 + low);
        // The edit that shows the value ends the text at a zero byte; so do we, so that what is
        // shown is also what is written back.
        if (byte == 0)
            break;
        bytes.append(byte);
    }
    return fromWindows1250(bytes);
}
