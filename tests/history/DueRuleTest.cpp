#include "history/DueRule.h"

#include <gtest/gtest.h>

namespace {

const QTimeZone Prague("Europe/Prague");

QDateTime local(int year, int month, int day, int hour, int minute)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Prague);
}

struct DueCase
{
    const char *name;
    QDateTime last;
    QDateTime now;
    int days;
    bool due;
};

// Days are the office's calendar days, whatever the hour and however long a day is at a clock change.
TEST(DueRule, CountsLocalCalendarDays)
{
    const DueCase cases[] = {
            {"27 days", local(2026, 6, 1, 9, 0), local(2026, 6, 28, 23, 59), 27, false},
            {"28 days", local(2026, 6, 1, 9, 0), local(2026, 6, 29, 0, 1), 28, true},
            {"late at night, early next day", local(2026, 6, 1, 23, 50), local(2026, 6, 2, 0, 10), 1, false},
            // 23:30 in UTC is already the next day in Prague.
            {"UTC date differs", local(2026, 6, 2, 1, 30), local(2026, 6, 29, 23, 0), 27, false},
            {"spring clock change inside, 27 days", local(2026, 3, 10, 23, 30), local(2026, 4, 6, 23, 30), 27, false},
            {"spring clock change inside, 28 days", local(2026, 3, 10, 23, 30), local(2026, 4, 7, 0, 30), 28, true},
            {"autumn clock change inside, 27 days", local(2026, 10, 1, 0, 30), local(2026, 10, 28, 23, 30), 27, false},
            {"autumn clock change inside, 28 days", local(2026, 10, 1, 0, 30), local(2026, 10, 29, 0, 30), 28, true},
            {"year boundary", local(2026, 12, 20, 10, 0), local(2027, 1, 17, 8, 0), 28, true},
            {"much later", local(2025, 1, 1, 10, 0), local(2026, 1, 1, 10, 0), 365, true},
    };
    for (const DueCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QDateTime> last = c.last.toUTC();
        EXPECT_EQ(daysSinceDownload(last, c.now.toUTC(), Prague), c.days);
        EXPECT_EQ(isDownloadDue(last, c.now.toUTC(), Prague), c.due);
    }
}

TEST(DueRule, NeverDownloadedIsDue)
{
    EXPECT_FALSE(daysSinceDownload(std::nullopt, local(2026, 1, 1, 0, 0), Prague).has_value());
    EXPECT_TRUE(isDownloadDue(std::nullopt, local(2026, 1, 1, 0, 0), Prague));
    EXPECT_EQ(cardHistoryLine(std::nullopt, local(2026, 1, 1, 0, 0), Prague),
              QStringLiteral("dosud nevyčtena, kartu je nutné vyčíst"));
}

TEST(DueRule, CardTabTexts)
{
    // Shown in the local date: 23:30 UTC on the 11th is the 12th in Prague.
    const std::optional<QDateTime> last = QDateTime(QDate(2026, 11, 11), QTime(23, 30), Qt::UTC);
    EXPECT_EQ(lastDownloadText(last, Prague), QStringLiteral("naposledy vyčteno 12. 11. 2026"));
    EXPECT_EQ(czechDate(QDate(2027, 1, 5)), QStringLiteral("5. 1. 2027"));
    EXPECT_EQ(cardHistoryLine(last, local(2026, 12, 9, 12, 0), Prague),
              QStringLiteral("naposledy vyčteno 12. 11. 2026"));
    EXPECT_EQ(cardHistoryLine(last, local(2026, 12, 10, 0, 0), Prague),
              QStringLiteral("naposledy vyčteno 12. 11. 2026, kartu je nutné vyčíst"));
}

} // namespace
