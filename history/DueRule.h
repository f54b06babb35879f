#pragma once

// The 28-day rule: a driver card is due for download from the 28th calendar day after its last
// complete download, counted in the office's local calendar, and whenever it has never been
// downloaded completely. The texts are the card tab's.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTimeZone>

#include <optional>

inline constexpr int DownloadPeriodDays = 28;

// Local calendar days from the last complete download to now; none when there was none.
std::optional<int> daysSinceDownload(const std::optional<QDateTime> &lastComplete, const QDateTime &now,
                                     const QTimeZone &zone = QTimeZone::systemTimeZone());

bool isDownloadDue(const std::optional<QDateTime> &lastComplete, const QDateTime &now,
                   const QTimeZone &zone = QTimeZone::systemTimeZone());

// "12. 11. 2026": day, month and year without leading zeros, as Czech writes a date.
QString czechDate(const QDate &date);

// "naposledy vyčteno 12. 11. 2026", or "dosud nevyčtena" when never downloaded completely.
QString lastDownloadText(const std::optional<QDateTime> &lastComplete,
                         const QTimeZone &zone = QTimeZone::systemTimeZone());

// "kartu je nutné vyčíst" when due, else empty.
QString dueText(const std::optional<QDateTime> &lastComplete, const QDateTime &now,
                const QTimeZone &zone = QTimeZone::systemTimeZone());

// The card tab's line: the last download and, when due, the note, joined by ", ".
QString cardHistoryLine(const std::optional<QDateTime> &lastComplete, const QDateTime &now,
                        const QTimeZone &zone = QTimeZone::systemTimeZone());
