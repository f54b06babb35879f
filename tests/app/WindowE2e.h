#pragma once

// The real window on the real stack: our own pcscd with one virtual reader definition (two
// readers), the simulated driver card, a settings folder and a download folder of the test's own.

#include "app/MainUnit.h"
#include "support/DddFile.h"
#include "support/ModalAnswerer.h"
#include "support/PcscdHarness.h"
#include "support/QtPrinters.h"
#include "support/VirtualCard.h"

#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

// The status of a complete run whose download verified: the simulated cards are signed under the
// test roots that builds for tests trust, and never as the European root.
inline const QString CompleteAndVerified =
        QStringLiteral("Čtení karty dokončeno, podpisy ověřeny jen testovacími klíči");

class WindowE2e : public testing::Test
{
protected:
    static constexpr std::uint16_t ReaderPort = 36410;
    static const VirtualReaderDefinition Reader;
    static std::string readerName(int slot) { return PcscdHarness::readerName(Reader, slot); }

    void SetUp() override;
    void TearDown() override;

    // A card on the first reader; "--port" is added. Started and, unless "--removed" is among
    // the arguments, inserted and seen by the resource manager.
    VirtualCard &startCard(std::vector<std::string> arguments, std::uint16_t port = ReaderPort);

    // Inserts the card again until the resource manager sees it in the reader of that slot.
    bool insertedAndSeen(VirtualCard &card, int slot);

    // The settings file the window will read: lines of an INI file.
    void writeSettingsFile(const QString &text);
    QString settingsFilePath() const;
    QString settingsFileText() const;

    // Opens the window (its start-up sequence runs, the reader list is read) with the download
    // folder set.
    TMainForm &openWindow();
    // Closes it as the user does: the shut-down sequence runs.
    void closeWindow();

    // Waits, handling window events, until the condition holds.
    bool waitUntil(const std::function<bool()> &condition, int milliseconds = 10000);
    bool waitForIdentification();
    // Waits until the work the window started (a run, the question, an upload, an identification)
    // has ended.
    bool finishWork(int milliseconds = 120000);
    // Presses "Vyčíst kartu" and waits for the end of the run and of what follows it; the answer
    // to the upload question. Returns the texts of the message boxes.
    QStringList runDownload(QMessageBox::StandardButton answer = QMessageBox::No);

    QString logText() const;

    // Runs the action once, from inside the window events a run lets run, when the log shows the
    // text.
    void whenLogShows(const QString &text, std::function<void()> action);
    // The operator pulls the first card and puts in the next one while the window is busy. Returns
    // once the window has seen the removal and holds the insertion back for later.
    void swapCards(VirtualCard &first, VirtualCard &next);
    QString statusText() const { return form->statusText(0); }
    QStringList downloadedFiles() const;
    std::vector<std::uint8_t> readDownload(const QString &name) const;

    std::unique_ptr<PcscdHarness> pcscd;
    std::vector<std::unique_ptr<VirtualCard>> cards;
    QTemporaryDir configFolder;
    // $XDG_DATA_HOME: the window's history.
    QTemporaryDir dataFolder;
    QTemporaryDir downloadFolder;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<QTimer> logWatch;
    bool setDownloadFolder = true;
    std::vector<VirtualReaderDefinition> readerDefinitions{Reader};
};

// The records of a download, checked as a whole: parse, order of signatures, length, and every
// signature against the card's key.
::testing::AssertionResult isWellFormedDownload(const std::vector<std::uint8_t> &bytes, const std::string &keyPem = {});
