#pragma once

// The files of one tachograph application in a download, in the order of the download.

#include "verify/ElementaryFile.h"

#include <algorithm>
#include <cstdint>
#include <vector>

struct DownloadApplication
{
    int generation = 0;
    bool present = false; // holds more than the card's common files
    std::vector<ElementaryFile> files;

    const ElementaryFile *find(std::uint16_t fileId) const
    {
        const auto it = std::find_if(files.begin(), files.end(), [&](const auto &f) { return f.fileId == fileId; });
        return it == files.end() ? nullptr : &*it;
    }
};
