#pragma once

#include <QString>

// What the upload reports to the window: log lines and the status text.
class UploadReporter
{
public:
    virtual void AddLog(const QString &text) = 0;
    // Status-bar panel 0; lets pending window events run.
    virtual void SetStatus(const QString &text) = 0;

protected:
    ~UploadReporter() = default;
};
