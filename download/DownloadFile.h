#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Writing a download file into a folder. The file appears under its name only when it is
// complete: it is written to a temporary file beside it and renamed over the name at the end,
// so a failure leaves no partial file and keeps an earlier file of that name.
struct FileWriteResult
{
    bool written = false;
    int code = 0; // the failure code the user is shown (2, 3, 4, 5, 101, or the error number)
    QString text; // "Disk full", "I/O error 5", ...
};

// The folder, a separator unless the folder already ends in one, and the name.
QString downloadFilePath(const QString &folder, const QString &fileName);

FileWriteResult writeDownloadFile(const QString &folder, const QString &fileName, const std::uint8_t *data,
                                  std::size_t length);

// The code and text for an error number of a failed create, write, sync, close or rename.
FileWriteResult fileErrorFor(int errorNumber);
