#include "app/MainUnit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    TMainForm MainForm;
    MainForm.show();
    return application.exec();
}
