#pragma once

#include <QString>
#include <QWidget>

// One panel of the status bar: a line of text in the width the bar gives it. A label would measure
// its text again at every change to offer the bar a new size; the status changes twice for every
// file of a download run.
class StatusPanel : public QWidget
{
    Q_OBJECT

public:
    explicit StatusPanel(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
};
