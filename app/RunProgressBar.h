#pragma once

#include <QWidget>

// How far a download run has come. A style's progress bar paints gradients and rounded chunks, at
// once for every step, which costs as much as all the rest of a run's window work together; this
// one paints a frame and the filled part in the palette's colours when window events next run.
class RunProgressBar : public QWidget
{
    Q_OBJECT

public:
    explicit RunProgressBar(QWidget *parent = nullptr);

    int value() const { return m_value; }
    int maximum() const { return m_maximum; }
    void setRange(int maximum);
    void setValue(int value);

signals:
    void valueChanged(int value);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_value = 0;
    int m_maximum = 1;
};
