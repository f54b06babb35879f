#include "app/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <sys/stat.h>

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
    const QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString prefix;
    for (const QString &part : parts) {
        prefix += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(prefix);
        if (::mkdir(name.constData(), S_IRWXU) == 0 || errno == EEXIST)
            continue;
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
