#include "app/SettingsLocation.h"

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
    // mkpath makes folders with the umask's permissions: the missing ones are noted first and
    // closed to others once they are there, before the file with the credentials is written.
    QStringList missing;
    for (QString current = folder; !QFileInfo::exists(current) && !QDir(current).isRoot();
         current = QFileInfo(current).path())
        missing.prepend(current);
    if (!QDir().mkpath(folder))
        return false;
    for (const QString &made : std::as_const(missing)) {
        if (!QFile::setPermissions(made, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
    }
    return QFileInfo(folder).isDir();
}

QString defaultDownloadFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return QDir::cleanPath(documents);
    return QDir::cleanPath(QDir::homePath());
}
