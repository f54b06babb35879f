#include "support/ModalAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

ModalAnswerer::ModalAnswerer(QMessageBox::StandardButton answer)
    : m_answer(answer)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::answerOpenBox);
    m_timer.start(5);
}

void ModalAnswerer::answerOpenBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || m_answering)
        return;
    m_answering = true;
    if (m_beforeAnswer)
        m_beforeAnswer(box);
    m_answering = false;
    m_texts.append(box->text());
    m_titles.append(box->windowTitle());
    m_icons.append(box->icon());
    QStringList buttons;
    for (QAbstractButton *shown : box->buttons())
        buttons.append(shown->text().remove(u'&'));
    m_buttonTexts.append(buttons);
    QAbstractButton *button = box->button(m_answer);
    if (button != nullptr)
        button->click();
    else
        box->reject();
}
