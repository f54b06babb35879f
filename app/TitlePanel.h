#pragma once

// The white band at the top of the window: the company's logo and the program's title.

#include <QWidget>

class QHBoxLayout;
class QLabel;

class TitlePanel : public QWidget
{
    Q_OBJECT

public:
    explicit TitlePanel(const QString &title, QWidget *parent = nullptr);

    void applyScale(double scale);

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;

private:
    QHBoxLayout *m_layout = nullptr;
};
