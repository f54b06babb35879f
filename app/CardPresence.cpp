#include "app/CardPresence.h"

#include "card/WinSCard.h"

CardPresence::CardPresence(QObject *parent)
    : QObject(parent)
{ }

void CardPresence::PostCardState(const TachoCard::CardNotice &notice)
{
    QMetaObject::invokeMethod(
            this, [this, notice] { handle(notice); }, Qt::QueuedConnection);
}

void CardPresence::handle(const TachoCard::CardNotice &notice)
{
    // A notice still queued when the session closed finds the card layer already released.
    if (m_closed)
        return;
    // A monitor that was replaced may still have been waiting on the former reader.
    if (notice.monitor != m_monitorTag)
        return;
    if (checkService(notice.result))
        cardState(notice);
    if (notice.readersChanged)
        emit readersChanged();
}

// The smart-card service can stop (an update, a crash, systemd's idle exit) and come back. While
// it is gone no card counts as present; the monitor establishes a new context when the service is
// back, and its first notice then tells the reader's state afresh.
bool CardPresence::checkService(std::uint32_t result)
{
    if (TachoCard::isServiceLost(result)) {
        if (!m_serviceLost) {
            m_serviceLost = true;
            forget();
            emit serviceLost();
        }
        return false;
    }
    if (m_serviceLost && result == 0) {
        m_serviceLost = false;
        emit serviceBack();
    }
    return true;
}

// Notices become edges through the presence and the reader's event counter: only the first notice
// that shows a card inserts it, only the first that shows none removes it, and a notice that shows
// a card under a counter that has moved on since is another card, however late it is handled.
void CardPresence::cardState(const TachoCard::CardNotice &notice)
{
    if ((notice.eventState & SCARD_STATE_CHANGED) == 0)
        return;
    if (m_choosingReader)
        return;
    if ((notice.eventState & SCARD_STATE_PRESENT) == 0) {
        forget();
        return;
    }
    const std::uint32_t counter = notice.eventCounter();
    if (m_present && counter == m_cardCounter)
        return;
    if (m_insertionPending && counter == m_pendingCounter)
        return;
    remove();
    if (m_busy) {
        // Identifying it now would replace the download being built or sent.
        m_insertionPending = true;
        m_pendingCounter = counter;
        return;
    }
    insert(counter, false);
}

void CardPresence::forget()
{
    m_insertionPending = false;
    remove();
}

bool CardPresence::takePendingInsertion()
{
    if (!std::exchange(m_insertionPending, false))
        return false;
    insert(m_pendingCounter, true);
    return true;
}

void CardPresence::remove()
{
    if (!m_present)
        return;
    m_present = false;
    emit cardRemoved();
}

void CardPresence::insert(std::uint32_t counter, bool deferred)
{
    m_present = true;
    m_cardCounter = counter;
    emit cardInserted(deferred);
}
