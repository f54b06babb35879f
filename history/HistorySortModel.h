#pragma once

// A table of the history tab in the order its view's header asks for: by each column's raw value
// (Qt::UserRole, which the history's models give), texts as the user's language orders them, rows
// of equal value in the order they came. The selection follows its rows.

#include <QSortFilterProxyModel>

class HistorySortModel : public QSortFilterProxyModel
{
public:
    explicit HistorySortModel(QObject *parent = nullptr)
        : QSortFilterProxyModel(parent)
    {
        setSortRole(Qt::UserRole);
        setSortLocaleAware(true);
    }
};
