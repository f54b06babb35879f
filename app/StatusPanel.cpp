#include "app/StatusPanel.h"

#include <QPainter>

namespace {

constexpr int TextMargin = 2;

} // namespace

StatusPanel::StatusPanel(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
}

void StatusPanel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    // The panel is narrower than the longest texts.
    setToolTip(text);
    update();
}

QSize StatusPanel::sizeHint() const
{
    return {minimumWidth(), fontMetrics().height() + 2 * TextMargin};
}

void StatusPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (m_text.isEmpty())
        return;
    const QRect area = rect().adjusted(TextMargin, 0, -TextMargin, 0);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(m_text, Qt::ElideRight, area.width()));
}
