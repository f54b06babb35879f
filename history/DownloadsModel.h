#pragma once

// The downloads list of the history tab, with each file's upload state.

#include "history/DownloadRecord.h"
#include "history/SnapshotTableModel.h"

#include <vector>

class DownloadsModel : public SnapshotTableModel<DownloadRecord>
{
    Q_OBJECT

public:
    enum Column { Time, CardNumber, Holder, Generation, File, Outcome, Verification, Upload, ColumnCount };
    enum Role {
        SortRole = Qt::UserRole, // the raw value a column sorts by
        FolderRole, // the folder the file was written to, for opening it
        FilePathRole,
    };

    using SnapshotTableModel::SnapshotTableModel;

    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
};

// "12. 11. 2026 9:30" in local time.
QString czechDateTime(const QDateTime &time);
