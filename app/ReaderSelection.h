#pragma once

#include <QObject>
#include <QStringList>

// Which reader is listed, chosen and watched. The stored reader (from the settings, then the one
// last confirmed) is watched whenever it is listed; else the reader watched so far, while it is;
// else the first. A reader is changed in two steps: "Změnit" forgets the card, "Vybrat" watches
// the reader picked meanwhile.
class ReaderSelection : public QObject
{
    Q_OBJECT

public:
    explicit ReaderSelection(QObject *parent = nullptr);

    void setSavedReader(const QString &name) { m_savedReader = name; }
    const QStringList &readers() const { return m_readers; }
    int currentIndex() const { return m_current; }
    QString currentReader() const;
    // Empty while none is listed.
    const QString &watchedReader() const { return m_watchedReader; }
    bool choosing() const { return m_choosing; }

    // The user's pick in the list.
    void pick(int index) { m_current = index; }

    // The list read at the start.
    void firstList(bool listed, const QStringList &readers);
    // A list read later: readers that came or went.
    void follow(bool listed, const QStringList &readers);
    // The reader button, while no work runs.
    void toggleChoice();

    // Readers came or went: true when the list is to be read now; else it is read once the
    // listing or the work that runs (busy) has ended.
    bool listWanted(bool busy);
    void listArrived() { m_listing = false; }
    void listChangedMeanwhile() { m_changedMeanwhile = true; }
    bool takeChangedMeanwhile() { return std::exchange(m_changedMeanwhile, false); }

signals:
    void listChanged(const QStringList &readers, int current);
    void choosingChanged(bool choosing);
    // The monitor is to watch this reader; none when empty.
    void watch(const QString &reader);
    // The card of the reader watched so far counts no more.
    void cardForgotten();
    // The card connection of the reader watched so far is to end.
    void cardReleased();
    // Readers are listed again after none was.
    void readersFound();
    void logLine(const QString &line);
    void status(const QString &text);
    void cardInfo(const QString &text);

private:
    void startWatching(const QString &reader);
    void setChoosing(bool choosing);

    QStringList m_readers;
    int m_current = -1;
    QString m_savedReader;
    QString m_watchedReader;
    bool m_choosing = false;
    bool m_listing = false;
    bool m_changedMeanwhile = false;
};
