#pragma once

// Replacing a file as one step with QSaveFile, with the error number of the step that failed:
// users are shown codes and texts made from it. The new content goes to a temporary file in the
// target's folder, is flushed to disk and takes the target's name only when it is complete, so a
// failure leaves no partial file and keeps the earlier one.

#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

// Writes data to path with the given mode, set before anything is written. 0 when the file is in
// place, else the errno value of the failed step (EISDIR when path is a folder).
int saveFileAtomically(const QString &path, QByteArrayView data, mode_t mode);

// Syncs the folder, so that a rename into it survives a power cut; 0 or the errno value. A folder
// that cannot be opened, or a file system that cannot sync folders, counts as synced: the file
// itself is on disk already.
int syncFolder(const QString &folder);

// Makes folder and every folder above it that is missing, each for its owner only (mkpath alone
// would give them the umask's permissions). 0 when the folder is there, else the errno value of
// the first folder that could not be made or closed to others, whose path goes to failed.
int makeOwnerOnlyFolders(const QString &folder, QString *failed = nullptr);
