#include "app/ReaderSelection.h"

namespace {

// The stored reader's name is matched as the user may have typed it: without regard to case.
int indexIgnoringCase(const QStringList &list, const QString &name)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list[i].compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

ReaderSelection::ReaderSelection(QObject *parent)
    : QObject(parent)
{ }

QString ReaderSelection::currentReader() const
{
    return m_current >= 0 && m_current < m_readers.size() ? m_readers[m_current] : QString();
}

void ReaderSelection::firstList(bool listed, const QStringList &readers)
{
    if (!listed) {
        emit cardInfo(QStringLiteral("čtečka nenalezena"));
        // A reader plugged in later, or a service started later, is seen by the monitor.
        startWatching(QString());
        return;
    }
    m_readers = readers;
    m_current = readers.isEmpty() ? -1 : 0;
    if (m_readers.size() > 1) {
        const int saved = indexIgnoringCase(m_readers, m_savedReader);
        if (!m_savedReader.isEmpty() && saved >= 0)
            m_current = saved;
    }
    emit listChanged(m_readers, m_current);
    setChoosing(false);
    startWatching(currentReader());
}

// A reader that goes is said in the status bar, and its card forgotten.
void ReaderSelection::follow(bool listed, const QStringList &readers)
{
    const QStringList list = listed ? readers : QStringList();
    if (list == m_readers)
        return;
    for (const QString &name : m_readers) {
        if (!list.contains(name))
            emit logLine(QStringLiteral("Card reader removed: ") + name);
    }
    for (const QString &name : list) {
        if (!m_readers.contains(name))
            emit logLine(QStringLiteral("Card reader added: ") + name);
    }

    const QString picked = currentReader();
    m_readers = list;
    m_current = list.isEmpty() ? -1 : 0;
    if (!m_watchedReader.isEmpty() && !list.contains(m_watchedReader)) {
        emit cardForgotten();
        emit status(QStringLiteral("Čtečka karet byla odpojena"));
    }
    if (list.isEmpty()) {
        emit listChanged(m_readers, m_current);
        setChoosing(false);
        emit cardInfo(QStringLiteral("čtečka nenalezena"));
        if (!m_watchedReader.isEmpty())
            startWatching(QString());
        return;
    }
    emit readersFound();

    int index = -1;
    if (m_choosing) {
        // The user's pick stays; the monitor follows when it is confirmed.
        index = static_cast<int>(list.indexOf(picked));
    } else {
        if (!m_savedReader.isEmpty())
            index = indexIgnoringCase(list, m_savedReader);
        if (index < 0)
            index = static_cast<int>(list.indexOf(m_watchedReader));
    }
    m_current = std::max(index, 0);
    emit listChanged(m_readers, m_current);
    if (!m_choosing && currentReader() != m_watchedReader) {
        emit cardForgotten();
        startWatching(currentReader());
    }
}

// Changing the reader ends the connection to the card and forgets it: the card of the reader
// confirmed with "Vybrat" is identified afresh, and until then no card counts as present.
void ReaderSelection::toggleChoice()
{
    if (!m_choosing) {
        emit cardReleased();
        emit cardForgotten();
        setChoosing(true);
    } else {
        setChoosing(false);
        m_savedReader = currentReader();
        startWatching(currentReader());
    }
}

bool ReaderSelection::listWanted(bool busy)
{
    if (m_listing || busy) {
        m_changedMeanwhile = true;
        return false;
    }
    m_listing = true;
    return true;
}

void ReaderSelection::startWatching(const QString &reader)
{
    m_watchedReader = reader;
    emit watch(reader);
}

void ReaderSelection::setChoosing(bool choosing)
{
    m_choosing = choosing;
    emit choosingChanged(choosing);
}
