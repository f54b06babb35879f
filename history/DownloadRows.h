#pragma once

// The history's rows as SQL sees them: the columns of a download row, the statements that write a
// download and a card, and the conversions between records and bound values. Times are stored as
// UTC milliseconds, so that rows sort and compare as numbers.

#include "history/CardIdentity.h"
#include "history/DownloadRecord.h"

#include <QDateTime>
#include <QString>

class QSqlQuery;
class QVariant;

namespace DownloadRows {

qint64 toMs(const QDateTime &time);
// An invalid time for NULL.
QDateTime fromMs(const QVariant &value);
// NULL for an invalid time.
QVariant optionalMs(const QDateTime &time);
// Qt binds a null QString as NULL; the text columns hold '' instead.
QString notNull(const QString &text);

// The columns of a download row, in the order readDownload takes them.
extern const char DownloadColumns[];
DownloadRecord readDownload(const QSqlQuery &query);

// An INSERT of every column but the id, bound by bindDownload.
extern const char InsertDownload[];
void bindDownload(QSqlQuery &query, const DownloadRecord &record);

// The holder's names follow the latest card data; a card keeps its place however often it is seen.
extern const char UpsertCard[];
void bindCard(QSqlQuery &query, const CardIdentity &card, const QDateTime &time);

} // namespace DownloadRows
