#pragma once

// A table of the history tab over a snapshot of rows (setRows): it never touches the database, so
// it can live on the window's thread. Sorting is stable and the selection follows its rows.

#include <QAbstractTableModel>

#include <algorithm>
#include <numeric>
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
    template<typename Less>
    void sortRows(Less less)
    {
        std::vector<int> positions(m_rows.size());
        std::iota(positions.begin(), positions.end(), 0);
        std::stable_sort(positions.begin(), positions.end(), [&](int a, int b) {
            return less(m_rows[static_cast<std::size_t>(a)], m_rows[static_cast<std::size_t>(b)]);
        });
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        std::vector<int> newRowOf(m_rows.size());
        std::vector<Row> sorted;
        sorted.reserve(m_rows.size());
        for (std::size_t position = 0; position < positions.size(); ++position) {
            newRowOf[static_cast<std::size_t>(positions[position])] = static_cast<int>(position);
            sorted.push_back(std::move(m_rows[static_cast<std::size_t>(positions[position])]));
        }
        m_rows = std::move(sorted);
        const QModelIndexList before = persistentIndexList();
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex &index : before)
            after.append(this->index(newRowOf[static_cast<std::size_t>(index.row())], index.column()));
        changePersistentIndexList(before, after);
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    std::vector<Row> m_rows;
};
