#pragma once

// The "Ladící informace" tab: every exchange with the card, line by line. Lines are added in
// batches, and the oldest go once more than MaximumLines are kept, so that a long session neither
// slows a download nor grows without end.

#include <QStringList>
#include <QWidget>

class QPlainTextEdit;
class QVBoxLayout;

class LogPane : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MaximumLines = 20000;
    // The oldest lines go in one step once this many more have come: removing them one at a time
    // as each new line comes would cost more than the lines themselves.
    static constexpr int TrimStep = 5000;

    explicit LogPane(QWidget *parent = nullptr);

    void applyScale(double scale);

    void append(const QString &line);
    // Adds the lines gathered so far now rather than when window events next run.
    void flush();
    void clear();

    QPlainTextEdit *LogMemo = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void trim();

    QVBoxLayout *m_layout = nullptr;
    QStringList m_pending;
    // Lines also go to standard error when KORVAN_LOG_TO_STDERR is set (the demo, support).
    bool m_toStandardError = false;
};
