#include "app/CardPage.h"

#include "app/RunProgressBar.h"
#include "app/WindowScale.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The design's vertical rhythm: the room above the holder, between the card's line and the
// progress, between the progress and the button, and below the button.
constexpr int AboveHolder = 84;
constexpr int AboveProgress = 13;
constexpr int AboveButton = 27;
constexpr int BelowButton = 19;

QLabel *centredLine(const char *name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignCenter);
    // The holder's name is the card's bytes: a "<b>" among them is text, not markup.
    label->setTextFormat(Qt::PlainText);
    // A long name is cut at the window's edge rather than widening the window.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

} // namespace

CardPage::CardPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CardSheet"));
    CardInfoLabel = centredLine("CardInfoLabel", QStringLiteral("není vložena žádná karta"), this);
    CardHistoryLabel = centredLine("CardHistoryLabel", QString(), this);
    CardProgressBar = new RunProgressBar(this);
    CardProgressBar->setObjectName(QStringLiteral("CardProgressBar"));
    CardProgressBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // The button stays where it is when the progress is hidden.
    QSizePolicy keepRoom = CardProgressBar->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    CardProgressBar->setSizePolicy(keepRoom);
    CardProgressBar->hide();
    CardReadButton = new QPushButton(QStringLiteral("Vyčíst kartu"), this);
    CardReadButton->setObjectName(QStringLiteral("CardReadButton"));
    CardReadButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    m_layout = new QVBoxLayout(this);
    m_layout->setSpacing(0);
    m_layout->addStretch(AboveHolder);
    m_layout->addWidget(CardInfoLabel);
    m_holderGap = new QSpacerItem(0, 5, QSizePolicy::Minimum, QSizePolicy::Fixed);
    m_layout->addSpacerItem(m_holderGap);
    m_layout->addWidget(CardHistoryLabel);
    m_layout->addStretch(AboveProgress);
    m_layout->addWidget(CardProgressBar);
    m_layout->addStretch(AboveButton);
    m_layout->addWidget(CardReadButton, 0, Qt::AlignHCenter);
    m_layout->addStretch(BelowButton);
    applyScale(1.0);
}

void CardPage::applyScale(double scale)
{
    using WindowScale::scaled;
    m_layout->setContentsMargins(scaled(8, scale), 0, scaled(8, scale), 0);
    m_holderGap->changeSize(0, scaled(5, scale), QSizePolicy::Minimum, QSizePolicy::Fixed);
    for (QLabel *line : {CardInfoLabel, CardHistoryLabel})
        line->setMinimumHeight(scaled(15, scale));
    CardProgressBar->setFixedHeight(scaled(17, scale));
    CardReadButton->setMinimumSize(scaled(105, scale), scaled(25, scale));
    m_layout->invalidate();
}

void CardPage::setProgress(int done, int total)
{
    CardProgressBar->setVisible(total > 0);
    if (total > 0) {
        CardProgressBar->setRange(total);
        CardProgressBar->setValue(done);
    }
}
