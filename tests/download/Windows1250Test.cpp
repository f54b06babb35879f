#include "download/Windows1250.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <gtest/gtest.h>

// The system's converter is the reference: names read from cards and credentials in settings
// files written by earlier versions must come out the same as before.
TEST(Windows1250, AgreesWithTheSystemConverterForEveryByteAndCharacter)
{
    if (!QStringDecoder("windows-1250").isValid())
        GTEST_SKIP() << "this Qt has no Windows-1250 converter to compare with";

    QByteArray allBytes;
    for (int byte = 0; byte < 256; ++byte)
        allBytes.append(static_cast<char>(byte));
    const QString decoded = fromWindows1250(allBytes);
    ASSERT_EQ(decoded, QStringDecoder("windows-1250").decode(allBytes));

    bool complete = false;
    EXPECT_EQ(toWindows1250(decoded, &complete), allBytes);
    EXPECT_TRUE(complete);

    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c < 0xE000)
            continue;
        const QChar character{char16_t(c)};
        QStringEncoder reference("windows-1250");
        const QByteArray expected = reference.encode(QStringView(&character, 1));
        const QByteArray bytes = toWindows1250(QStringView(&character, 1), &complete);
        // The reference drops invisible characters such as U+200B silently; we do not pretend to
        // have stored them.
        if (reference.hasError() || expected.isEmpty())
            ASSERT_FALSE(complete) << "U+" << std::hex << unsigned(c);
        else
            ASSERT_TRUE(complete && bytes == expected) << "U+" << std::hex << unsigned(c);
    }
}

TEST(Windows1250, CharactersWithoutAByteBecomeSubstitutes)
{
    struct Case
    {
        QString text;
        QByteArray bytes;
        bool complete;
    };
    const Case cases[] = {
            {QString(), QByteArray(), true},
            {QStringLiteral("Žluťoučký kůň"), QByteArray("\x8Elu\x9Do\x75\xE8k\xFD k\xF9\xF2"), true},
            {QStringLiteral("a漢b"),
             QByteArray("a\x1A"
                        "b"),
             false},
            // A character beyond the first plane is one substitute, not two.
            {QStringLiteral("a\U0001F600b"),
             QByteArray("a\x1A"
                        "b"),
             false},
            {QStringLiteral("a") + QChar(0xD800), QByteArray("a\x1A"), false},
            {QChar(0xDC00) + QStringLiteral("b"),
             QByteArray("\x1A"
                        "b"),
             false},
    };
    for (const Case &c : cases) {
        bool complete = !c.complete;
        EXPECT_EQ(toWindows1250(c.text, &complete).toHex(' '), c.bytes.toHex(' ')) << c.text.toStdString();
        EXPECT_EQ(complete, c.complete) << c.text.toStdString();
    }
}
