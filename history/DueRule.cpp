#include "history/DueRule.h"

std::optional<int> daysSinceDownload(const std::optional<QDateTime> &lastComplete, const QDateTime &now,
                                     const QTimeZone &zone)
{
    if (!lastComplete || !lastComplete->isValid())
        return std::nullopt;
    // Calendar dates, not 24-hour periods: a day of 23 or 25 hours at a clock change is one day,
    // and a download at 23:50 is a day old at 00:10.
    const QDate from = lastComplete->toTimeZone(zone).date();
    const QDate to = now.toTimeZone(zone).date();
    return static_cast<int>(from.daysTo(to));
}

bool isDownloadDue(const std::optional<QDateTime> &lastComplete, const QDateTime &now, const QTimeZone &zone)
{
    const std::optional<int> days = daysSinceDownload(lastComplete, now, zone);
    return !days || *days >= DownloadPeriodDays;
}

QString czechDate(const QDate &date)
{
    return QStringLiteral("%1. %2. %3").arg(date.day()).arg(date.month()).arg(date.year());
}

QString lastDownloadText(const std::optional<QDateTime> &lastComplete, const QTimeZone &zone)
{
    if (!lastComplete || !lastComplete->isValid())
        return QStringLiteral("dosud nevyčtena");
    return QStringLiteral("naposledy vyčteno ") + czechDate(lastComplete->toTimeZone(zone).date());
}

QString dueText(const std::optional<QDateTime> &lastComplete, const QDateTime &now, const QTimeZone &zone)
{
    return isDownloadDue(lastComplete, now, zone) ? QStringLiteral("kartu je nutné vyčíst") : QString();
}

QString cardHistoryLine(const std::optional<QDateTime> &lastComplete, const QDateTime &now, const QTimeZone &zone)
{
    const QString due = dueText(lastComplete, now, zone);
    const QString last = lastDownloadText(lastComplete, zone);
    return due.isEmpty() ? last : last + QStringLiteral(", ") + due;
}
