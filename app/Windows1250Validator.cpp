#include "app/Windows1250Validator.h"

#include "download/Windows1250.h"

Windows1250Validator::Windows1250Validator(QObject *parent)
    : QValidator(parent)
{ }

QValidator::State Windows1250Validator::validate(QString &input, int &pos) const
{
    Q_UNUSED(pos);
    return canHold(input) ? Acceptable : Invalid;
}

bool Windows1250Validator::canHold(const QString &text)
{
    for (const QChar c : text) {
        // The C0 and C1 controls and DEL: some of them Windows-1250 maps, but no credential has them.
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F))
            return false;
    }
    bool complete = false;
    toWindows1250(text, &complete);
    return complete;
}
