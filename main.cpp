#include "app/CommandLine.h"
#include "app/ErrorDisplay.h"
#include "app/MainUnit.h"
#include "app/QtTranslation.h"
#include "app/TerminationSignals.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    if (const std::optional<int> answered = answerInformationOptions(argc, argv))
        return *answered;

    QApplication application(argc, argv);
    installCzechQtTranslation(application);
    QApplication::setApplicationName(QStringLiteral("korvan"));
    QApplication::setApplicationDisplayName(ApplicationTitle);
    QApplication::setDesktopFileName(QStringLiteral("korvan"));
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addFile(QStringLiteral(":/korvan/icon-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    TMainForm MainForm;
    closeOnTerminationSignals(MainForm);
    MainForm.show();
    return application.exec();
}
