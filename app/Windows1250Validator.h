#pragma once

// For the three credential edits: they are stored and sent as Windows-1250 bytes, so a character
// that Windows-1250 cannot hold would silently turn into another one. Such input, and control
// characters, are refused as they are typed or pasted.

#include <QValidator>

class Windows1250Validator : public QValidator
{
    Q_OBJECT

public:
    explicit Windows1250Validator(QObject *parent = nullptr);

    State validate(QString &input, int &pos) const override;

    // The same test without a validator object, for checks outside an edit.
    static bool canHold(const QString &text);
};
