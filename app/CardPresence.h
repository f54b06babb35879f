#pragma once

#include "card/TachoCard.h"

#include <QObject>

#include <cstdint>

// Turns the card monitor's notices into the insertions and removals of a card: which notice is a
// new card, which one is the card shown going, which one waits for running work, and which one
// belongs to a monitor already replaced. The monitor hands its notices over here on its own
// thread; the decisions are made on this object's thread.
class CardPresence : public QObject, public TachoCard::CardStateReceiver
{
    Q_OBJECT

public:
    explicit CardPresence(QObject *parent = nullptr);

    // A new monitor is started: the notices of the ones before it are dropped from now on.
    std::uint32_t newMonitor() { return ++m_monitorTag; }
    std::uint32_t monitorTag() const { return m_monitorTag; }

    bool present() const { return m_present; }
    // A card was inserted while work ran; it is taken when the work has ended.
    bool insertionPending() const { return m_insertionPending; }
    bool serviceAvailable() const { return !m_serviceLost; }

    // Work runs: a card inserted now waits for it.
    void setBusy(bool busy) { m_busy = busy; }
    // The monitor still watches the former reader while another is being chosen.
    void setChoosingReader(bool choosing) { m_choosingReader = choosing; }

    // One notice of the current monitor, on this object's thread.
    void handle(const TachoCard::CardNotice &notice);
    // The reader watched goes or is being replaced: its card, and one waiting, count no more.
    void forget();
    // After work: the card that waited for it is inserted now. False when none waited.
    bool takePendingInsertion();
    // The card layer is released: notices still queued are dropped.
    void close() { m_closed = true; }

    // Called on the monitor's thread.
    void PostCardState(const TachoCard::CardNotice &notice) override;

signals:
    // The card shown went.
    void cardRemoved();
    // A card to identify; deferred: it waited for other work, which has just ended.
    void cardInserted(bool deferred);
    void serviceLost();
    void serviceBack();
    // Readers came or went: the list is to be read again.
    void readersChanged();

private:
    bool checkService(std::uint32_t result);
    void cardState(const TachoCard::CardNotice &notice);
    void remove();
    void insert(std::uint32_t counter, bool deferred);

    // The notices of the monitor started last carry this tag; older ones are dropped.
    std::uint32_t m_monitorTag = 0;
    bool m_present = false;
    // The reader's event counter when the card shown was inserted.
    std::uint32_t m_cardCounter = 0;
    bool m_insertionPending = false;
    std::uint32_t m_pendingCounter = 0;
    bool m_serviceLost = false;
    bool m_busy = false;
    bool m_choosingReader = false;
    bool m_closed = false;
};
