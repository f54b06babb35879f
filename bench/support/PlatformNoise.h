#pragma once

#include <QString>
#include <QtGlobal>

#include <cstdio>

// The offscreen platform warns on every message box and window it shows; the figures need no such
// lines. Installed with qInstallMessageHandler.
inline void dropPlatformNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}
