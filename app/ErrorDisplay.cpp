#include "app/ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>

QString ErrorDisplayText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}

void ShowApplicationError(const QString &message)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle, ErrorDisplayText(message), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}
