#pragma once

// One download run as the history keeps it, and the words its states are stored and shown in.

#include "history/CardIdentity.h"
#include "verify/Verdict.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

enum class DownloadOutcome { Complete, Incomplete, NotWritten };

enum class UploadState {
    NotOffered, // not complete, or the question is still open
    Declined, // the user answered No
    Sent, // the server answered; uploadStatus holds its code (200, 409, or a refusal)
    Failed, // the server refused it with a code that another attempt would not change
    Waiting, // in the queue: an attempt failed, 5xx, or 401 until the credentials change
    Sending, // an attempt in flight; found so by a later run, it was cut off by a crash
    Gone, // the file was no longer on the disk when its turn came
    Changed, // the file on the disk is not the one downloaded
};

struct DownloadRecord
{
    qint64 id = 0;
    QDateTime timeUtc;
    CardIdentity card;
    int generation = 0; // 1 or 2; 0 when not known
    int version = 0; // of a second-generation card: 1 or 2
    QString fileName; // bare name
    QString folder;
    qint64 size = 0; // of the written file
    QByteArray sha256; // of the written file; empty when nothing was written
    DownloadOutcome outcome = DownloadOutcome::NotWritten;
    std::optional<Overall> verdict; // none when the file was not verified
    UploadState uploadState = UploadState::NotOffered;
    int uploadStatus = 0; // the server's last status code, 0 when it never answered
    int uploadAttempts = 0;
    QDateTime nextAttemptUtc; // of a waiting file; invalid otherwise
    QString uploadError; // why the last attempt failed; never a credential

    QString filePath() const;
};

// The words the database holds: readable with the sqlite3 tool, and stable across versions.
QString outcomeKey(DownloadOutcome outcome);
std::optional<DownloadOutcome> outcomeFromKey(const QString &key);
QString verdictKey(Overall verdict);
std::optional<Overall> verdictFromKey(const QString &key);
QString uploadStateKey(UploadState state);
std::optional<UploadState> uploadStateFromKey(const QString &key);

// What the history tab shows.
QString outcomeText(DownloadOutcome outcome);
QString verdictText(std::optional<Overall> verdict);
QString uploadStateText(const DownloadRecord &record);
// "1", "2 v1", "2 v2"; empty when not known.
QString generationText(int generation, int version);
