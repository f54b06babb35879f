#pragma once

// The drivers list of the history tab: one row per card.

#include "history/HistoryStore.h"
#include "history/SnapshotTableModel.h"

#include <vector>

class DriversModel : public SnapshotTableModel<DriverRow>
{
    Q_OBJECT

public:
    enum Column { CardNumber, Holder, LastDownload, DaysSince, Due, ColumnCount };
    enum Role {
        SortRole = Qt::UserRole, // the raw value a column sorts by
        DueRole, // bool: the card is due for download
    };

    using SnapshotTableModel::SnapshotTableModel;

    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QVariant sortValue(const DriverRow &row, int column) const;
};
