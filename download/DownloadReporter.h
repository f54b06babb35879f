#pragma once

#include <QString>

// What an identification and a download run tell as they go, in their own terms: whoever shows
// them decides how. The card worker turns them into signals; tests use a recorder.
class DownloadReporter
{
public:
    virtual void AddLog(const QString &text) = 0;
    // The outcome for the user to read.
    virtual void SetStatus(const QString &text) = 0;
    // What is known of the card: its holder, or why there is none.
    virtual void SetCardInfo(const QString &text) = 0;
    // The card connection was made, or ended at the end of a run.
    virtual void cardConnected(bool connected) = 0;
    virtual void identificationStarted() = 0;
    // The card is a tachograph card and its holder is read: it may be downloaded.
    virtual void cardIdentified() = 0;
    // A run begins: what was logged before belongs to earlier work.
    virtual void runStarted() = 0;
    // How many of the run's files are done; a total of 0 ends the run's progress.
    virtual void setProgress(int done, int total) = 0;

protected:
    ~DownloadReporter() = default;
};
