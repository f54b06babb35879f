// The download run of the real window against the simulated card on the real stack.
#include "WindowE2e.h"
#include "app/RunProgressBar.h"
#include "app/SessionController.h"
#include "history/FileFingerprint.h"
#include "history/HistoryStore.h"
#include "support/CaseName.h"
#include "support/ModalAnswerer.h"
#include "support/SecondGenerationCheck.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimer>

#include <QDateTime>
#include <QDir>

#include <optional>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes SelectApplication{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};

Bytes selectFile(std::uint16_t id)
{
    return {0x00, 0xA4, 0x02, 0x0C, 0x02, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
}

// How many commands the card had answered before the n-th (from 1) of this command.
std::size_t commandsBefore(const std::vector<Bytes> &commands, const Bytes &command, int occurrence)
{
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (commands[i] == command && --occurrence == 0)
            return i;
    }
    return commands.size();
}

QString identificationField(const Bytes &identification, std::size_t offset, std::size_t size)
{
    std::string text;
    for (std::size_t i = offset; i < offset + size && identification.at(i) != 0; ++i)
        text.push_back(static_cast<char>(identification[i]));
    return QStringDecoder("windows-1250").decode(QByteArray::fromStdString(text));
}

// The name the file must have, worked out from the EF Identification the card holds.
QString expectedFileNamePattern(const Bytes &download)
{
    const auto records = DddFile::parse(download).records;
    const Bytes identification = DddFile::find(records, 0x0520, DddRecordType::Data).value_or(Bytes(143));
    const QString part = identificationField(identification, 102, 1) + u'_'
            + identificationField(identification, 66, 35) + u'_' + identificationField(identification, 1, 16);
    return QStringLiteral("^C_\\d{8}_\\d{4}_") + QRegularExpression::escape(part) + QStringLiteral("\\.ddd$");
}

// EF Card_Download as the card holds it after the run: the time of the run, as TimeReal.
::testing::AssertionResult markedDownloaded(const std::optional<Bytes> &cardDownload, qint64 from, qint64 to)
{
    if (!cardDownload || cardDownload->size() != 4)
        return ::testing::AssertionFailure() << "EF Card_Download was not written";
    const qint64 written =
            qint64{(*cardDownload)[0]} << 24 | (*cardDownload)[1] << 16 | (*cardDownload)[2] << 8 | (*cardDownload)[3];
    if (written < from || written > to)
        return ::testing::AssertionFailure()
                << "EF Card_Download holds " << written << ", the run was " << from << " to " << to;
    return ::testing::AssertionSuccess();
}

class DownloadRunE2e : public WindowE2e
{
protected:
    // Presses "Vyčíst kartu" and answers the upload question with No.
    void runDownload()
    {
        runStarted = QDateTime::currentSecsSinceEpoch();
        questions = WindowE2e::runDownload(QMessageBox::No);
        runEnded = QDateTime::currentSecsSinceEpoch();
    }

    QStringList questions;
    qint64 runStarted = 0;
    qint64 runEnded = 0;
};

struct ShapeCase
{
    const char *name;
    std::vector<std::string> arguments;
};

class DownloadRunShapes : public DownloadRunE2e, public testing::WithParamInterface<ShapeCase>
{
};

TEST_P(DownloadRunShapes, FileHoldsEveryFileAndSignatureOfTheCard)
{
    VirtualCard &card = startCard(GetParam().arguments);
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_FALSE(form->CardProgressBar->isVisible());
    QList<int> progress;
    const auto watch = QObject::connect(form->CardProgressBar, &RunProgressBar::valueChanged,
                                        [&progress](int value) { progress.append(value); });
    runDownload();
    QObject::disconnect(watch);
    // One step per file of the run.
    EXPECT_EQ(progress, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(form->CardProgressBar->maximum(), 16);
    EXPECT_FALSE(form->CardProgressBar->isVisible());

    ASSERT_EQ(downloadedFiles().size(), 1) << logText().toStdString();
    const QString name = downloadedFiles().front();
    const Bytes written = readDownload(name);
    EXPECT_EQ(written, card.expectedDownload());
    EXPECT_TRUE(isWellFormedDownload(written, card.publicKeyPem()));
    EXPECT_TRUE(QRegularExpression(expectedFileNamePattern(card.expectedDownload())).match(name).hasMatch())
            << name.toStdString();

    EXPECT_TRUE(logText().startsWith(QStringLiteral("Card reset\n")));
    EXPECT_TRUE(logText().contains(QStringLiteral("----- Finished, saved to ") + name + QStringLiteral(" -----\n")));
    EXPECT_TRUE(logText().endsWith(
            QStringLiteral("----- Signatures verified against a TEST root, not the European root -----")));
    EXPECT_EQ(statusText(), CompleteAndVerified);
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("vyjměte kartu"));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_EQ(questions, QStringList{QStringLiteral("Odeslat soubor na server?")});
    EXPECT_TRUE(markedDownloaded(card.updatedFile(0x050E, false), runStarted, runEnded));
    EXPECT_TRUE(logText().contains(QStringLiteral("- not present, code 6A82: a first-generation card")));
}

INSTANTIATE_TEST_SUITE_P(
        Table, DownloadRunShapes,
        testing::Values(
                ShapeCase{"Default", {"--seed", "11"}}, ShapeCase{"SmallestSizes", {"--seed", "12", "--sizes", "min"}},
                ShapeCase{"LargestSizes", {"--seed", "13", "--sizes", "max"}},
                ShapeCase{"MultiplesOf256", {"--seed", "14", "--sizes", "multiple256"}},
                ShapeCase{"CzechNames", {"--surname", "ŠŤASTNÝ", "--first-names", "ŘEHOŘ", "--pad-zero"}},
                ShapeCase{"NamesFillTheirFields", {"--seed", "15", "--full-names"}},
                ShapeCase{"CardAnswering6700", {"--seed", "16", "--wrong-length-6700", "--sizes", "multiple256"}},
                ShapeCase{"CardAnsweringEmptyAtTheEnd", {"--seed", "17", "--eof-9000", "--sizes", "multiple256"}}),
        CaseName());

struct SecondGenerationCase
{
    const char *name;
    std::vector<std::string> arguments;
    int files; // of both applications
};

class SecondGenerationRuns : public DownloadRunE2e, public testing::WithParamInterface<SecondGenerationCase>
{
};

TEST_P(SecondGenerationRuns, FileHoldsBothApplicationsVerifiedAndTheCardIsMarkedInBoth)
{
    VirtualCard &card = startCard(GetParam().arguments);
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload();

    ASSERT_EQ(downloadedFiles().size(), 1) << logText().toStdString();
    const Bytes written = readDownload(downloadedFiles().front());
    EXPECT_EQ(written, card.expectedDownload());
    EXPECT_TRUE(isWellFormedDownload(written, card.publicKeyPem()));
    const DddCheck chain =
            SecondGenerationCheck::verify(DddFile::parse(written).records, VirtualCard::testRootCertificate());
    EXPECT_TRUE(chain.ok) << chain.error;
    EXPECT_EQ(form->CardProgressBar->maximum(), GetParam().files);
    EXPECT_EQ(logText().count(QStringLiteral("----- Read file: ")), GetParam().files);
    EXPECT_TRUE(logText().contains(QStringLiteral("----- Select TACHO_G2 DF -----")));
    EXPECT_TRUE(logText().contains(QStringLiteral("----- Update file: Card Download G2 -----")));
    EXPECT_EQ(statusText(), CompleteAndVerified);
    EXPECT_EQ(questions, QStringList{QStringLiteral("Odeslat soubor na server?")});
    EXPECT_TRUE(markedDownloaded(card.updatedFile(0x050E, false), runStarted, runEnded));
    EXPECT_TRUE(markedDownloaded(card.updatedFile(0x050E, true), runStarted, runEnded));
}

INSTANTIATE_TEST_SUITE_P(
        Table, SecondGenerationRuns,
        testing::Values(
                SecondGenerationCase{"Version1", {"--seed", "31", "--generation", "2", "--g2-version", "1"}, 32},
                SecondGenerationCase{
                        "Version2SmallestSizes", {"--seed", "32", "--generation", "2", "--sizes", "min"}, 38},
                SecondGenerationCase{"Version2LargestSizesLargerCurveThroughTheLink",
                                     {"--seed", "33", "--generation", "2", "--sizes", "max", "--g2-curve",
                                      "brainpoolP384r1", "--g2-chain", "2"},
                                     38},
                SecondGenerationCase{"Version2MultiplesOf256ExactSignatureLength",
                                     {"--seed", "34", "--generation", "2", "--sizes", "multiple256",
                                      "--exact-signature-le", "--g2-curve", "brainpoolP512r1"},
                                     38},
                SecondGenerationCase{"Version1Answering6700",
                                     {"--seed", "35", "--generation", "2", "--g2-version", "1", "--wrong-length-6700",
                                      "--sizes", "multiple256"},
                                     32}),
        CaseName());

TEST_F(DownloadRunE2e, RefusedMarkIsNamedAndTheDownloadStaysComplete)
{
    VirtualCard &card = startCard({"--seed", "36", "--generation", "2", "--refuse-update"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload();
    ASSERT_EQ(downloadedFiles().size(), 1) << logText().toStdString();
    EXPECT_TRUE(downloadedFiles().front().endsWith(QStringLiteral(".ddd")));
    EXPECT_EQ(readDownload(downloadedFiles().front()), card.expectedDownload());
    EXPECT_EQ(statusText(),
              QStringLiteral("Čtení karty dokončeno, datum vyčtení se na kartu nepodařilo zapsat, "
                             "podpisy ověřeny jen testovacími klíči"));
    EXPECT_EQ(questions, QStringList{QStringLiteral("Odeslat soubor na server?")});
    EXPECT_FALSE(card.updatedFile(0x050E, false));
    EXPECT_FALSE(card.updatedFile(0x050E, true));
}

TEST_F(DownloadRunE2e, SignatureThatDoesNotVerifyIsNamedAndTheUploadQuestionWarns)
{
    startCard({"--seed", "37", "--generation", "2", "--corrupt-signature", "0505"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    ModalAnswerer user(QMessageBox::No);
    QMessageBox::StandardButton defaultAnswer = QMessageBox::NoButton;
    user.setBeforeAnswer(
            [&defaultAnswer](QMessageBox *box) { defaultAnswer = box->standardButton(box->defaultButton()); });
    form->CardReadButton->click();
    ASSERT_TRUE(finishWork());

    // The file is kept: it is what the card gave, and the office decides what to do with it.
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_TRUE(downloadedFiles().front().endsWith(QStringLiteral(".ddd")));
    EXPECT_EQ(statusText(), QStringLiteral("Čtení karty dokončeno, podpisy neověřeny: Vehicles Used"));
    EXPECT_TRUE(logText().contains(QStringLiteral("- Driver Activity Data: signature verified")));
    EXPECT_TRUE(logText().contains(
            QStringLiteral("----- Verification failed: Vehicles Used: signature does not verify -----")))
            << logText().toStdString();
    EXPECT_EQ(
            user.texts(),
            QStringList{QStringLiteral("Podpisy souboru nejsou ověřeny (Vehicles Used).\nOdeslat soubor na server?")});
    EXPECT_EQ(defaultAnswer, QMessageBox::No);
}

// Each run pulls the card at a chosen point: the commands of a complete run on the same card tell
// where that point is.
class DownloadRunPulled : public DownloadRunE2e
{
protected:
    std::vector<Bytes> completeRunCommands()
    {
        VirtualCard &card = startCard({"--seed", "21"});
        openWindow();
        EXPECT_TRUE(waitForIdentification());
        runDownload();
        const auto commands = card.commands();
        EXPECT_TRUE(card.quit());
        EXPECT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
        QDir(downloadFolder.path()).removeRecursively();
        QDir().mkpath(downloadFolder.path());
        return commands;
    }

    void runWithCardPulledAfter(std::size_t commands)
    {
        startCard({"--seed", "21", "--remove-after", std::to_string(commands)});
        ASSERT_TRUE(waitForIdentification());
        runDownload();
    }

    // The run kept what it read, in a well-formed file under the name of an incomplete download,
    // said which file failed first, and asked nothing.
    // shown: the run's status as the status bar showed it; the status bar's text by default.
    void expectIncomplete(const QString &firstFailure, std::optional<QString> shown = std::nullopt)
    {
        const QString status = QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor ");
        const QString runStatus = shown.value_or(statusText());
        EXPECT_TRUE(runStatus.startsWith(status)) << runStatus.toStdString();
        if (!firstFailure.isEmpty()) {
            EXPECT_EQ(runStatus, status + firstFailure);
        }
        EXPECT_TRUE(questions.isEmpty());
        ASSERT_EQ(downloadedFiles().size(), 1);
        const QString name = downloadedFiles().front();
        EXPECT_TRUE(name.startsWith(QStringLiteral("C_")) && name.endsWith(QStringLiteral(".ddd.neuplne")))
                << name.toStdString();
        const Bytes written = readDownload(name);
        EXPECT_TRUE(isWellFormedDownload(written));
        EXPECT_TRUE(DddFile::find(DddFile::parse(written).records, 0x0520, DddRecordType::Signature).has_value());
        EXPECT_TRUE(logText().contains(QStringLiteral("----- Finished incomplete (")));
        // An incomplete download never passes for the card's download.
        EXPECT_FALSE(cards.back()->updatedFile(0x050E, false));
        EXPECT_FALSE(cards.back()->updatedFile(0x050E, true));
    }
};

// Where the card is pulled, as the index of the command after which it goes.
struct PulledCase
{
    const char *name;
    std::function<std::size_t(const std::vector<Bytes> &)> pullAfter;
    QString firstFailure;
};

class DownloadRunPulledAt : public DownloadRunPulled, public testing::WithParamInterface<PulledCase>
{
};

TEST_P(DownloadRunPulledAt, GivesAnIncompleteDownload)
{
    const auto commands = completeRunCommands();
    runWithCardPulledAfter(GetParam().pullAfter(commands));
    expectIncomplete(GetParam().firstFailure);
}

const Bytes ComputeSignature{0x00, 0x2A, 0x9E, 0x9A, 0x80};

INSTANTIATE_TEST_SUITE_P(Table, DownloadRunPulledAt,
                         testing::Values(PulledCase{"AfterIdentification",
                                                    [](const std::vector<Bytes> &commands) {
                                                        return commandsBefore(commands, selectFile(0x050E), 1);
                                                    },
                                                    QStringLiteral("Card Download")},
                                         PulledCase{"DuringDriverActivityData",
                                                    [](const std::vector<Bytes> &commands) {
                                                        // The selection, the hash and two pieces.
                                                        return commandsBefore(commands, selectFile(0x0504), 1) + 4;
                                                    },
                                                    QStringLiteral("Driver Activity Data")},
                                         PulledCase{"BetweenTheHashAndTheSignature",
                                                    [](const std::vector<Bytes> &commands) {
                                                        const std::size_t select =
                                                                commandsBefore(commands, selectFile(0x0504), 1);
                                                        const auto signature = std::find(
                                                                commands.begin() + static_cast<std::ptrdiff_t>(select),
                                                                commands.end(), ComputeSignature);
                                                        return static_cast<std::size_t>(signature - commands.begin());
                                                    },
                                                    QStringLiteral("Driver Activity Data")}),
                         CaseName());

TEST_F(DownloadRunPulled, ServiceStoppedMidRunGivesAnIncompleteDownload)
{
    startCard({"--seed", "22", "--delay-ms", "2"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    QStringList statuses;
    QObject::connect(form->findChild<SessionController *>(), &SessionController::statusChanged,
                     [&statuses](const QString &text) { statuses << text; });
    whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [this] { pcscd->stop(); });
    runDownload();
    // The monitor notices the outage during the run or, on a busy machine, after its end; then
    // the outage's message covers the run's status until the service is back. The run's own
    // status was shown either way.
    const QString lost = QStringLiteral("Služba čipových karet není dostupná");
    ASSERT_TRUE(waitUntil([&statuses, &lost] { return statuses.contains(lost); }));
    QString runStatus;
    for (const QString &status : statuses) {
        if (status.startsWith(QStringLiteral("Čtení karty")))
            runStatus = status;
    }
    EXPECT_TRUE(statusText() == runStatus || statusText() == lost) << statusText().toStdString();
    expectIncomplete({}, runStatus);
    ASSERT_TRUE(pcscd->start()) << pcscd->error();
    EXPECT_TRUE(waitForIdentification());
}

TEST_F(DownloadRunPulled, BeforeTheApplicationOrIdentificationNoFileIsWritten)
{
    const auto commands = completeRunCommands();
    runWithCardPulledAfter(commandsBefore(commands, SelectApplication, 2));
    EXPECT_TRUE(downloadedFiles().isEmpty());
    EXPECT_EQ(statusText(), QStringLiteral("Chyba při načítání: není vložena tachografová karta"));
    EXPECT_TRUE(questions.isEmpty());

    ASSERT_TRUE(cards.back()->quit());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    runWithCardPulledAfter(commandsBefore(commands, selectFile(0x0520), 2));
    EXPECT_TRUE(downloadedFiles().isEmpty());
    EXPECT_EQ(statusText(), QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"));
}

TEST_F(DownloadRunE2e, SecondRunInTheSameMinuteKeepsTheFirstFile)
{
    VirtualCard &first = startCard({"--seed", "31"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    runDownload();
    ASSERT_TRUE(first.quit());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));

    // The same holder and card number, other contents.
    VirtualCard &second = startCard({"--seed", "32", "--surname", "X", "--first-names", "Y", "--card-number", "CZ1"});
    ASSERT_TRUE(waitForIdentification());
    form->setDownloadClock([] { return QDateTime(QDate(2024, 1, 31), QTime(9, 5)); });
    runDownload();
    ASSERT_TRUE(second.quit());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    VirtualCard &third = startCard({"--seed", "33", "--surname", "X", "--first-names", "Y", "--card-number", "CZ1"});
    ASSERT_TRUE(waitForIdentification());
    runDownload();

    const QStringList files = downloadedFiles();
    ASSERT_EQ(files.size(), 3) << files.join(u',').toStdString();
    const QString fixedName =
            QStringLiteral("C_20240131_0905_Y_X") + QString(34, u' ') + QStringLiteral("_CZ1") + QString(13, u' ');
    ASSERT_TRUE(files.contains(fixedName + QStringLiteral(".ddd")));
    ASSERT_TRUE(files.contains(fixedName + QStringLiteral("_2.ddd")));
    EXPECT_EQ(readDownload(fixedName + QStringLiteral(".ddd")), second.expectedDownload());
    EXPECT_EQ(readDownload(fixedName + QStringLiteral("_2.ddd")), third.expectedDownload());
    EXPECT_TRUE(logText().contains(QStringLiteral("----- Finished, saved to ") + fixedName
                                   + QStringLiteral("_2.ddd -----")));

    // The history keeps each download with its own file, which still is what was written.
    HistoryStore store(HistoryStore::defaultPath(), {.access = HistoryStore::Access::ReadOnly});
    const std::vector<DownloadRecord> rows = store.downloads().value;
    for (const QString &name : {fixedName + QStringLiteral(".ddd"), fixedName + QStringLiteral("_2.ddd")}) {
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&](const DownloadRecord &record) { return record.fileName == name; });
        ASSERT_NE(row, rows.end()) << name.toStdString();
        const std::vector<std::uint8_t> bytes = readDownload(name);
        EXPECT_EQ(FileFingerprint({row->size, row->sha256}),
                  fingerprintOf(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size()))));
    }
}

TEST_F(DownloadRunE2e, MissingFolderShowsInvalidFilenameAndOffersNoUpload)
{
    startCard({"--seed", "41"});
    openWindow();
    form->SettingsPathEdit->setText(downloadFolder.filePath(QStringLiteral("gone")));
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(WindowE2e::runDownload(QMessageBox::Ok), QStringList{QStringLiteral("Invalid filename.")})
            << logText().toStdString();
    EXPECT_FALSE(logText().contains(QStringLiteral("----- Finished")));
    EXPECT_TRUE(downloadedFiles().isEmpty());
}

// Nothing that could disturb a run can be clicked while it runs, and the window goes on painting
// and reacting.
TEST_F(DownloadRunE2e, SettingsCannotBeChangedDuringTheRun)
{
    VirtualCard &card = startCard({"--seed", "51", "--delay-ms", "4"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    bool checked = false;
    whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [&] {
        checked = true;
        EXPECT_EQ(form->state(), TMainForm::FormState::Running);
        EXPECT_FALSE(form->ReaderButton->isEnabled());
        EXPECT_FALSE(form->PathButton->isEnabled());
        EXPECT_FALSE(form->CardReadButton->isEnabled());
        form->ReaderButton->click();
        form->PathButton->click();
    });
    runDownload();
    EXPECT_TRUE(checked);
    EXPECT_EQ(form->ReaderButton->text(), QStringLiteral("Změnit"));
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_EQ(readDownload(downloadedFiles().front()), card.expectedDownload());
    EXPECT_TRUE(form->ReaderButton->isEnabled());
    EXPECT_TRUE(form->PathButton->isEnabled());
}

// The operator pulls the card, as "vyjměte kartu" asks, and puts in the next one while the
// upload question is still open: the removal shows at once, the new card waits for the run's end.
TEST_F(DownloadRunE2e, NextCardInsertedDuringTheRunIsIdentifiedAfterIt)
{
    VirtualCard &first = startCard({"--seed", "61"});
    VirtualCard &next =
            startCard({"--seed", "62", "--removed", "--surname", "NEXT", "--first-names", "CARD", "--pad-zero"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());

    QString labelWhileOpen;
    ModalAnswerer user(QMessageBox::No);
    user.setBeforeAnswer([&](QMessageBox *) {
        swapCards(first, next);
        labelWhileOpen = form->CardInfoLabel->text();
        EXPECT_TRUE(next.commands().empty());
    });
    form->CardReadButton->click();
    ASSERT_TRUE(finishWork());

    EXPECT_EQ(labelWhileOpen, QStringLiteral("není vložena žádná karta"));
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_EQ(readDownload(downloadedFiles().front()), first.expectedDownload());
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("CARD NEXT"));
}

} // namespace
