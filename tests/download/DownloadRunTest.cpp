#include "card/TachoCard.h"
#include "download/CardDownload.h"
#include "download/DownloadFile.h"
#include "support/CaseName.h"
#include "support/CvCertificateBytes.h"
#include "support/ModelCard.h"
#include "support/QtPrinters.h"
#include "support/RecordingReporter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sys/resource.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CardFile
{
    std::uint16_t id;
    std::size_t size;
    bool Signed;
};

// The files of a run in their order, with Gen1 sizes.
const std::vector<CardFile> runFiles{
        {0x0002, 25, false},  {0x0005, 8, false},  {0xC100, 194, false},  {0xC108, 194, false},
        {0x0501, 10, true},   {0x0520, 143, true}, {0x050E, 4, true},     {0x0521, 53, true},
        {0x0502, 1152, true}, {0x0503, 768, true}, {0x0504, 13780, true}, {0x0505, 6202, true},
        {0x0506, 1121, true}, {0x0507, 19, true},  {0x0508, 46, true},    {0x0522, 280, true},
};

Bytes content(std::uint16_t id, std::size_t size, std::uint8_t salt)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(id + i * 13 + salt);
    if (id == 0x0520) {
        const std::string number = "CZ12345678901234", surname = "NOVAK", first = "JAN";
        std::fill(bytes.begin(), bytes.end(), 0);
        std::copy(number.begin(), number.end(), bytes.begin() + 1);
        std::copy(surname.begin(), surname.end(), bytes.begin() + 66);
        std::copy(first.begin(), first.end(), bytes.begin() + 102);
        bytes[140] = salt;
    }
    return bytes;
}

Bytes expectedDownload(const std::vector<CardFile> &files, std::uint8_t salt, std::uint16_t lastFile = 0)
{
    Bytes out;
    for (const CardFile &file : files) {
        const Bytes data = content(file.id, file.size, salt);
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(file.id >> 8), static_cast<std::uint8_t>(file.id), 0,
                    static_cast<std::uint8_t>(file.size >> 8), static_cast<std::uint8_t>(file.size)});
        out.insert(out.end(), data.begin(), data.end());
        if (file.Signed) {
            out.insert(out.end(),
                       {static_cast<std::uint8_t>(file.id >> 8), static_cast<std::uint8_t>(file.id), 1, 0x00, 0x80});
            out.insert(out.end(), 128, 0x5A);
        }
        if (file.id == lastFile)
            break;
    }
    return out;
}

Bytes readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return {bytes.begin(), bytes.end()};
}

const QString expectedName = QStringLiteral("C_20240131_0905_J_NOVAK_CZ12345678901234.ddd");

// The second-generation application: certificates, then the files of version 1, then those only
// version 2 cards have, with the sizes the card holds.
const std::vector<CardFile> certificatesG2{{0xC101, 205, false}, {0xC108, 204, false}, {0xC109, 204, false}};
const std::vector<CardFile> filesG2{
        {0x0501, 17, true},    {0x0520, 143, true},  {0x0521, 53, true},   {0x0502, 3168, true}, {0x0503, 1152, true},
        {0x0504, 13780, true}, {0x0505, 9602, true}, {0x0506, 2354, true}, {0x0507, 19, true},   {0x0508, 46, true},
        {0x0522, 562, true},   {0x0523, 2002, true}, {0x0524, 6050, true},
};
const std::vector<CardFile> version2FilesG2{{0x0525, 17, true},   {0x0526, 1025, true}, {0x0527, 1002, true},
                                            {0x0528, 1206, true}, {0x0529, 2410, true}, {0x0530, 402, true}};
// The OID of brainpoolP256r1 in a certificate: its key signs with 64 bytes.
const Bytes Brainpool256{0x2B, 0x24, 0x03, 0x03, 0x02, 0x08, 0x01, 0x01, 0x07};

// EF Card_Sign_Certificate holding a certificate on brainpoolP256r1, zero-filled to the file's end.
Bytes signCertificateOnBrainpool256(std::size_t fileSize)
{
    Bytes file = cvCertificateBytes(Brainpool256, 32);
    file.resize(std::max(file.size(), fileSize), 0x00);
    return file;
}

Bytes recordsG2(const std::vector<CardFile> &files, const std::map<std::uint16_t, Bytes> &card,
                std::size_t signatureLength)
{
    Bytes out;
    for (const CardFile &file : files) {
        const Bytes &data = card.at(file.id);
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(file.id >> 8), static_cast<std::uint8_t>(file.id), 2,
                    static_cast<std::uint8_t>(file.size >> 8), static_cast<std::uint8_t>(file.size)});
        out.insert(out.end(), data.begin(), data.end());
        if (file.Signed) {
            out.insert(out.end(),
                       {static_cast<std::uint8_t>(file.id >> 8), static_cast<std::uint8_t>(file.id), 3, 0x00,
                        static_cast<std::uint8_t>(signatureLength)});
            out.insert(out.end(), signatureLength, 0xA5);
        }
    }
    return out;
}

// Seconds since 1970 of the run's clock, as the card keeps its times.
Bytes timeRealOfRun()
{
    const auto seconds = static_cast<std::uint32_t>(QDateTime(QDate(2024, 1, 31), QTime(9, 5, 42)).toSecsSinceEpoch());
    return {static_cast<std::uint8_t>(seconds >> 24), static_cast<std::uint8_t>(seconds >> 16),
            static_cast<std::uint8_t>(seconds >> 8), static_cast<std::uint8_t>(seconds)};
}

class DownloadRun : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        FakePcsc::reset();
        fill(1);
        card.directories = true;
        FakePcsc::setCard([this](const Bytes &command) { return card.answer(command); });
        FakePcsc::setOnReset([this] { card.reset(); });
        TachoCard::setLogSink([this](const std::string &line) { reporter.AddLog(QString::fromLatin1(line)); });
        std::vector<std::string> readers;
        ASSERT_TRUE(TachoCard::ListReaders(readers));
        TachoCard::StartCardMonitor(readers.front(), nullptr);
        download.clock = [] {
            return QDateTime(QDate(2024, 1, 31), QTime(9, 5, 42));
        };
        download.IdentifyCard();
        ASSERT_TRUE(reporter.identified);
    }

    void TearDown() override
    {
        TachoCard::ReleaseCardContext();
        TachoCard::setLogSink(nullptr);
    }

    void fill(std::uint8_t salt)
    {
        for (const CardFile &file : runFiles)
            card.files[file.id] = content(file.id, file.size, salt);
    }

    QString path(const QString &name = expectedName) const { return folder.filePath(name); }

    QTemporaryDir folder;
    ModelCard card;
    RecordingReporter reporter;
    CardDownload download{reporter};
};

TEST_F(DownloadRun, WritesEveryFileAndSignatureInOrder)
{
    const DownloadRunResult result = download.runDownload(folder.path());
    ASSERT_EQ(result.outcome, DownloadRunResult::Outcome::Complete);
    EXPECT_EQ(result.fileName, expectedName);
    EXPECT_EQ(readFile(path()), expectedDownload(runFiles, 1));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{expectedName});

    EXPECT_EQ(reporter.log.first(), QStringLiteral("Card reset"));
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("----- Finished, saved to ") + expectedName
                                      + QStringLiteral(" -----")));
    // The model card's certificates are made up: the verification after the run names the first.
    EXPECT_TRUE(reporter.log.last().startsWith(QStringLiteral("----- Verification failed: CA Certificate: ")))
            << reporter.log.last().toStdString();
    // Sixteen files and the card marked as downloaded.
    EXPECT_EQ(reporter.log.count(QStringLiteral("- success")), 17);
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("- not present, code 6A82: a first-generation card")));
    // One progress step per file; the total follows once the card has said it has no second
    // application; hidden at the end.
    ASSERT_EQ(reporter.progress.size(), 19);
    EXPECT_EQ(reporter.progress.at(16).first, 16);
    EXPECT_EQ(reporter.progress.at(17), qMakePair(16, 16));
    EXPECT_EQ(reporter.progress.last(), qMakePair(0, 0));
    EXPECT_EQ(result.cardGeneration, 1);
    // LastCardDownload holds the time of the download.
    ASSERT_EQ(card.updates.size(), 1u);
    EXPECT_EQ(card.updates[0].application, 1);
    EXPECT_EQ(card.updates[0].fileId, 0x050E);
    EXPECT_EQ(card.updates[0].bytes, timeRealOfRun());
    EXPECT_EQ(reporter.status, QStringLiteral("Čtení karty dokončeno, podpisy neověřeny: CA Certificate"));
    EXPECT_EQ(result.verification.overall, Overall::Failed);
    EXPECT_EQ(reporter.cardInfo, QStringLiteral("vyjměte kartu"));
    EXPECT_FALSE(reporter.connected);
    EXPECT_FALSE(reporter.identified);
    EXPECT_EQ(FakePcsc::lastDisconnectDisposition(), static_cast<DWORD>(SCARD_UNPOWER_CARD));
}

// Without the reset a card that follows the card standard cannot find EF ICC and EF IC.
TEST_F(DownloadRun, FailedResetIsLoggedAndTheRunGoesOn)
{
    FakePcsc::setReconnectResult(static_cast<LONG>(SCARD_W_UNRESPONSIVE_CARD));
    ASSERT_EQ(download.runDownload(folder.path()).outcome, DownloadRunResult::Outcome::Complete);
    EXPECT_EQ(reporter.log.first(), QStringLiteral("The smart card is not responding to a reset."));
    EXPECT_EQ(reporter.log.count(QStringLiteral("- error: select file, code 6A82")), 2);
    const std::vector<CardFile> withoutMasterFiles(runFiles.begin() + 2, runFiles.end());
    EXPECT_EQ(readFile(path()), expectedDownload(withoutMasterFiles, 1));
}

struct EarlyEndCase
{
    const char *name;
    std::function<void(ModelCard &)> arrange;
    QString status;
};

class DownloadRunEarlyEnd : public DownloadRun, public testing::WithParamInterface<EarlyEndCase>
{
};

TEST_P(DownloadRunEarlyEnd, WritesNoFileAndKeepsTheCard)
{
    GetParam().arrange(card);
    const int disconnects = FakePcsc::countCalls("SCardDisconnect");
    EXPECT_EQ(download.runDownload(folder.path()).outcome, DownloadRunResult::Outcome::NoFile);
    EXPECT_EQ(reporter.status, GetParam().status);
    EXPECT_TRUE(QDir(folder.path()).isEmpty(QDir::Files | QDir::Hidden));
    EXPECT_FALSE(reporter.identified);
    EXPECT_EQ(reporter.progress.last(), qMakePair(0, 0));
    EXPECT_EQ(FakePcsc::countCalls("SCardDisconnect"), disconnects);
}

INSTANTIATE_TEST_SUITE_P(
        Table, DownloadRunEarlyEnd,
        testing::Values(EarlyEndCase{"ApplicationNotSelectable",
                                     [](ModelCard &c) { c.statusByInstruction[0xA4] = 0x6A82; },
                                     QStringLiteral("Chyba při načítání: není vložena tachografová karta")},
                        EarlyEndCase{"IdentificationUnreadable", [](ModelCard &c) { c.failSelectOf = 0x0520; },
                                     QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor")}),
        CaseName());

// What was read is kept, under a name that nobody takes for a complete download, and the run
// says which file failed first.
TEST_F(DownloadRun, CardPulledAfterIdentificationYieldsAnIncompleteFile)
{
    card.removeAfterSignatureOf = 0x0520;
    const DownloadRunResult result = download.runDownload(folder.path());
    ASSERT_EQ(result.outcome, DownloadRunResult::Outcome::Incomplete);
    const QString name = expectedName + QStringLiteral(".neuplne");
    EXPECT_EQ(result.fileName, name);
    EXPECT_EQ(result.firstFailedFile, QStringLiteral("Card Download"));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    EXPECT_EQ(readFile(path(name)), expectedDownload(runFiles, 1, 0x0520));
    EXPECT_EQ(reporter.log.count(QStringLiteral("- error: select file, code 0000")), 10);
    // An incomplete download does not mark the card as downloaded.
    EXPECT_TRUE(card.updates.empty());
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("----- Finished incomplete (Card Download failed), saved to ")
                                      + name + QStringLiteral(" -----")));
    EXPECT_TRUE(result.verification.performed);
    EXPECT_EQ(reporter.status, QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor Card Download"));
}

struct IncompleteCase
{
    const char *name;
    std::function<void(ModelCard &)> arrange;
    QString firstFailure;
};

class DownloadRunIncomplete : public DownloadRun, public testing::WithParamInterface<IncompleteCase>
{
};

// Any file of the application that comes without its data or its signature makes the download
// incomplete; the certificates count too, though they are not signed.
TEST_P(DownloadRunIncomplete, NamesTheFirstFileThatFailed)
{
    GetParam().arrange(card);
    const DownloadRunResult result = download.runDownload(folder.path());
    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::Incomplete);
    EXPECT_EQ(result.firstFailedFile, GetParam().firstFailure);
    EXPECT_TRUE(QFile::exists(path(expectedName + QStringLiteral(".neuplne"))));
    EXPECT_FALSE(QFile::exists(path()));
}

INSTANTIATE_TEST_SUITE_P(
        Table, DownloadRunIncomplete,
        testing::Values(IncompleteCase{"CertificateUnreadable", [](ModelCard &c) { c.failSelectOf = 0xC108; },
                                       QStringLiteral("CA Certificate")},
                        IncompleteCase{"SignatureRefusedAfterIdentification",
                                       [](ModelCard &c) { c.refuseSignatureOf = 0x0504; },
                                       QStringLiteral("Driver Activity Data")},
                        IncompleteCase{"LastFileUnreadable", [](ModelCard &c) { c.failSelectOf = 0x0522; },
                                       QStringLiteral("Specific Conditions")}),
        CaseName());

TEST_F(DownloadRun, SecondRunInTheSameMinuteKeepsTheFirst)
{
    ASSERT_EQ(download.runDownload(folder.path()).outcome, DownloadRunResult::Outcome::Complete);
    fill(2);
    TachoCard::ConnectCard();
    download.IdentifyCard();
    const DownloadRunResult second = download.runDownload(folder.path() + u'/');
    ASSERT_EQ(second.outcome, DownloadRunResult::Outcome::Complete);
    const QString secondName = QStringLiteral("C_20240131_0905_J_NOVAK_CZ12345678901234_2.ddd");
    EXPECT_EQ(second.fileName, secondName);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{expectedName, secondName}));
    EXPECT_EQ(readFile(path()), expectedDownload(runFiles, 1));
    EXPECT_EQ(readFile(path(secondName)), expectedDownload(runFiles, 2));
    EXPECT_TRUE(
            reporter.log.contains(QStringLiteral("----- Finished, saved to ") + secondName + QStringLiteral(" -----")));
}

struct TakenNameCase
{
    const char *name;
    QStringList taken; // files (or, ending in "/", folders) already there
    bool incomplete;
    QString expected;
};

class DownloadRunTakenNames : public DownloadRun, public testing::WithParamInterface<TakenNameCase>
{
};

// Whatever holds a name keeps it, byte for byte; the download takes the next name.
TEST_P(DownloadRunTakenNames, TakeTheNextFreeName)
{
    const TakenNameCase &c = GetParam();
    for (const QString &name : c.taken) {
        if (name.endsWith(u'/')) {
            ASSERT_TRUE(QDir(folder.path()).mkdir(name.chopped(1)));
            continue;
        }
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(name.toUtf8());
    }
    if (c.incomplete)
        card.failSelectOf = 0x0522;
    const DownloadRunResult result = download.runDownload(folder.path());
    EXPECT_EQ(result.outcome,
              c.incomplete ? DownloadRunResult::Outcome::Incomplete : DownloadRunResult::Outcome::Complete);
    EXPECT_EQ(result.fileName, c.expected);
    EXPECT_EQ(readFile(path(c.expected)), expectedDownload(runFiles, 1, c.incomplete ? 0x0508 : 0));
    for (const QString &name : c.taken) {
        if (!name.endsWith(u'/')) {
            const QByteArray before = name.toUtf8();
            EXPECT_EQ(readFile(path(name)), Bytes(before.begin(), before.end())) << name.toStdString();
        }
    }
    QStringList names = c.taken;
    names.replaceInStrings(QStringLiteral("/"), QString());
    names << c.expected;
    names.sort();
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name), names);
}

const QString Base = QStringLiteral("C_20240131_0905_J_NOVAK_CZ12345678901234");
INSTANTIATE_TEST_SUITE_P(
        Table, DownloadRunTakenNames,
        testing::Values(TakenNameCase{"NameTaken", {Base + ".ddd"}, false, Base + "_2.ddd"},
                        TakenNameCase{"NextNameTakenToo", {Base + ".ddd", Base + "_2.ddd"}, false, Base + "_3.ddd"},
                        // Only a name that is taken is passed over.
                        TakenNameCase{"GapIsFilled", {Base + ".ddd", Base + "_3.ddd"}, false, Base + "_2.ddd"},
                        TakenNameCase{"NameTakenByAFolder", {Base + ".ddd/"}, false, Base + "_2.ddd"},
                        TakenNameCase{"IncompleteNameTaken",
                                      {Base + ".ddd.neuplne", Base + ".ddd"},
                                      true,
                                      Base + "_2.ddd.neuplne"}),
        CaseName());

// Second-generation cards: the first application as before, then the second, records tagged 02
// and 03, signatures as long as the card's curve gives, and the card marked in both applications.
struct SecondGenerationCase
{
    const char *name;
    int version;
    bool certificateNamesTheCurve; // else the card tells the length with 6Cxx
    std::size_t signatureLength;
};

class DownloadRunSecondGeneration : public DownloadRun, public testing::WithParamInterface<SecondGenerationCase>
{
protected:
    void fillSecondGeneration(int version)
    {
        std::vector<CardFile> files = certificatesG2;
        files.insert(files.end(), filesG2.begin(), filesG2.end());
        if (version == 2)
            files.insert(files.end(), version2FilesG2.begin(), version2FilesG2.end());
        for (const CardFile &file : files)
            card.secondGenerationFiles[file.id] = content(file.id, file.size, 7);
        card.secondGenerationFiles[0x0501][1] = 0x01;
        card.secondGenerationFiles[0x0501][2] = version == 2 ? 0x01 : 0x00;
        card.secondGenerationFiles[0x050E] = Bytes(4, 0);
        card.secondGenerationFiles[0x0540] = Bytes(3072, 0);
    }
};

TEST_P(DownloadRunSecondGeneration, DownloadsBothApplications)
{
    const SecondGenerationCase &c = GetParam();
    fillSecondGeneration(c.version);
    if (c.certificateNamesTheCurve)
        card.secondGenerationFiles[0xC101] = signCertificateOnBrainpool256(205);
    card.secondGenerationSignatureLength = c.signatureLength;

    const std::map<std::uint16_t, Bytes> before = card.secondGenerationFiles;
    const DownloadRunResult result = download.runDownload(folder.path());
    ASSERT_EQ(result.outcome, DownloadRunResult::Outcome::Complete) << reporter.log.join(u'\n').toStdString();
    EXPECT_EQ(result.cardGeneration, 2);
    EXPECT_EQ(result.cardVersion, c.version);

    std::vector<CardFile> secondPart = certificatesG2;
    secondPart.insert(secondPart.end(), filesG2.begin(), filesG2.end());
    if (c.version == 2)
        secondPart.insert(secondPart.end(), version2FilesG2.begin(), version2FilesG2.end());
    Bytes expected = expectedDownload(runFiles, 1);
    const Bytes second = recordsG2(secondPart, before, c.signatureLength);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(readFile(path()), expected);

    // EF Card_Download and EF VU_Configuration are never read. A certificate that names its
    // curve gives the signature's length before the card is asked.
    for (const Bytes &command : FakePcsc::transmittedCommands()) {
        EXPECT_NE(command, (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x05, 0x40}));
        if (c.certificateNamesTheCurve) {
            EXPECT_NE(command, (Bytes{0x00, 0x2A, 0x9E, 0x9A, 0x00}));
        }
    }
    ASSERT_EQ(card.updates.size(), 2u);
    EXPECT_EQ(card.updates[0].application, 2);
    EXPECT_EQ(card.updates[1].application, 1);
    EXPECT_EQ(card.updates[0].bytes, timeRealOfRun());
    EXPECT_EQ(card.secondGenerationFiles[0x050E], timeRealOfRun());
    EXPECT_EQ(card.files[0x050E], timeRealOfRun());
    EXPECT_EQ(reporter.status, QStringLiteral("Čtení karty dokončeno, podpisy neověřeny: CA Certificate"));
    const int files = 16 + 16 + (c.version == 2 ? 6 : 0);
    EXPECT_EQ(reporter.progress.at(reporter.progress.size() - 2), qMakePair(files, files));
}

INSTANTIATE_TEST_SUITE_P(Table, DownloadRunSecondGeneration,
                         testing::Values(SecondGenerationCase{"Version1", 1, true, 64},
                                         SecondGenerationCase{"Version2", 2, true, 64},
                                         SecondGenerationCase{"Version2LargerCurveTold", 2, false, 96}),
                         CaseName());

// A structure the card model does not know is no version: the run asks for every file it knows
// and records the version as unknown rather than as one it is not.
TEST_F(DownloadRunSecondGeneration, LaterStructureIsReadWholeWithTheVersionUnknown)
{
    fillSecondGeneration(2);
    card.secondGenerationFiles[0x0501][2] = 0x02;
    const DownloadRunResult result = download.runDownload(folder.path());
    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::Complete);
    EXPECT_EQ(result.cardGeneration, 2);
    EXPECT_EQ(result.cardVersion, 0);
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("----- Read file: Load Type Entries G2 -----")));
}

TEST_F(DownloadRunSecondGeneration, FileOfTheSecondApplicationMissingMakesItIncomplete)
{
    fillSecondGeneration(2);
    card.secondGenerationFiles.erase(0x0528);
    const DownloadRunResult result = download.runDownload(folder.path());
    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::Incomplete);
    EXPECT_EQ(result.firstFailedFile, QStringLiteral("Border Crossings G2"));
    EXPECT_TRUE(card.updates.empty());
}

TEST_F(DownloadRunSecondGeneration, RefusedMarkIsNamedButTheDownloadIsComplete)
{
    fillSecondGeneration(1);
    card.statusByInstruction[0xD6] = 0x6982;
    const DownloadRunResult result = download.runDownload(folder.path());
    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::Complete);
    EXPECT_FALSE(result.lastDownloadMarked);
    EXPECT_TRUE(reporter.log.contains(QStringLiteral("- error: update file, code 6982")));
    EXPECT_EQ(reporter.status,
              QStringLiteral("Čtení karty dokončeno, datum vyčtení se na kartu nepodařilo zapsat, "
                             "podpisy neověřeny: CA Certificate"));
    EXPECT_TRUE(QFile::exists(path()));
}

TEST_F(DownloadRun, MissingFolderIsAnInvalidFilename)
{
    const DownloadRunResult result = download.runDownload(folder.filePath(QStringLiteral("gone")));
    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::WriteFailed);
    EXPECT_EQ(result.errorText, QStringLiteral("Invalid filename"));
    EXPECT_NE(reporter.log.last(),
              QStringLiteral("----- Finished, saved to ") + expectedName + QStringLiteral(" -----"));
}

// A file size limit stands for a full disk: the write stops short.
TEST_F(DownloadRun, FullDiskKeepsTheEarlierFileAndLeavesNoPartialOne)
{
    {
        QFile earlier(path());
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier download");
    }
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const DownloadRunResult result = download.runDownload(folder.path());
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result.outcome, DownloadRunResult::Outcome::WriteFailed);
    EXPECT_EQ(result.errorText, QStringLiteral("Disk full"));
    const QByteArray earlier("earlier download");
    EXPECT_EQ(readFile(path()), Bytes(earlier.begin(), earlier.end()));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{expectedName});
}

struct ErrorCodeCase
{
    const char *name;
    int error;
    int code;
    QString text;
};

class FileErrors : public testing::TestWithParam<ErrorCodeCase>
{
};

TEST_P(FileErrors, MapToTheCodesUsersKnow)
{
    const FileWriteResult result = fileErrorFor(GetParam().error);
    EXPECT_EQ(result.code, GetParam().code);
    EXPECT_EQ(result.text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, FileErrors,
                         testing::Values(ErrorCodeCase{"NoFolder", ENOENT, 3, "Invalid filename"},
                                         ErrorCodeCase{"NotAFolder", ENOTDIR, 3, "Invalid filename"},
                                         ErrorCodeCase{"Denied", EACCES, 5, "File access denied"},
                                         ErrorCodeCase{"ReadOnlyFileSystem", EROFS, 5, "File access denied"},
                                         ErrorCodeCase{"TooManyFiles", EMFILE, 4, "Too many open files"},
                                         ErrorCodeCase{"NoSpace", ENOSPC, 101, "Disk full"},
                                         ErrorCodeCase{"Quota", EDQUOT, 101, "Disk full"},
                                         // An input/output error is not a denied access.
                                         ErrorCodeCase{"InputOutput", EIO, 5, "I/O error 5"},
                                         ErrorCodeCase{"IsAFolder", EISDIR, 21, "I/O error 21"}),
                         CaseName());

TEST(DownloadFilePath, AddsASeparatorOnlyWhenMissing)
{
    EXPECT_EQ(downloadFilePath(QStringLiteral("/data/ddd"), QStringLiteral("C_x.ddd")),
              QStringLiteral("/data/ddd/C_x.ddd"));
    EXPECT_EQ(downloadFilePath(QStringLiteral("/data/ddd/"), QStringLiteral("C_x.ddd")),
              QStringLiteral("/data/ddd/C_x.ddd"));
    EXPECT_EQ(downloadFilePath(QStringLiteral("/"), QStringLiteral("C_x.ddd")), QStringLiteral("/C_x.ddd"));
}

} // namespace
