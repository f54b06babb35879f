#include "history/DownloadRecord.h"

#include "download/DownloadFile.h"

#include <array>
#include <utility>

namespace {

template<typename Enum, std::size_t N>
QString keyOf(const std::array<std::pair<Enum, const char *>, N> &table, Enum value)
{
    for (const auto &[entry, key] : table)
        if (entry == value)
            return QString::fromLatin1(key);
    return {};
}

template<typename Enum, std::size_t N>
std::optional<Enum> valueOf(const std::array<std::pair<Enum, const char *>, N> &table, const QString &key)
{
    for (const auto &[entry, text] : table)
        if (key == QLatin1String(text))
            return entry;
    return std::nullopt;
}

constexpr std::array<std::pair<DownloadOutcome, const char *>, 3> OutcomeKeys{{
        {DownloadOutcome::Complete, "complete"},
        {DownloadOutcome::Incomplete, "incomplete"},
        {DownloadOutcome::NotWritten, "not_written"},
}};

constexpr std::array<std::pair<Overall, const char *>, 3> VerdictKeys{{
        {Overall::VerifiedEuropeanRoot, "european_root"},
        {Overall::VerifiedTestRoot, "test_root"},
        {Overall::Failed, "failed"},
}};

constexpr std::array<std::pair<UploadState, const char *>, 8> UploadStateKeys{{
        {UploadState::NotOffered, "not_offered"},
        {UploadState::Declined, "declined"},
        {UploadState::Sent, "sent"},
        {UploadState::Failed, "failed"},
        {UploadState::Waiting, "waiting"},
        {UploadState::Sending, "sending"},
        {UploadState::Gone, "gone"},
        {UploadState::Changed, "changed"},
}};

} // namespace

QString DownloadRecord::filePath() const
{
    return downloadFilePath(folder, fileName);
}

QString outcomeKey(DownloadOutcome outcome)
{
    return keyOf(OutcomeKeys, outcome);
}

std::optional<DownloadOutcome> outcomeFromKey(const QString &key)
{
    return valueOf(OutcomeKeys, key);
}

QString verdictKey(Overall verdict)
{
    return keyOf(VerdictKeys, verdict);
}

std::optional<Overall> verdictFromKey(const QString &key)
{
    return valueOf(VerdictKeys, key);
}

QString uploadStateKey(UploadState state)
{
    return keyOf(UploadStateKeys, state);
}

std::optional<UploadState> uploadStateFromKey(const QString &key)
{
    return valueOf(UploadStateKeys, key);
}

QString outcomeText(DownloadOutcome outcome)
{
    switch (outcome) {
    case DownloadOutcome::Complete:
        return QStringLiteral("úplné");
    case DownloadOutcome::Incomplete:
        return QStringLiteral("neúplné");
    case DownloadOutcome::NotWritten:
        return QStringLiteral("nezapsáno");
    }
    return {};
}

QString verdictText(std::optional<Overall> verdict)
{
    if (!verdict)
        return {};
    switch (*verdict) {
    case Overall::VerifiedEuropeanRoot:
        return QStringLiteral("ověřeny");
    case Overall::VerifiedTestRoot:
        return QStringLiteral("ověřeny (testovací kořen)");
    case Overall::Failed:
        return QStringLiteral("neověřeny");
    }
    return {};
}

QString uploadStateText(const DownloadRecord &record)
{
    switch (record.uploadState) {
    case UploadState::NotOffered:
        return QStringLiteral("nenabídnuto");
    case UploadState::Declined:
        return QStringLiteral("odmítnuto");
    case UploadState::Sent:
        return record.uploadStatus == 409 ? QStringLiteral("odesláno (server již měl)")
                                          : QStringLiteral("odesláno (%1)").arg(record.uploadStatus);
    case UploadState::Failed:
        return QStringLiteral("selhalo (%1)").arg(record.uploadStatus);
    case UploadState::Waiting:
    case UploadState::Sending:
        return QStringLiteral("čeká na odeslání");
    case UploadState::Gone:
        return QStringLiteral("soubor chybí");
    case UploadState::Changed:
        return QStringLiteral("soubor změněn");
    }
    return {};
}

QString generationText(int generation, int version)
{
    if (generation == 1)
        return QStringLiteral("1");
    if (generation == 2)
        return version > 0 ? QStringLiteral("2 v%1").arg(version) : QStringLiteral("2");
    return {};
}
