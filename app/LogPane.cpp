#include "app/LogPane.h"

#include "app/WindowScale.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <cstdio>

LogPane::LogPane(QWidget *parent)
    : QWidget(parent)
    , m_toStandardError(qEnvironmentVariableIsSet("KORVAN_LOG_TO_STDERR"))
{
    setObjectName(QStringLiteral("LogSheet"));
    LogMemo = new QPlainTextEdit(this);
    LogMemo->setObjectName(QStringLiteral("LogMemo"));
    LogMemo->setReadOnly(true);
    LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setUndoRedoEnabled(false);
    m_layout = new QVBoxLayout(this);
    m_layout->addWidget(LogMemo);
    applyScale(1.0);
}

void LogPane::applyScale(double scale)
{
    const int margin = WindowScale::scaled(4, scale);
    m_layout->setContentsMargins(margin, margin, margin, margin);
}

// Appending one line at a time lays each out at once, also in a hidden tab, and dominates a
// download's own time; lines gathered until window events next run are added in one step. Nothing
// can be seen in between: the window is painted only when its events run.
void LogPane::append(const QString &line)
{
    // While the tab is not shown, its lines wait until it is, but never so many that opening the
    // tab would make the user wait.
    constexpr qsizetype HiddenLinesLimit = 5000;
    if ((m_pending.isEmpty() && LogMemo->isVisible()) || m_pending.size() == HiddenLinesLimit)
        QMetaObject::invokeMethod(this, &LogPane::flush, Qt::QueuedConnection);
    m_pending.append(line);
    if (m_toStandardError)
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
}

void LogPane::flush()
{
    if (m_pending.isEmpty())
        return;
    LogMemo->appendPlainText(m_pending.join(u'\n'));
    m_pending.clear();
    trim();
}

void LogPane::trim()
{
    QTextDocument *document = LogMemo->document();
    const int surplus = document->blockCount() - MaximumLines;
    if (surplus < TrimStep)
        return;
    QTextCursor cursor(document);
    cursor.setPosition(document->findBlockByNumber(surplus).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void LogPane::clear()
{
    m_pending.clear();
    LogMemo->clear();
}

void LogPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    flush();
}
