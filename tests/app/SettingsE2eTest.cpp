// The window's start-up and shut-down sequences, the reader toggle and closing during a run,
// with a settings folder of the test's own and pcscd with virtual readers.
#include "WindowE2e.h"
#include "app/SettingsCodec.h"
#include "support/ModalAnswerer.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using SettingsE2e = WindowE2e;

QString reader(int slot)
{
    return slot == 0 ? QStringLiteral("Korvan Reader 00 00") : QStringLiteral("Korvan Reader 00 01");
}

TEST_F(SettingsE2e, FirstStartWithoutSettingsWritesAllSevenValues)
{
    setDownloadFolder = false;
    qputenv("HOME", downloadFolder.path().toLocal8Bit());
    openWindow();
    EXPECT_TRUE(form->SettingsCompanyEdit->text().isEmpty());
    EXPECT_TRUE(form->SettingsUserEdit->text().isEmpty());
    EXPECT_TRUE(form->SettingsPasswordEdit->text().isEmpty());
    EXPECT_EQ(form->SettingsPathEdit->text(), downloadFolder.path()); // no Documents folder: the home folder
    EXPECT_EQ(form->ReaderCombo->currentText(), reader(0));
    EXPECT_FALSE(form->ReaderCombo->isEnabled());
    EXPECT_TRUE(form->ReaderButton->isEnabled());
    EXPECT_EQ(form->ReaderButton->text(), QStringLiteral("Změnit"));

    form->SettingsCompanyEdit->setText(QStringLiteral("abc"));
    form->SettingsPasswordEdit->setText(QStringLiteral("č"));
    closeWindow();
    const QString position = QStringLiteral("Left=%1\nTop=%2\n").arg(form->pos().x()).arg(form->pos().y());
    EXPECT_EQ(settingsFileText(),
              QStringLiteral("[Settings]\nCompany=162636\nUser=\nPassword=8E\nCardReader=") + reader(0)
                      + QStringLiteral("\nFilePath=") + downloadFolder.path() + QStringLiteral("\n\n[Window]\n")
                      + position);
    struct stat status
    {
    };
    ASSERT_EQ(stat(QFile::encodeName(settingsFilePath()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    qunsetenv("HOME");
}

TEST_F(SettingsE2e, StoredValuesAreShownAndUnknownLinesKept)
{
    writeSettingsFile(QStringLiteral("; written by hand\n[Settings]\nCompany=162636\nUser=zz2636\nPassword=a5A5\n"
                                     "Extra=kept\nCardReader=korvan reader 00 01\nFilePath=/data/a, b\n"
                                     "[Window]\nLeft=-2\nTop=40\n[Other]\nkey=value\n"));
    setDownloadFolder = false;
    openWindow();
    EXPECT_EQ(form->SettingsCompanyEdit->text(), QStringLiteral("abc"));
    EXPECT_EQ(form->SettingsUserEdit->text(), QString()); // a zero byte ends the text
    EXPECT_EQ(form->SettingsPasswordEdit->text(), QStringLiteral("ZZ"));
    EXPECT_EQ(form->ReaderCombo->currentText(), reader(1)); // letter case ignored
    EXPECT_EQ(form->SettingsPathEdit->text(), QStringLiteral("/data/a, b"));
    EXPECT_EQ(form->pos(), QPoint(-2, 40));

    closeWindow();
    EXPECT_EQ(settingsFileText(),
              QStringLiteral("; written by hand\n[Settings]\nCompany=162636\nUser=\nPassword=A5A5\n"
                             "Extra=kept\nCardReader=")
                      + reader(1)
                      + QStringLiteral("\nFilePath=/data/a, b\n[Window]\nLeft=-2\nTop=40\n"
                                       "[Other]\nkey=value\n"));
}

TEST_F(SettingsE2e, PositionOfMinusOneKeepsThePlatformsPlace)
{
    writeSettingsFile(QStringLiteral("[Window]\nLeft=-1\nTop=x\n"));
    openWindow();
    EXPECT_FALSE(form->testAttribute(Qt::WA_Moved));
}

TEST_F(SettingsE2e, SavedReaderThatIsGoneLeavesTheFirstSelected)
{
    writeSettingsFile(QStringLiteral("[Settings]\nCardReader=Gone Reader 00 00\n"));
    openWindow();
    EXPECT_EQ(form->ReaderCombo->currentText(), reader(0));
    closeWindow();
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=") + reader(0) + u'\n'));
}

// The saved reader is the one watched: a card in it is identified at start.
TEST_F(SettingsE2e, SavedReaderIsWatched)
{
    writeSettingsFile(QStringLiteral("[Settings]\nCardReader=") + reader(1) + u'\n');
    startCard({"--seed", "81", "--surname", "DRUHÝ", "--first-names", "J", "--pad-zero"}, ReaderPort + 1);
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("J DRUHÝ"));
}

TEST_F(SettingsE2e, ReaderToggleRestartsTheMonitorOnTheConfirmedReader)
{
    startCard({"--seed", "82"}, ReaderPort + 1);
    openWindow();
    EXPECT_FALSE(form->cardPresent());

    form->ReaderButton->click();
    EXPECT_TRUE(form->ReaderCombo->isEnabled());
    EXPECT_EQ(form->ReaderButton->text(), QStringLiteral("Vybrat"));
    form->ReaderCombo->setCurrentIndex(1);
    form->ReaderButton->click();
    EXPECT_FALSE(form->ReaderCombo->isEnabled());
    EXPECT_TRUE(form->ReaderButton->isEnabled());
    EXPECT_EQ(form->ReaderButton->text(), QStringLiteral("Změnit"));
    EXPECT_TRUE(waitForIdentification());
}

TEST_F(SettingsE2e, ReaderPickedButNotConfirmedIsSavedAndWatchedNextTime)
{
    openWindow();
    form->ReaderButton->click();
    form->ReaderCombo->setCurrentIndex(1);
    closeWindow();
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=") + reader(1) + u'\n'));

    startCard({"--seed", "83"}, ReaderPort + 1);
    openWindow();
    EXPECT_EQ(form->ReaderCombo->currentText(), reader(1));
    EXPECT_TRUE(waitForIdentification());
}

TEST_F(SettingsE2e, SettingsThatCannotBeWrittenAreReportedAndTheOldFileStays)
{
    const QString old = QStringLiteral("[Settings]\nCompany=162636\n");
    writeSettingsFile(old);
    openWindow();
    form->SettingsCompanyEdit->setText(QStringLiteral("changed"));

    // Root writes anywhere: for the close, act as an unprivileged user on a folder of root's.
    const bool root = geteuid() == 0;
    const QString folder = QFileInfo(settingsFilePath()).path();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(configFolder.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    ModalAnswerer user;
    if (root) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    closeWindow();
    if (root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    EXPECT_EQ(user.texts(), QStringList{QStringLiteral("Unable to write to ") + settingsFilePath() + u'.'});
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(settingsFileText(), old);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Korvan.ini")});
}

TEST_F(SettingsE2e, CloseDuringARunWaitsForItsEnd)
{
    startCard({"--seed", "84", "--delay-ms", "3"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    bool visibleAfterClose = false;
    whenLogShows(QStringLiteral("----- Read file: Events Data -----"), [&] {
        form->close();
        visibleAfterClose = form->isVisible();
    });
    ModalAnswerer user(QMessageBox::No);
    form->CardReadButton->click();

    EXPECT_TRUE(waitUntil([this] { return !form->isVisible(); }, 60000));
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_EQ(downloadedFiles().size(), 1);
    // Nobody is asked about sending what a closing window wrote.
    EXPECT_TRUE(user.texts().isEmpty());
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=")));
}

// "Změnit" and "Vybrat" with an identified card: the connection is closed and the card tab reset;
// the card of the confirmed reader is identified again, and a run downloads it.
TEST_F(SettingsE2e, ReaderChangeWithAnIdentifiedCardIdentifiesItAgain)
{
    VirtualCard &card = startCard({"--seed", "85"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    form->ReaderButton->click();
    EXPECT_FALSE(form->CardReadButton->isEnabled());
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("není vložena žádná karta"));
    EXPECT_EQ(form->statusText(1), QString());
    form->ReaderButton->click();
    ASSERT_TRUE(waitForIdentification());
    EXPECT_EQ(runDownload(), QStringList{QStringLiteral("Odeslat soubor na server?")});
    ASSERT_EQ(downloadedFiles().size(), 1);
    EXPECT_EQ(readDownload(downloadedFiles().front()), card.expectedDownload());
}

// A termination request (SIGTERM, a logout) while the upload question is open answers it No and
// closes the window with its settings saved; nothing is sent.
TEST_F(SettingsE2e, TerminationWhileTheQuestionIsOpenClosesAtOnce)
{
    startCard({"--seed", "86"});
    openWindow();
    ASSERT_TRUE(waitForIdentification());
    form->CardReadButton->click();
    ASSERT_TRUE(waitUntil([this] { return form->state() == TMainForm::FormState::Asking; }, 60000));
    const auto requested = std::chrono::steady_clock::now();
    form->terminate();
    ASSERT_TRUE(waitUntil([this] { return !form->isVisible(); }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - requested, std::chrono::seconds(5));
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=")));
    EXPECT_EQ(downloadedFiles().size(), 1);
}

// A termination while the folder chooser is open closes the chooser as a cancel and the window
// with it: the chooser's loop keeps nothing alive.
TEST_F(SettingsE2e, TerminationWhileTheFolderChooserIsOpenClosesAtOnce)
{
    openWindow();
    const QString folder = form->SettingsPathEdit->text();
    bool chooserWasOpen = false;
    QTimer::singleShot(100, form.get(), [this, &chooserWasOpen] {
        chooserWasOpen = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()) != nullptr;
        form->terminate();
    });
    // A chooser left open is rejected after a while, so that a fault fails the test instead of
    // hanging it.
    bool leftOpen = false;
    QTimer::singleShot(10000, form.get(), [&leftOpen] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            leftOpen = true;
            dialog->reject();
        }
    });
    form->PathButton->click();
    EXPECT_TRUE(chooserWasOpen);
    EXPECT_FALSE(leftOpen);
    ASSERT_TRUE(waitUntil([this] { return !form->isVisible(); }, 5000));
    EXPECT_EQ(form->SettingsPathEdit->text(), folder);
}

class NoReaderE2e : public WindowE2e
{
protected:
    void SetUp() override
    {
        readerDefinitions.clear();
        WindowE2e::SetUp();
        ASSERT_TRUE(pcscd->start()) << pcscd->error();
    }
};

TEST_F(NoReaderE2e, NoReaderListedDisablesTheChoiceAndSavesAnEmptyReader)
{
    writeSettingsFile(QStringLiteral("[Settings]\nCardReader=Old Reader 00 00\n"));
    openWindow();
    EXPECT_EQ(form->CardInfoLabel->text(), QStringLiteral("čtečka nenalezena"));
    EXPECT_FALSE(form->ReaderCombo->isEnabled());
    EXPECT_FALSE(form->ReaderButton->isEnabled());
    closeWindow();
    EXPECT_TRUE(settingsFileText().contains(QStringLiteral("CardReader=\n")));
}

} // namespace
