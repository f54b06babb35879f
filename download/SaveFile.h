#pragma once

// Replacing a file as one step with QSaveFile, or adding a file that replaces none, with the error
// number of the step that failed: users are shown codes and texts made from it. The new content
// goes to a temporary file in the target's folder, is flushed to disk and takes the target's name
// only when it is complete, so a failure leaves no partial file and keeps the earlier one.

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <sys/types.h>

// Writes data to path with the given mode, set before anything is written. 0 when the file is in
// place, else the errno value of the failed step (EISDIR when path is a folder).
int saveFileAtomically(const QString &path, QByteArrayView data, mode_t mode);

// Writes data with the given mode under the first path of pathFor(1), pathFor(2), ... that is
// free, and never over a file (or anything else) that has one of them: the content is written to a
// temporary file beside them and flushed to disk, and only then takes a name, by a call that fails
// when the name is taken. 0 with the number of the path taken in number, else the errno value of
// the step that failed (EEXIST when every path tried was taken).
int saveNewFile(const std::function<QString(int number)> &pathFor, QByteArrayView data, mode_t mode, int &number);

// Syncs the folder, so that a rename into it survives a power cut; 0 or the errno value. A folder
// that cannot be opened, or a file system that cannot sync folders, counts as synced: the file
// itself is on disk already.
int syncFolder(const QString &folder);

// Makes folder and every folder above it that is missing, each for its owner only (mkpath alone
// would give them the umask's permissions). 0 when the folder is there, else the errno value of
// the first folder that could not be made or closed to others, whose path goes to failed.
int makeOwnerOnlyFolders(const QString &folder, QString *failed = nullptr);
