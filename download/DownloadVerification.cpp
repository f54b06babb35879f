#include "download/DownloadVerification.h"

#include "verify/DownloadVerifier.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace {

// Far above the largest card's download: a larger file is not the one just written.
constexpr qint64 MaximumFileSize = 16 * 1024 * 1024;

} // namespace

DownloadVerification verifyWrittenDownload(DownloadReporter &reporter, const QString &path,
                                           std::span<const std::uint8_t> read, const QDateTime &downloadTime,
                                           const TrustStore &trust)
{
    DownloadVerification verification;
    verification.performed = true;

    QFile file(path);
    QByteArray written;
    if (file.open(QIODevice::ReadOnly) && file.size() <= MaximumFileSize)
        written = file.readAll();
    if (file.error() != QFileDevice::NoError || !file.isOpen() || file.size() > MaximumFileSize) {
        reporter.AddLog(QStringLiteral("----- Verify signatures -----"));
        reporter.AddLog(QStringLiteral("- error: the written file cannot be read back: ") + file.errorString());
        verification.failedItem = QStringLiteral("soubor nelze znovu načíst");
        return verification;
    }
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t *>(written.constData()),
                                 static_cast<std::size_t>(written.size()));
    if (!std::ranges::equal(bytes, read)) {
        reporter.AddLog(QStringLiteral("----- Verify signatures -----"));
        reporter.AddLog(QStringLiteral("- error: the written file differs from what was read from the card"));
        verification.failedItem = QStringLiteral("zapsaný soubor se liší od přečtených dat");
        return verification;
    }

    const auto time = std::chrono::sys_seconds(std::chrono::seconds(downloadTime.toSecsSinceEpoch()));
    const Verdict verdict = verifyDownload(bytes, trust, time);
    for (const std::string &line : verdict.lines)
        reporter.AddLog(QString::fromStdString(line));
    verification.overall = verdict.overall;
    if (const Finding *failure = verdict.firstFailure())
        verification.failedItem = QString::fromStdString(failure->item);
    return verification;
}

QString verificationStatusSuffix(const DownloadVerification &verification)
{
    if (!verification.performed)
        return {};
    switch (verification.overall) {
    case Overall::VerifiedEuropeanRoot:
        return QStringLiteral(", podpisy ověřeny");
    case Overall::VerifiedTestRoot:
        // A build for tests trusts test keys; its verdict must never read as the European one.
        return QStringLiteral(", podpisy ověřeny jen testovacími klíči");
    case Overall::Failed:
        break;
    }
    return QStringLiteral(", podpisy neověřeny: ") + verification.failedItem;
}
