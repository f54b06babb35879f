#pragma once

// The "Karta" tab: the holder of the card in the reader, the card's last download, a run's
// progress and the read button, centred in the design's proportions at any size.

#include <QWidget>

class QLabel;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class RunProgressBar;

class CardPage : public QWidget
{
    Q_OBJECT

public:
    explicit CardPage(QWidget *parent = nullptr);

    // The design's fixed lengths at this scale.
    void applyScale(double scale);
    // Hidden while no run is in progress (total 0).
    void setProgress(int done, int total);

    QLabel *CardInfoLabel = nullptr;
    // Under the holder: the card's last complete download and whether it is due.
    QLabel *CardHistoryLabel = nullptr;
    RunProgressBar *CardProgressBar = nullptr;
    QPushButton *CardReadButton = nullptr;

private:
    QVBoxLayout *m_layout = nullptr;
    // Between the holder and the card's last download.
    QSpacerItem *m_holderGap = nullptr;
};
