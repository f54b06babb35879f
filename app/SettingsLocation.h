#pragma once

// Where the settings file lives and where downloads go by default.

#include <QString>

// The per-user configuration folder ($XDG_CONFIG_HOME, else ~/.config) followed by
// "/Merkalo/Korvan.ini".
QString settingsFilePath();

// Creates every missing folder above the settings file, each with mode 0700 (it will hold the
// credentials); folders that exist already are left as they are. A fresh account often has no
// configuration folder at all. The result is only informative: when the folders cannot be made,
// reading finds no file and the later write fails and says so.
bool createSettingsFolder(const QString &settingsFile);

// The user's documents folder when it exists, else the home folder; without a trailing separator
// (except for "/").
QString defaultDownloadFolder();
