#pragma once

#include "upload/UploadReporter.h"

#include <QString>

#include <vector>

// Keeps what an upload reports, in order.
class RecordingUploadReporter final : public UploadReporter
{
public:
    void AddLog(const QString &text) override { log.push_back(text); }
    void SetStatus(const QString &text) override { statuses.push_back(text); }

    std::vector<QString> log;
    std::vector<QString> statuses;
};
