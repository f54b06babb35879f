#pragma once

// Driver cards hold names in Windows-1250, and the fleet server and the settings file expect the
// same bytes. The table is our own so that what is read, stored and sent never depends on which
// converters the Qt build carries, and so that the first name shown does not load a converter
// library's data.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Every byte decodes to one character. The five bytes the code page leaves undefined (81, 83, 88,
// 90, 98) become the C1 controls of the same number, as the system converters give them.
QString fromWindows1250(QByteArrayView bytes);

// A character without a byte (a surrogate pair counted as one, a lone surrogate too) becomes 1A
// and clears *complete.
QByteArray toWindows1250(QStringView text, bool *complete = nullptr);
