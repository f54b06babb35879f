#include "download/CardDownload.h"
#include "card/TachoCard.h"
#include "support/CaseName.h"
#include "support/ModelCard.h"
#include "support/QtPrinters.h"
#include "support/RecordingReporter.h"

#include <QStringEncoder>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size, std::uint8_t seed = 1)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

Bytes windows1250(const QString &text)
{
    QStringEncoder encoder("windows-1250");
    const QByteArray bytes = encoder.encode(text);
    return {bytes.begin(), bytes.end()};
}

// EF Identification of a driver card: card number at 1, surname at 66, first names at 102.
Bytes identification(const Bytes &surname, const Bytes &firstNames, const std::string &cardNumber = "CZ12345678901234",
                     std::uint8_t fill = 0x00)
{
    Bytes file(143, 0x00);
    std::copy(cardNumber.begin(), cardNumber.end(), file.begin() + 1);
    std::fill_n(file.begin() + 66, 35, fill);
    std::fill_n(file.begin() + 102, 35, fill);
    std::copy(surname.begin(), surname.end(), file.begin() + 66);
    std::copy(firstNames.begin(), firstNames.end(), file.begin() + 102);
    file[65] = 0x02;
    file[101] = 0x02;
    return file;
}

Bytes record(std::uint16_t id, std::uint8_t type, const Bytes &content)
{
    Bytes bytes{static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF), type,
                static_cast<std::uint8_t>(content.size() >> 8), static_cast<std::uint8_t>(content.size() & 0xFF)};
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

class CardDownloadTest : public testing::Test
{
protected:
    void SetUp() override
    {
        FakePcsc::reset();
        FakePcsc::setCard([this](const Bytes &command) { return card.answer(command); });
        TachoCard::setLogSink([this](const std::string &line) { reporter.AddLog(QString::fromLatin1(line)); });
        std::vector<std::string> readers;
        ASSERT_TRUE(TachoCard::ListReaders(readers));
        TachoCard::StartCardMonitor(readers.front(), nullptr);
    }

    void TearDown() override
    {
        TachoCard::ReleaseCardContext();
        TachoCard::setLogSink(nullptr);
    }

    void connect()
    {
        ASSERT_TRUE(TachoCard::ConnectCard());
        reporter.log.clear();
    }

    Bytes downloaded() const
    {
        return {download.DownloadBuffer.begin(), download.DownloadBuffer.begin() + download.DownloadLength};
    }

    std::vector<Bytes> readCommands() const
    {
        std::vector<Bytes> reads;
        for (const Bytes &command : FakePcsc::transmittedCommands()) {
            if (command.size() > 1 && (command[1] == 0xB0 || command[1] == 0xB1))
                reads.push_back(command);
        }
        return reads;
    }

    ModelCard card;
    RecordingReporter reporter;
    CardDownload download{reporter};
};

struct ReadStyleCase
{
    const char *name;
    std::size_t size;
    ModelCard::LengthStyle lengthStyle;
    ModelCard::EndStyle endStyle;
    std::size_t expectedReads;
};

class ReadStyles : public CardDownloadTest, public testing::WithParamInterface<ReadStyleCase>
{
};

TEST_P(ReadStyles, ReadTheWholeFileWithTheFewestCommands)
{
    const ReadStyleCase &c = GetParam();
    card.files[0x0503] = pattern(c.size);
    card.lengthStyle = c.lengthStyle;
    card.endStyle = c.endStyle;
    connect();

    EXPECT_TRUE(download.ReadCardFile(QStringLiteral("Faults Data"), 0x0503, false));
    EXPECT_EQ(downloaded(), record(0x0503, 0x00, pattern(c.size)));
    EXPECT_EQ(readCommands().size(), c.expectedReads);
    EXPECT_EQ(reporter.log.last(), QStringLiteral("- success"));
    EXPECT_EQ(reporter.status, QString());
}

using Length = ModelCard::LengthStyle;
using End = ModelCard::EndStyle;

INSTANTIATE_TEST_SUITE_P(
        Table, ReadStyles,
        testing::Values(ReadStyleCase{"ShortAfterExactLength", 100, Length::ExactLength, End::SixC00, 2},
                        ReadStyleCase{"ShortAnsweredAtOnce", 100, Length::DirectData, End::SixC00, 1},
                        ReadStyleCase{"Gen1Sizes", 5548, Length::ExactLength, End::SixC00, 23},
                        // Files whose size is a multiple of 256: the read just past the end completes them.
                        ReadStyleCase{"Exactly256Then6C00", 256, Length::ExactLength, End::SixC00, 2},
                        ReadStyleCase{"Exactly768Then6C00", 768, Length::ExactLength, End::SixC00, 4},
                        ReadStyleCase{"Exactly256ThenEmptySuccess", 256, Length::ExactLength, End::EmptySuccess, 2},
                        ReadStyleCase{"Exactly512Then6B00", 512, Length::ExactLength, End::SixB00, 3},
                        // Cards that answer 6700: a halving search of eight reads finds the bytes left, none
                        // at the end of a file of whole pieces.
                        ReadStyleCase{"Exactly256Then6700", 256, Length::WrongLength, End::SixSevenHundred, 2 + 8},
                        ReadStyleCase{"WrongLength600", 600, Length::WrongLength, End::SixSevenHundred, 3 + 8},
                        ReadStyleCase{"WrongLengthOneLeft", 257, Length::WrongLength, End::SixSevenHundred, 2 + 8},
                        ReadStyleCase{"WrongLength255", 255, Length::WrongLength, End::SixSevenHundred, 1 + 8},
                        // A file that fills the file buffer: its end lies where only the odd READ
                        // BINARY reaches.
                        ReadStyleCase{"Exactly32768", 32768, Length::ExactLength, End::SixC00, 128 + 1},
                        // Beyond it the odd READ BINARY brings pieces in a data object, as many as the
                        // card puts in one answer (here 253 bytes), until the card says the end.
                        ReadStyleCase{"Beyond32768", 40000, Length::ExactLength, End::SixC00, 128 + 29 + 1}),
        CaseName());

TEST_F(CardDownloadTest, UnsignedStepLogsOnlyItsHeadingExchangesAndSuccess)
{
    card.files[0x0002] = pattern(25);
    connect();
    ASSERT_TRUE(download.ReadCardFile(QStringLiteral("ICC"), 0x0002, false));
    const QStringList expected{
            "----- Read file: ICC -----",
            "Command:",
            " 00 A4 02 0C 02 00 02",
            "Response code:",
            " 90 00",
            "Command:",
            " 00 B0 00 00 00",
            "Response code:",
            " 6C 19",
            "Command:",
            " 00 B0 00 00 19",
            "Response data (len = 25):",
            reporter.log.value(11 + 1),
            reporter.log.value(11 + 2),
            "Response code:",
            " 90 00",
            "- success",
    };
    EXPECT_EQ(reporter.log, expected);
    EXPECT_EQ(reporter.statusHistory, (QStringList{QStringLiteral("Načítám soubor ICC..."), QString()}));
}

TEST_F(CardDownloadTest, SignedStepAppendsDataThenSignature)
{
    card.files[0x050E] = pattern(4);
    connect();
    ASSERT_TRUE(download.ReadCardFile(QStringLiteral("Card Download"), 0x050E, true));
    Bytes expected = record(0x050E, 0x00, pattern(4));
    const Bytes signature = record(0x050E, 0x01, Bytes(128, 0x5A));
    expected.insert(expected.end(), signature.begin(), signature.end());
    EXPECT_EQ(downloaded(), expected);
    EXPECT_EQ(download.DownloadLength, 9 + 133);
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("- hash file")));
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("- compute signature")));
    EXPECT_EQ(FakePcsc::transmittedCommands().at(1), (Bytes{0x80, 0x2A, 0x90, 0x00}));
    EXPECT_EQ(FakePcsc::transmittedCommands().back(), (Bytes{0x00, 0x2A, 0x9E, 0x9A, 0x80}));
}

struct FailureCase
{
    const char *name;
    std::function<void(ModelCard &)> arrange;
    QString expectedLastLine;
    bool dataRecordKept;
};

class StepFailures : public CardDownloadTest, public testing::WithParamInterface<FailureCase>
{
};

TEST_P(StepFailures, EndTheStepWithOneLineAndKeepOnlyWhatIsComplete)
{
    card.files[0x0502] = pattern(300);
    GetParam().arrange(card);
    connect();
    EXPECT_FALSE(download.ReadCardFile(QStringLiteral("Events Data"), 0x0502, true));
    EXPECT_EQ(reporter.log.last(), GetParam().expectedLastLine);
    EXPECT_EQ(download.DownloadLength, GetParam().dataRecordKept ? 305 : 0);
    EXPECT_EQ(reporter.status, QStringLiteral("Načítám soubor Events Data..."));
}

INSTANTIATE_TEST_SUITE_P(
        Table, StepFailures,
        testing::Values(FailureCase{"SelectRefused", [](ModelCard &c) { c.failSelectOf = 0x0502; },
                                    "- error: select file, code 6A82", false},
                        FailureCase{"HashRefused", [](ModelCard &c) { c.statusByInstruction[0x2A] = 0x6985; },
                                    "- error: hash file, code 6985", false},
                        // A card that keeps asking for another length is not asked a third time.
                        FailureCase{"RepeatedWrongLength", [](ModelCard &c) { c.statusByInstruction[0xB0] = 0x6C10; },
                                    "- error: read file, code 6C10", false},
                        FailureCase{"ReadRefused", [](ModelCard &c) { c.statusByInstruction[0xB0] = 0x6982; },
                                    "- error: read file, code 6982", false},
                        FailureCase{"ShortSignature", [](ModelCard &c) { c.signatureLength = 64; },
                                    "- error: wrong signature length - 64", true},
                        FailureCase{"NoSignatureData", [](ModelCard &c) { c.signatureLength = 0; },
                                    "- error: wrong signature length - 0", true},
                        FailureCase{"FileLargerThanItsBuffer", [](ModelCard &c) { c.files[0x0502] = pattern(70000); },
                                    "- error: file too large, more than 65534 bytes", false}),
        CaseName());

struct OverlongAnswerCase
{
    const char *name;
    ModelCard::LengthStyle lengthStyle;
    std::size_t fileSize;
    std::uint16_t offset; // the READ BINARY whose answer carries more data than it asked for
    std::uint8_t le;
    std::size_t extra;
    const char *expectedLastLine;
};

class OverlongAnswers : public CardDownloadTest, public testing::WithParamInterface<OverlongAnswerCase>
{
};

// Bytes beyond the length asked for have no known place in the file: taking them would shift the
// rest of the file or write bytes the card never said were there.
TEST_P(OverlongAnswers, FailTheStepWithoutARecord)
{
    const OverlongAnswerCase &c = GetParam();
    card.files[0x0503] = pattern(c.fileSize);
    card.lengthStyle = c.lengthStyle;
    FakePcsc::setCard([this, c](const Bytes &command) {
        FakePcsc::Reply reply = card.answer(command);
        const bool chosen = command.size() == 5 && command[1] == 0xB0 && (command[2] << 8 | command[3]) == c.offset
                && command[4] == c.le;
        if (chosen && reply.bytes.size() > 2)
            reply.bytes.insert(reply.bytes.end() - 2, c.extra, 0xEE);
        return reply;
    });
    connect();

    EXPECT_FALSE(download.ReadCardFile(QStringLiteral("Faults Data"), 0x0503, false));
    EXPECT_EQ(download.DownloadLength, 0);
    EXPECT_EQ(reporter.log.last(), QString::fromLatin1(c.expectedLastLine));
}

INSTANTIATE_TEST_SUITE_P(Table, OverlongAnswers,
                         testing::Values(OverlongAnswerCase{"WholePiece", Length::DirectData, 300, 0, 0x00, 44,
                                                            "- error: wrong data length - 300"},
                                         OverlongAnswerCase{"ExactLengthRead", Length::ExactLength, 25, 0, 0x19, 5,
                                                            "- error: wrong data length - 30"},
                                         OverlongAnswerCase{"LengthSearchProbe", Length::WrongLength, 300, 256, 44, 16,
                                                            "- error: wrong data length - 60"}),
                         CaseName());

TEST_F(CardDownloadTest, ExchangeThatNeverReachedTheCardReportsCode0000)
{
    card.files[0x0002] = pattern(25);
    connect();
    TachoCard::DisconnectCard();
    EXPECT_FALSE(download.ReadCardFile(QStringLiteral("ICC"), 0x0002, false));
    EXPECT_EQ(reporter.log.last(), QStringLiteral("- error: select file, code 0000"));
}

TEST_F(CardDownloadTest, RecordThatWouldOverrunTheDownloadIsRefused)
{
    card.files[0x0504] = pattern(100);
    connect();
    download.DownloadLength = static_cast<std::int32_t>(DownloadFormat::DownloadCapacity - 50);
    EXPECT_FALSE(download.ReadCardFile(QStringLiteral("Driver Activity Data"), 0x0504, false));
    EXPECT_EQ(reporter.log.last(), QStringLiteral("- error: download too large, more than 262144 bytes"));
    EXPECT_EQ(download.DownloadLength, static_cast<std::int32_t>(DownloadFormat::DownloadCapacity - 50));
}

struct FileNameCase
{
    const char *name;
    Bytes identification;
    std::size_t readLength;
    QByteArray expected;
};

class FileNameParts : public testing::TestWithParam<FileNameCase>
{
};

TEST_P(FileNameParts, ComeFromInitialSurnameAndCardNumber)
{
    const FileNameCase &c = GetParam();
    EXPECT_EQ(DownloadFormat::buildFileNamePart(c.identification.data(), c.readLength), c.expected);
}

Bytes ascii(const char *text)
{
    return {text, text + std::strlen(text)};
}

INSTANTIATE_TEST_SUITE_P(
        Table, FileNameParts,
        testing::Values(FileNameCase{"SurnameEndsAtZero", identification(ascii("NOVAK"), ascii("JAN")), 143,
                                     "J_NOVAK_CZ12345678901234"},
                        FileNameCase{"SurnamePaddedWithSpaces",
                                     identification(ascii("NOVAK"), ascii("JAN"), "CZ12345678901234", ' '), 143,
                                     "J_NOVAK" + QByteArray(30, ' ') + "_CZ12345678901234"},
                        FileNameCase{"SurnameFillsItsField", identification(Bytes(35, 'X'), ascii("JAN")), 143,
                                     "J_" + QByteArray(35, 'X') + "_CZ12345678901234"},
                        FileNameCase{"CzechLettersKeepTheirBytes",
                                     identification(windows1250(QStringLiteral("DVOŘÁK")),
                                                    windows1250(QStringLiteral("ŽANETA"))),
                                     143, QByteArray("\x8E_DVO\xD8\xC1K_CZ12345678901234")},
                        FileNameCase{"UnsafeBytesBecomeUnderscores",
                                     identification(ascii("A/B\"C\\D\x01\x7F\x81"), ascii("\x0A"), "CZ/../..\"x\x02"),
                                     143, "__A_B_C_D____CZ_.._.._x_"},
                        // A short answer: what was not read counts as zero, whatever the buffer held.
                        FileNameCase{"OnlyPartOfTheFileRead", identification(ascii("NOVAK"), ascii("JAN")), 69,
                                     "__NOV_CZ12345678901234"}),
        CaseName());

class Identification : public CardDownloadTest
{
};

TEST_F(Identification, ShowsTheHolderAndEnablesReading)
{
    card.files[0x0520] = identification(windows1250(QStringLiteral("NOVÁK")), windows1250(QStringLiteral("JAN PETR")));
    download.IdentifyCard();
    EXPECT_EQ(reporter.cardInfoHistory,
              (QStringList{QStringLiteral("načítám informace..."), QStringLiteral("JAN PETR NOVÁK")}));
    EXPECT_TRUE(reporter.connected);
    EXPECT_TRUE(reporter.identified);
    EXPECT_EQ(FakePcsc::openCards(), 1);
    EXPECT_EQ(download.DownloadLength, 148 + 133);
    EXPECT_EQ(download.FileNamePart, QByteArray("J_NOV\xC1K_CZ12345678901234"));
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("----- Select TACHO DF -----")));
    EXPECT_EQ(FakePcsc::transmittedCommands().front(),
              (Bytes{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F}));
}

// The fill goes from the label only: spaces inside a name stay, and the file name keeps the fill.
TEST_F(Identification, ShowsNamesWithoutTheSpacesThatFillThem)
{
    card.files[0x0520] = identification(windows1250(QStringLiteral("NĚMEC")), windows1250(QStringLiteral("TOMÁŠ  JAN")),
                                        "CZ12345678901234", ' ');
    download.IdentifyCard();
    EXPECT_EQ(reporter.cardInfo, QStringLiteral("TOMÁŠ  JAN NĚMEC"));
    EXPECT_EQ(download.FileNamePart, QByteArray("T_N\xCCMEC") + QByteArray(30, ' ') + "_CZ12345678901234");

    card.files[0x0520] = identification(ascii("NOVAK"), Bytes(35, 'J'), "CZ12345678901234", ' ');
    download.IdentifyCard();
    EXPECT_EQ(reporter.cardInfo, QString(35, u'J') + u' ' + QStringLiteral("NOVAK"));
}

TEST_F(Identification, NameComesOnlyFromTheBytesOfThisCard)
{
    card.files[0x0520] = identification(ascii("NOVAK"), ascii("JAN"));
    download.IdentifyCard();
    card.files[0x0520] = Bytes(80, 'Q');
    download.IdentifyCard();
    EXPECT_EQ(reporter.cardInfo, QStringLiteral(" ") + QString(14, u'Q'));
}

struct IdentificationFailure
{
    const char *name;
    std::function<void(ModelCard &)> arrange;
    QString cardInfo;
    QString status;
    QString lastLogLine;
};

class IdentificationFailures : public CardDownloadTest, public testing::WithParamInterface<IdentificationFailure>
{
};

// The card is left to other programs: none can use it while this one holds it exclusively.
TEST_P(IdentificationFailures, LeaveTheReadButtonDisabledAndReleaseTheCard)
{
    card.files[0x0520] = identification(ascii("NOVAK"), ascii("JAN"));
    GetParam().arrange(card);
    download.IdentifyCard();
    EXPECT_EQ(reporter.cardInfo, GetParam().cardInfo);
    EXPECT_EQ(reporter.status, GetParam().status);
    EXPECT_EQ(reporter.log.last(), GetParam().lastLogLine);
    EXPECT_FALSE(reporter.identified);
    EXPECT_EQ(FakePcsc::openCards(), 0);
}

INSTANTIATE_TEST_SUITE_P(
        Table, IdentificationFailures,
        testing::Values(
                IdentificationFailure{
                        "NoConnection",
                        [](ModelCard &) { FakePcsc::setConnectResult(static_cast<LONG>(SCARD_E_NO_SMARTCARD)); },
                        QString(), QStringLiteral("Chyba při načítání: kartu nelze připojit"),
                        "The operation requires a smart card, but no smart card is currently in the device."},
                IdentificationFailure{"NotATachographCard", [](ModelCard &c) { c.statusByInstruction[0xA4] = 0x6A82; },
                                      QStringLiteral("vložená karta nebyla rozpoznána"), QString(),
                                      "- failed, code 6A82"},
                IdentificationFailure{"SignatureRefused", [](ModelCard &c) { c.signatureLength = 64; },
                                      QStringLiteral("vložená karta nebyla rozpoznána"),
                                      QStringLiteral("Načítám soubor Identification..."),
                                      "- error: wrong signature length - 64"}),
        CaseName());

} // namespace
