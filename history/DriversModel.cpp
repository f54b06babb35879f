#include "history/DriversModel.h"

#include "history/DueRule.h"

#include <limits>

int DriversModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DriversModel::sortValue(const DriverRow &row, int column) const
{
    switch (column) {
    case CardNumber:
        return row.card.cardNumber;
    case Holder:
        return row.card.surname + u' ' + row.card.firstNames;
    case LastDownload:
    case DaysSince:
        // Never downloaded sorts as the oldest.
        return row.lastComplete ? row.lastComplete->toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
    case Due:
        return qint64{row.due};
    }
    return {};
}

QVariant DriversModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const DriverRow &driver = m_rows[static_cast<std::size_t>(index.row())];
    if (role == SortRole)
        return sortValue(driver, index.column());
    if (role == DueRole)
        return driver.due;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case CardNumber:
        return driver.card.cardNumber;
    case Holder:
        return driver.card.holder();
    case LastDownload:
        return driver.lastComplete ? czechDate(driver.lastComplete->toLocalTime().date()) : QStringLiteral("nikdy");
    case DaysSince:
        return driver.daysSince ? QVariant(*driver.daysSince) : QVariant(QString());
    case Due:
        return driver.due ? QStringLiteral("ano") : QStringLiteral("ne");
    }
    return {};
}

QVariant DriversModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case CardNumber:
        return QStringLiteral("Číslo karty");
    case Holder:
        return QStringLiteral("Držitel");
    case LastDownload:
        return QStringLiteral("Naposledy vyčteno");
    case DaysSince:
        return QStringLiteral("Dní od vyčtení");
    case Due:
        return QStringLiteral("K vyčtení");
    }
    return {};
}

void DriversModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount)
        return;
    // More days since the download is an older download: that column runs the other way round.
    const bool descending = (order == Qt::DescendingOrder) != (column == DaysSince);
    const auto less = [&](const DriverRow &a, const DriverRow &b) {
        if (column == CardNumber || column == Holder) {
            const int comparison = sortValue(a, column).toString().localeAwareCompare(sortValue(b, column).toString());
            return descending ? comparison > 0 : comparison < 0;
        }
        const qint64 left = sortValue(a, column).toLongLong();
        const qint64 right = sortValue(b, column).toLongLong();
        return descending ? left > right : left < right;
    };
    sortRows(less);
}
