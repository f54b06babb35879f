#pragma once

// The window's status bar: the outcome for the user to read, the card's connection, and how many
// files wait to be sent. Each panel is as wide as the longest text the program puts there.

#include <QStatusBar>

class StatusPanel;

class StatusLine : public QStatusBar
{
    Q_OBJECT

public:
    explicit StatusLine(QWidget *parent = nullptr);

    void applyScale(double scale);

    // Panel 0: the status; panel 1: the card's connection.
    QString text(int panel) const;
    void setStatus(const QString &text);
    void setCardPanel(const QString &text);
    void showUploadsWaiting(int count);

private:
    StatusPanel *m_status = nullptr;
    StatusPanel *m_cardPanel = nullptr;
    StatusPanel *m_uploadsPanel = nullptr;
};
