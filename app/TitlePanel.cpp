#include "app/TitlePanel.h"

#include "app/WindowScale.h"

#include <QHBoxLayout>
#include <QLabel>

TitlePanel::TitlePanel(const QString &title, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TopPanel"));
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/korvan/logo.png")));
    // The logo grows with the window.
    Image1->setScaledContents(true);
    Label1 = new QLabel(title, this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(QFont(QStringLiteral("Arial")));
    QPalette grey = Label1->palette();
    grey.setColor(QPalette::WindowText, Qt::gray);
    Label1->setPalette(grey);
    m_layout = new QHBoxLayout(this);
    m_layout->addWidget(Image1);
    m_layout->addWidget(Label1, 0, Qt::AlignTop);
    m_layout->addStretch(1);
    applyScale(1.0);
}

void TitlePanel::applyScale(double scale)
{
    using WindowScale::scaled;
    setFixedHeight(scaled(73, scale));
    m_layout->setContentsMargins(scaled(8, scale), scaled(8, scale), scaled(8, scale), scaled(8, scale));
    Image1->setFixedSize(scaled(91, scale), scaled(57, scale));
    // The title starts 152 from the window's edge, its cell 24 from the top.
    m_layout->setSpacing(scaled(152 - 8 - 91, scale));
    QFont titleFont = Label1->font();
    // A cell height of 24 pixels, as the title was designed.
    titleFont.setPixelSize(scaled(21, scale));
    Label1->setFont(titleFont);
    Label1->setContentsMargins(0, scaled(24 - 8, scale), 0, 0);
}
