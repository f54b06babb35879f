#include "verify/Verdict.h"

const char *findingKindName(FindingKind kind)
{
    switch (kind) {
    case FindingKind::Malformed:
        return "malformed";
    case FindingKind::OutsideValidity:
        return "outside validity";
    case FindingKind::UnknownRoot:
        return "unknown root";
    case FindingKind::BrokenChain:
        return "broken chain";
    case FindingKind::WrongAuthorisation:
        return "wrong authorisation";
    case FindingKind::SignatureInvalid:
        return "signature invalid";
    case FindingKind::SignatureMissing:
        return "signature missing";
    case FindingKind::FileMissing:
        return "file missing";
    }
    return "unknown";
}
