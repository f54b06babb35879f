#pragma once

// A table of the history tab over a snapshot of rows (setRows): it never touches the database, so
// it can live on the window's thread. A HistorySortModel over it gives the order its view shows.

#include <QAbstractTableModel>

#include <vector>

template<typename Row>
class SnapshotTableModel : public QAbstractTableModel
{
public:
    using QAbstractTableModel::QAbstractTableModel;

    void setRows(std::vector<Row> rows)
    {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    }
    const Row &row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }

protected:
    std::vector<Row> m_rows;
};
