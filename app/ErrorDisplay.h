#pragma once

#include <QString>

#include <exception>
#include <new>
#include <stdexcept>

// The application's title: the window caption and the caption of every message box.
inline const QString ApplicationTitle = QStringLiteral("Vyčítání karet řidičů");

// An unexpected failure with a text for the user (a file that cannot be written, for instance).
class ApplicationError : public std::runtime_error
{
public:
    explicit ApplicationError(const QString &text)
        : std::runtime_error(text.toStdString())
        , m_text(text)
    { }
    const QString &text() const noexcept { return m_text; }

private:
    QString m_text;
};

// The text as the error box shows it: a full stop is added when the last character's code lies
// above that of the full stop ("Disk full" becomes "Disk full.", "done." and "a-" stay).
QString ErrorDisplayText(const QString &message);

// Shows the error box: error icon, OK button, the application title as caption.
void ShowApplicationError(const QString &message);

// Every event handler, the card notice, start-up and shut-down run through this: what they throw
// ends that handler and is shown, and nothing crosses Qt's event code.
template<typename Handler>
void runGuarded(Handler &&handler) noexcept
{
    try {
        handler();
    } catch (const ApplicationError &error) {
        ShowApplicationError(error.text());
    } catch (const std::bad_alloc &) {
        ShowApplicationError(QStringLiteral("Out of memory"));
    } catch (const std::exception &error) {
        ShowApplicationError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unknown error"));
    }
}
