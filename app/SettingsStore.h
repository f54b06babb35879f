#pragma once

// The values the program keeps in its settings file, read in one piece at start-up and written in
// one piece at shut-down.

#include <QString>

struct StoredSettings
{
    // The credentials as the user typed them; the file holds their encoded form.
    QString Company;
    QString User;
    QString Password;
    QString CardReader; // the reader's name as the PC/SC layer lists it
    QString FilePath; // the download folder; empty when none was saved
    int Left = -1; // -1: keep the position the platform chose
    int Top = -1;
};

// Never fails: a missing or damaged file, a missing entry and a "Left" or "Top" that is not a
// whole number all give the defaults above for what cannot be read.
StoredSettings readSettings(const QString &fileName);

struct SettingsWriteResult
{
    bool ok = false;
    int error = 0; // errno value of the failed write
    QString errorText; // "Unable to write to " + the file's path, for the error display
};

// Writes all seven values, keeping every other line of the file. The file is replaced as a whole
// or not at all: after a failure the previous file is still there, unchanged.
SettingsWriteResult writeSettings(const QString &fileName, const StoredSettings &settings);
