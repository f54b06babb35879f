#include "app/ErrorDisplay.h"
#include "app/MainUnit.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("korvan"));
    QApplication::setApplicationDisplayName(ApplicationTitle);
    QApplication::setDesktopFileName(QStringLiteral("korvan"));
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/korvan/icon-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    TMainForm MainForm;
    MainForm.show();
    return application.exec();
}
