#pragma once

// The downloads list of the history tab, newest first, with each file's upload state. Holds a
// snapshot (setRows), so it never touches the database itself and can live on the window's thread.

#include "history/DownloadRecord.h"

#include <QAbstractTableModel>

#include <vector>

class DownloadsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, CardNumber, Holder, Generation, File, Outcome, Verification, Upload, ColumnCount };
    enum Role {
        SortRole = Qt::UserRole, // the raw value a column sorts by
        FolderRole, // the folder the file was written to, for opening it
        FilePathRole,
    };

    using QAbstractTableModel::QAbstractTableModel;

    void setRows(std::vector<DownloadRecord> rows);
    const DownloadRecord &row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }
    QString folderAt(int index) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    std::vector<DownloadRecord> m_rows;
};

// "12. 11. 2026 9:30" in local time.
QString czechDateTime(const QDateTime &time);
