#pragma once

// What a history operation gives: a value, or the text of why it failed, for the log. The history
// is a record, never a condition for a download, so nothing here throws.

#include <QString>

struct StoreStatus
{
    QString error; // empty when the operation succeeded

    bool ok() const { return error.isEmpty(); }
};

template<typename T>
struct StoreResult : StoreStatus
{
    T value{};
};
