#include "app/RunProgressBar.h"

#include <QPainter>

#include <algorithm>

RunProgressBar::RunProgressBar(QWidget *parent)
    : QWidget(parent)
{
    // It paints every pixel: nothing below it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void RunProgressBar::setRange(int maximum)
{
    if (maximum == m_maximum)
        return;
    m_maximum = std::max(maximum, 1);
    update();
}

void RunProgressBar::setValue(int value)
{
    value = std::clamp(value, 0, m_maximum);
    if (value == m_value)
        return;
    m_value = value;
    update();
    emit valueChanged(value);
}

void RunProgressBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
    const QRect inside = frame.adjusted(2, 2, -1, -1);
    const auto done = static_cast<long long>(m_value) * inside.width() / m_maximum;
    painter.fillRect(QRect(inside.left(), inside.top(), static_cast<int>(done), inside.height()),
                     palette().color(QPalette::Highlight));
}
