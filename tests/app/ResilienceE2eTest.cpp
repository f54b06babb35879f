// What the window survives on the real stack: a card pulled at any point of a run, cards swapped
// quickly, the smart-card service going away and coming back, and folders that cannot take the
// file.
#include "WindowE2e.h"
#include "support/ModalAnswerer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes SelectApplication{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xFF, 0x54, 0x41, 0x43, 0x48, 0x4F};

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class ResilienceE2e : public WindowE2e
{
protected:
    // The card tab after a run ends in one of the states a user can make sense of.
    ::testing::AssertionResult sensibleAfterRun()
    {
        const QString label = form->CardInfoLabel->text();
        if (form->CardReadButton->isEnabled())
            return ::testing::AssertionFailure() << "the read button is enabled after the run";
        if (label != QStringLiteral("vyjměte kartu") && label != QStringLiteral("není vložena žádná karta")
            && !form->cardPresent())
            return ::testing::AssertionFailure() << "label: " << label.toStdString();
        // A card pulled while its download date is written leaves a complete download that says so.
        const QStringList complete{CompleteAndVerified,
                                   QStringLiteral("Čtení karty dokončeno, datum vyčtení se na kartu nepodařilo zapsat, "
                                                  "podpisy ověřeny jen testovacími klíči")};
        const QStringList failed{QStringLiteral("Chyba při načítání: není vložena tachografová karta"),
                                 QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor")};
        const QString incomplete = QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor ");
        const bool isComplete = complete.contains(statusText());
        if (!isComplete && !failed.contains(statusText()) && !statusText().startsWith(incomplete))
            return ::testing::AssertionFailure() << "status: " << statusText().toStdString();
        // Only a complete download carries the name of one.
        for (const QString &name : downloadedFiles()) {
            if (name.endsWith(QStringLiteral(".ddd")) != isComplete)
                return ::testing::AssertionFailure() << statusText().toStdString() << ": " << name.toStdString();
        }
        return ::testing::AssertionSuccess();
    }

    void removeDownloads()
    {
        for (const QString &name : downloadedFiles())
            QFile::remove(QDir(downloadFolder.path()).filePath(name));
    }
};

// The card is pulled after each command of a run in turn: the run never hangs or crashes, the
// window ends in a sensible state, and a file that was written is well-formed.
TEST_F(ResilienceE2e, CardPulledAfterAnyCommandOfTheRun)
{
    const std::vector<std::string> card{"--seed", "91", "--sizes", "min"};
    VirtualCard &reference = startCard(card);
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    const std::size_t identification = reference.commands().size();
    runDownload();
    const std::size_t runCommands = reference.commands().size() - identification;
    ASSERT_GT(runCommands, 50u);
    ASSERT_TRUE(reference.quit());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    removeDownloads();

    for (std::size_t k = 0; k < runCommands; ++k) {
        SCOPED_TRACE("card pulled after command " + std::to_string(k) + " of the run");
        std::vector<std::string> arguments = card;
        arguments.insert(arguments.end(), {"--remove-after", std::to_string(identification + k)});
        VirtualCard &pulled = startCard(arguments);
        ASSERT_TRUE(waitForIdentification())
                << form->CardInfoLabel->text().toStdString() << " / " << statusText().toStdString() << "\n"
                << logText().right(1500).toStdString();
        runDownload();
        EXPECT_TRUE(sensibleAfterRun());
        for (const QString &name : downloadedFiles())
            EXPECT_TRUE(isWellFormedDownload(readDownload(name), pulled.publicKeyPem()));
        removeDownloads();
        pulled.quit();
        ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
        cards.clear();
    }
}

TEST_F(ResilienceE2e, CardPulledAndPutBackDuringTheRunIsIdentifiedAfterIt)
{
    VirtualCard &card = startCard({"--seed", "92", "--delay-ms", "2"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [&] {
        card.remove();
        pcscd->waitForCard(readerName(0), false);
        card.insert();
    });
    runDownload();
    EXPECT_TRUE(sensibleAfterRun());
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_TRUE(isWellFormedDownload(readDownload(downloadedFiles().front()), card.publicKeyPem()));
    EXPECT_TRUE(waitForIdentification());
}

// Whatever the order the notices and the identifications' ends come in, a holder on the card tab
// always comes with a card that can be read.
TEST_F(ResilienceE2e, CardsSwappedQuicklyManyTimes)
{
    VirtualCard &first = startCard({"--seed", "93", "--removed", "--surname", "PRVNÍ", "--pad-zero"});
    VirtualCard &second = startCard({"--seed", "94", "--removed", "--surname", "DRUHÝ", "--pad-zero"});
    openWindow();
    const auto holderWithoutReading = [this] {
        const QString label = form->CardInfoLabel->text();
        return (label.endsWith(QStringLiteral("PRVNÍ")) || label.endsWith(QStringLiteral("DRUHÝ")))
                && !form->CardReadButton->isEnabled();
    };
    for (int swap = 0; swap < 15; ++swap) {
        ASSERT_TRUE(first.insert());
        EXPECT_FALSE(waitUntil(holderWithoutReading, 20 + swap * 7)) << "swap " << swap;
        ASSERT_TRUE(first.remove());
        ASSERT_TRUE(second.insert());
        EXPECT_FALSE(waitUntil(holderWithoutReading, 10 + swap * 5)) << "swap " << swap;
        ASSERT_TRUE(second.remove());
    }
    ASSERT_TRUE(second.insert());
    ASSERT_TRUE(waitUntil([this] { return form->CardInfoLabel->text().endsWith(QStringLiteral("DRUHÝ")); }));
    EXPECT_TRUE(form->CardReadButton->isEnabled());
    ASSERT_TRUE(second.remove());
    ASSERT_TRUE(waitUntil([this] { return !form->cardPresent(); }));
    EXPECT_FALSE(form->CardReadButton->isEnabled());
}

TEST_F(ResilienceE2e, ServiceGoneWhileWaitingIsShownAndTheNextCardIdentifiedWhenItIsBack)
{
    VirtualCard &card = startCard({"--seed", "95", "--removed"});
    openWindow();
    ASSERT_TRUE(pcscd->stop());
    ASSERT_TRUE(waitUntil([this] { return statusText() == QStringLiteral("Služba čipových karet není dostupná"); }));

    // Nothing spins while the service is away.
    const double before = processCpuSeconds();
    waitUntil([] { return false; }, 3000);
    EXPECT_LT(processCpuSeconds() - before, 0.3);

    ASSERT_TRUE(pcscd->start()) << pcscd->error();
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(statusText(), QString());
}

TEST_F(ResilienceE2e, ServiceGoneDuringARunKeepsWhatWasReadAndRecovers)
{
    VirtualCard &card = startCard({"--seed", "96", "--delay-ms", "2"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [this] { pcscd->stop(); });
    runDownload();
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_TRUE(isWellFormedDownload(readDownload(downloadedFiles().front()), card.publicKeyPem()));
    EXPECT_FALSE(form->CardReadButton->isEnabled());

    ASSERT_TRUE(pcscd->start()) << pcscd->error();
    EXPECT_TRUE(waitForIdentification());
}

struct FolderCase
{
    const char *name;
    std::function<void(const QString &folder)> spoil;
    std::function<void()> restore;
    QString message;
};

class FolderFailures : public ResilienceE2e, public testing::WithParamInterface<FolderCase>
{
};

// The file cannot be written: the user reads why, no partial file is left and an earlier file of
// the same name stays as it was.
TEST_P(FolderFailures, ShowTheReasonAndKeepTheEarlierFile)
{
    startCard({"--seed", "97"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    form->setDownloadClock([] { return QDateTime(QDate(2025, 6, 1), QTime(12, 0)); });
    const QString folder = downloadFolder.filePath(QStringLiteral("downloads"));
    ASSERT_TRUE(QDir().mkpath(folder));
    form->SettingsPathEdit->setText(folder);
    const QString earlier = folder + QStringLiteral("/C_20250601_1200_earlier.ddd");
    {
        QFile file(earlier);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier download");
    }
    const QStringList before = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    GetParam().spoil(folder);
    const QStringList boxes = runDownload(QMessageBox::Ok);
    GetParam().restore();

    EXPECT_EQ(boxes, QStringList{GetParam().message});
    EXPECT_FALSE(logText().contains(QStringLiteral("----- Finished")));
    if (QDir(folder).exists()) {
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), before);
        QFile file(earlier);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), QByteArray("earlier download"));
    }
}

rlimit savedLimit;
void (*savedHandler)(int) = nullptr;

INSTANTIATE_TEST_SUITE_P(Table, FolderFailures,
                         testing::Values(
                                 // A file size limit stands for a full disk: the write stops short.
                                 FolderCase{"FullDisk",
                                            [](const QString &) {
                                                getrlimit(RLIMIT_FSIZE, &savedLimit);
                                                savedHandler = std::signal(SIGXFSZ, SIG_IGN);
                                                rlimit limit = savedLimit;
                                                limit.rlim_cur = 8192;
                                                setrlimit(RLIMIT_FSIZE, &limit);
                                            },
                                            [] {
                                                setrlimit(RLIMIT_FSIZE, &savedLimit);
                                                std::signal(SIGXFSZ, savedHandler);
                                            },
                                            QStringLiteral("Disk full.")},
                                 // Root may write anywhere: the run acts as an unprivileged user then.
                                 FolderCase{"ReadOnlyFolder",
                                            [](const QString &folder) {
                                                QFile::setPermissions(folder,
                                                                      QFile::ReadOwner | QFile::ExeOwner
                                                                              | QFile::ReadOther | QFile::ExeOther);
                                                if (geteuid() == 0) [[maybe_unused]]
                                                    const int changed = seteuid(65534);
                                            },
                                            [] {
                                                if (getuid() == 0) [[maybe_unused]]
                                                    const int changed = seteuid(0);
                                            },
                                            QStringLiteral("File access denied.")},
                                 FolderCase{"FolderRemovedAfterItWasChosen",
                                            [](const QString &folder) { QDir(folder).removeRecursively(); }, [] {},
                                            QStringLiteral("Invalid filename.")}),
                         [](const testing::TestParamInfo<FolderCase> &param) { return std::string(param.param.name); });

} // namespace
