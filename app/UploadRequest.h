#pragma once

#include "upload/HttpClient.h"

#include <QByteArray>
#include <QString>

// What the window hands over for an upload: the texts of the settings edits as they stand when
// the user answered the question, and the download the question was about.
struct UploadRequest
{
    QString company;
    QString user;
    QString password;
    QString fileName;
    HttpLimits limits;
    // The history's row of the download; 0 when it has none (the history could not record it).
    qint64 downloadId = 0;
    // The bytes written, sent as they are when the history cannot take part.
    QByteArray data;
};
