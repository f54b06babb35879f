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
        // Never downloaded sorts as the oldest.
        return row.lastComplete ? row.lastComplete->toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
    case DaysSince:
        // More days since the download is an older download: this column runs the other way round.
        return row.lastComplete ? -row.lastComplete->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
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
