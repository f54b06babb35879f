#pragma once

#include <QString>

// The program's version as the build names it: fixed at compile time, so that the text sent
// with an upload is that of the program running and not of a file replaced under it since.
class TVersionInfo
{
public:
    // Four numbers, "1.1.0.22".
    static QString FileVersionText();
};
