#include "app/StatusLine.h"

#include "app/StatusPanel.h"
#include "app/WindowScale.h"
#include "upload/Upload.h"

#include <QLayout>

#include <algorithm>

namespace {

constexpr int DesignHeight = 19;
constexpr int CardPanelWidth = 80;
constexpr int PanelMargins = 2 * 2 + 2;

// The status texts that the status bar must show whole: the longest of those the program sets.
QStringList longestStatusTexts()
{
    return {UploadStatusText(200),
            UploadStatusText(401),
            QStringLiteral("Nelze odeslat soubor na server, chybí přihlašovací údaje"),
            QStringLiteral("Chyba při načítání: není vložena tachografová karta"),
            QStringLiteral("Chyba při načítání: nelze načíst identifikační soubor"),
            QStringLiteral("Čtení karty neúplné, nepodařilo se načíst soubor Control Activity Data"),
            QStringLiteral("Služba čipových karet není dostupná")};
}

const QStringList CardPanelTexts{QStringLiteral("Karta připojena"), QStringLiteral("Karta vložena")};

int widest(const QFontMetrics &metrics, const QStringList &texts)
{
    int width = 0;
    for (const QString &text : texts)
        width = std::max(width, metrics.horizontalAdvance(text));
    return width;
}

StatusPanel *panel(const char *name, QWidget *parent)
{
    auto *panel = new StatusPanel(parent);
    panel->setObjectName(QLatin1String(name));
    return panel;
}

} // namespace

StatusLine::StatusLine(QWidget *parent)
    : QStatusBar(parent)
{
    setObjectName(QStringLiteral("StatusBar"));
    setSizeGripEnabled(false);
    m_status = panel("StatusPanel0", this);
    m_status->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_cardPanel = panel("StatusPanel1", this);
    addWidget(m_status, 1);
    addWidget(m_cardPanel);
    m_uploadsPanel = panel("UploadsWaitingPanel", this);
    m_uploadsPanel->setFixedWidth(36);
    m_uploadsPanel->hide();
    addPermanentWidget(m_uploadsPanel);
}

void StatusLine::applyScale(double scale)
{
    using WindowScale::scaled;
    const QFontMetrics metrics = fontMetrics();
    setFixedHeight(std::max(scaled(DesignHeight, scale), metrics.height() + 2));
    m_status->setMinimumWidth(widest(metrics, longestStatusTexts()) + PanelMargins);
    m_cardPanel->setFixedWidth(std::max(scaled(CardPanelWidth, scale), widest(metrics, CardPanelTexts) + PanelMargins));
    // The bar lays its panels out in a layout of its own, which must count their new widths
    // before the window's does.
    if (layout() != nullptr)
        layout()->activate();
}

QString StatusLine::text(int panel) const
{
    return (panel == 0 ? m_status : m_cardPanel)->text();
}

void StatusLine::setStatus(const QString &text)
{
    m_status->setText(text);
}

void StatusLine::setCardPanel(const QString &text)
{
    m_cardPanel->setText(text);
}

void StatusLine::showUploadsWaiting(int count)
{
    m_uploadsPanel->setText(count > 0 ? QStringLiteral("↑ %1").arg(count) : QString());
    m_uploadsPanel->setToolTip(count > 0 ? QStringLiteral("Souborů čekajících na odeslání na server: %1").arg(count)
                                         : QString());
    m_uploadsPanel->setVisible(count > 0);
}
