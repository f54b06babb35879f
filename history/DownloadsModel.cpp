#include "history/DownloadsModel.h"

#include "history/DueRule.h"

QString czechDateTime(const QDateTime &time)
{
    const QDateTime local = time.toLocalTime();
    return czechDate(local.date()) + u' ' + local.time().toString(QStringLiteral("H:mm"));
}

int DownloadsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

namespace {

// Texts sort as texts, the rest by number.
QVariant sortValue(const DownloadRecord &record, int column)
{
    switch (column) {
    case DownloadsModel::Time:
        return record.timeUtc.toMSecsSinceEpoch();
    case DownloadsModel::CardNumber:
        return record.card.cardNumber;
    case DownloadsModel::Holder:
        return record.card.surname + u' ' + record.card.firstNames;
    case DownloadsModel::Generation:
        return qint64{record.generation * 10 + record.version};
    case DownloadsModel::File:
        return record.fileName;
    case DownloadsModel::Outcome:
        return qint64{static_cast<int>(record.outcome)};
    case DownloadsModel::Verification:
        return record.verdict ? qint64{static_cast<int>(*record.verdict)} : qint64{-1};
    case DownloadsModel::Upload:
        return qint64{static_cast<int>(record.uploadState)};
    }
    return {};
}

} // namespace

QVariant DownloadsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const DownloadRecord &record = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case SortRole:
        return sortValue(record, index.column());
    case FolderRole:
        return record.folder;
    case FilePathRole:
        return record.filePath();
    case Qt::DisplayRole:
        break;
    default:
        return {};
    }
    switch (index.column()) {
    case Time:
        return czechDateTime(record.timeUtc);
    case CardNumber:
        return record.card.cardNumber;
    case Holder:
        return record.card.holder();
    case Generation:
        return generationText(record.generation, record.version);
    case File:
        return record.fileName;
    case Outcome:
        return outcomeText(record.outcome);
    case Verification:
        return verdictText(record.verdict);
    case Upload:
        return uploadStateText(record);
    }
    return {};
}

QVariant DownloadsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return QStringLiteral("Čas");
    case CardNumber:
        return QStringLiteral("Číslo karty");
    case Holder:
        return QStringLiteral("Držitel");
    case Generation:
        return QStringLiteral("Generace");
    case File:
        return QStringLiteral("Soubor");
    case Outcome:
        return QStringLiteral("Výsledek");
    case Verification:
        return QStringLiteral("Podpisy");
    case Upload:
        return QStringLiteral("Odeslání");
    }
    return {};
}
