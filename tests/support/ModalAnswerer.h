#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the modal message boxes that appear while it lives, as a user would, and keeps their
// texts. Boxes are found on a short timer, so a box opened inside a nested event loop is answered.
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok);

    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    // Runs when a box is found, before it is answered: what the user does while it is open.
    void setBeforeAnswer(std::function<void(QMessageBox *)> action) { m_beforeAnswer = std::move(action); }
    const QStringList &texts() const { return m_texts; }
    const QStringList &titles() const { return m_titles; }
    QList<QMessageBox::Icon> icons() const { return m_icons; }
    // The texts of each box's buttons as shown, without their mnemonic marks.
    const QList<QStringList> &buttonTexts() const { return m_buttonTexts; }

private:
    void answerOpenBox();

    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
    QStringList m_texts;
    QStringList m_titles;
    QList<QMessageBox::Icon> m_icons;
    QList<QStringList> m_buttonTexts;
    std::function<void(QMessageBox *)> m_beforeAnswer;
    bool m_answering = false;
};
