#include "app/SettingsLocation.h"

#include "download/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString settingsFilePath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    // A relative XDG_CONFIG_HOME is to be ignored; Qt passes it on, which would make the file's
    // place depend on the current folder.
    if (folder.isEmpty() || QDir::isRelativePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.config");
    return QDir::cleanPath(folder + QStringLiteral("/Merkalo/Korvan.ini"));
}

bool createSettingsFolder(const QString &settingsFile)
{
    const QString folder = QFileInfo(settingsFile).absolutePath();
    // The settings file holds the credentials: its folders are the owner's alone.
    if (makeOwnerOnlyFolders(folder) != 0)
        return false;
    return QFileInfo(folder).isDir();
}

QString defaultDownloadFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return QDir::cleanPath(documents);
    return QDir::cleanPath(QDir::homePath());
}
