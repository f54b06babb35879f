#pragma once

#include <QWidget>

class TMainForm : public QWidget
{
    Q_OBJECT

public:
    explicit TMainForm(QWidget *parent = nullptr);
};
