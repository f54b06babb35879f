#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>

// Writing a download file into a folder. The file appears under its name only when it is
// complete: it is written to a temporary file beside it and given the name at the end, so a
// failure leaves no partial file. It never replaces a file: when its name is taken (a download
// of the same card in the same minute), it takes the next of the names it is offered.
struct FileWriteResult
{
    bool written = false;
    int code = 0; // the failure code the user is shown (2, 3, 4, 5, 101, or the error number)
    QString text; // "Disk full", "I/O error 5", ...
    QString fileName; // the name the file took; empty when it took none
};

// The folder, a separator unless the folder already ends in one, and the name.
QString downloadFilePath(const QString &folder, const QString &fileName);

// fileNameFor(1) is the name the download is meant to have; fileNameFor(2), (3), ... are tried in
// turn while the one before is taken.
FileWriteResult writeDownloadFile(const QString &folder, const std::function<QString(int number)> &fileNameFor,
                                  const std::uint8_t *data, std::size_t length);

// The code and text for an error number of a failed create, write, sync, close or rename.
FileWriteResult fileErrorFor(int errorNumber);
