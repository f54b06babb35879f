#pragma once

#include "history/DownloadRecord.h"
#include "history/HistoryStore.h"

#include <QString>

#include <vector>

// What the history tab shows: taken where the database is, handed to the window by value.
struct HistorySnapshot
{
    std::vector<DriverRow> drivers;
    std::vector<DownloadRecord> downloads;
    QString error; // why the history could not be read; empty when it was
};
