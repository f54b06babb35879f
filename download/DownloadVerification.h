#pragma once

// The check of a download just written: the file is read back from the disk (what the office keeps
// and what the upload sends must be what was verified), its signatures verified up to the trusted
// roots, the verifier's lines added to the log and the verdict put in words for the status bar
// and the upload question.

#include "download/DownloadReporter.h"
#include "verify/TrustStore.h"
#include "verify/Verdict.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <span>

struct DownloadVerification
{
    bool performed = false; // false: no file was written
    Overall overall = Overall::Failed;
    QString failedItem; // the first certificate or file that failed, or what kept the file from being read
};

DownloadVerification verifyWrittenDownload(DownloadReporter &reporter, const QString &path,
                                           std::span<const std::uint8_t> read, const QDateTime &downloadTime,
                                           const TrustStore &trust);

// ", podpisy ověřeny" and the like: what follows the run's status text.
QString verificationStatusSuffix(const DownloadVerification &verification);
