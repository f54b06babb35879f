#include "app/MainUnit.h"

TMainForm::TMainForm(QWidget *parent)
    : QWidget(parent)
{
}
