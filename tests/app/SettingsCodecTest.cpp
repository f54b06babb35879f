#include "app/SettingsCodec.h"

#include "SettingsTestSupport.h"

#include <QStringDecoder>

namespace {

struct CodecCase
{
    const char *name;
    QString stored;
    QString text;
};

TEST(SettingsCodec, DecodesStoredForms)
{
    const CodecCase cases[] = {
            {"plain", "162636", "abc"},
            {"odd last character ignored", "1626363", "abc"},
            {"upper case digits", "A5", "Z"},
            {"lower case digits", "a5", "Z"},
            {"Czech letter", "8E", QString::fromUtf8("č")},
            {"zero byte ends the text", "zz2636", ""},
            {"zero byte in the middle", "1626zz36", "ab"},
            {"non-digits count as zero", "g5", "P"},
            // Only A-Z are lowered: Ä stays a non-digit (0), B becomes b (11), giving byte B0 (°).
            {"letters beyond A-Z are not lowered", QString::fromUtf8("ÄB"), QString::fromUtf8("°")},
            {"empty", "", ""},
            {"single character", "7", ""},
    };
    for (const CodecCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeSettingValue(c.stored), c.text);
    }
}

TEST(SettingsCodec, EncodesText)
{
    const CodecCase cases[] = {
            {"plain", "162636", "abc"},
            {"Czech letter", "8E", QString::fromUtf8("č")},
            {"empty", "", ""},
            {"euro sign and upper half", "08A8", QString::fromUtf8("€Š")},
    };
    for (const CodecCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EncodeSettingValue(c.text), c.stored);
    }
}

// Every byte the file can hold must come back as the same stored form, so that a value read at
// start-up and written at shut-down stays what it was.
TEST(SettingsCodec, EveryNonZeroByteRoundTrips)
{
    constexpr char hex[] = "0123456789ABCDEF";
    for (int byte = 1; byte < 256; ++byte) {
        const QString stored = QString(QLatin1Char(hex[byte & 0x0F])) + QLatin1Char(hex[byte >> 4]);
        SCOPED_TRACE(stored.toStdString());
        const QString text = DecodeSettingValue(stored);
        ASSERT_EQ(text.size(), 1);
        EXPECT_EQ(EncodeSettingValue(text), stored);
    }
    const QString sentence = QString::fromUtf8("Příliš žluťoučký kůň úpěl ďábelské ódy");
    EXPECT_EQ(DecodeSettingValue(EncodeSettingValue(sentence)), sentence);
    EXPECT_EQ(EncodeSettingValue(sentence).size(), 2 * sentence.size());
}

} // namespace
