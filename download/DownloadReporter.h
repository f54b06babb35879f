#pragma once

#include <QString>

// What the download logic reports to the window: the log, the status bar, the card label and the
// read button. The main window implements it; tests use a recorder.
class DownloadReporter
{
public:
    virtual void AddLog(const QString &text) = 0;
    // Status-bar panel 0. Lets pending window events run, as SetCardInfo does.
    virtual void SetStatus(const QString &text) = 0;
    virtual void SetCardInfo(const QString &text) = 0;
    // Status-bar panel 1: the state of the card.
    virtual void setCardPanel(const QString &text) = 0;
    virtual void setReadButtonEnabled(bool enabled) = 0;
    virtual void clearLog() = 0;
    // How many of the run's files are done; a total of 0 hides the progress.
    virtual void setProgress(int done, int total) = 0;

protected:
    ~DownloadReporter() = default;
};
