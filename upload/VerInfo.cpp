#include "upload/VerInfo.h"

QString TVersionInfo::FileVersionText()
{
    return QStringLiteral(KORVAN_VERSION);
}
