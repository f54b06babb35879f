#pragma once

// The drivers list of the history tab: one row per card, most overdue first. Holds a snapshot
// (setRows), so it never touches the database itself and can live on the window's thread.

#include "history/HistoryStore.h"

#include <QAbstractTableModel>

#include <vector>

class DriversModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { CardNumber, Holder, LastDownload, DaysSince, Due, ColumnCount };
    enum Role {
        SortRole = Qt::UserRole, // the raw value a column sorts by
        DueRole, // bool: the card is due for download
    };

    using QAbstractTableModel::QAbstractTableModel;

    void setRows(std::vector<DriverRow> rows);
    const DriverRow &row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    QVariant sortValue(const DriverRow &row, int column) const;

    std::vector<DriverRow> m_rows;
};
