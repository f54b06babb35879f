#pragma once

#include "download/DownloadReporter.h"

#include <QStringList>

#include <functional>

// Keeps everything the download logic reports, in order.
class RecordingReporter : public DownloadReporter
{
public:
    void AddLog(const QString &text) override { log.append(text); }
    void SetStatus(const QString &text) override
    {
        status = text;
        statusHistory.append(text);
        if (onEvents)
            onEvents();
    }
    void SetCardInfo(const QString &text) override
    {
        cardInfo = text;
        cardInfoHistory.append(text);
        if (onEvents)
            onEvents();
    }
    void cardConnected(bool isConnected) override { connected = isConnected; }
    void identificationStarted() override { identified = false; }
    void cardIdentified() override { identified = true; }
    void runStarted() override
    {
        identified = false;
        log.clear();
    }
    void setProgress(int done, int total) override { progress.append({done, total}); }

    QStringList log;
    QString status;
    QStringList statusHistory;
    QString cardInfo;
    QStringList cardInfoHistory;
    bool connected = false;
    bool identified = false;
    QList<QPair<int, int>> progress;
    // Stands for the pending window events that SetStatus and SetCardInfo let run.
    std::function<void()> onEvents;
};
