#pragma once

// What the verification of a download found: an overall result, one result per generation, every
// finding with the certificate or file it concerns, and the lines for the log.

#include "verify/TrustStore.h"

#include <string>
#include <vector>

enum class FindingKind {
    Malformed, // the download's records, a certificate or a signature cannot be read
    OutsideValidity, // a certificate not valid at the time of the download
    UnknownRoot, // a chain that ends at no trusted root
    BrokenChain, // a certificate not issued by the one above it
    WrongAuthorisation, // a certificate whose holder authorisation does not fit its place
    SignatureInvalid, // a file whose signature does not verify with the card's key
    SignatureMissing, // a signed file without its signature
    FileMissing, // a certificate or a file that a driver card's download must hold
};

struct Finding
{
    FindingKind kind;
    int generation; // 1 or 2; 0 for the download file as a whole
    std::string item; // title of the certificate or file
    std::string text; // what is wrong, as in the log line
};

enum class GenerationStatus { Absent, Verified, Failed };

struct GenerationResult
{
    GenerationStatus status = GenerationStatus::Absent;
    RootKind root = RootKind::European; // the root the chain ends at, when verified
};

enum class Overall { VerifiedEuropeanRoot, VerifiedTestRoot, Failed };

struct Verdict
{
    Overall overall = Overall::Failed;
    GenerationResult firstGeneration;
    GenerationResult secondGeneration;
    std::vector<Finding> findings; // in the order of the lines
    std::vector<std::string> lines; // one per certificate and per file, in the style of the log

    // The first failing item, or null when everything verified.
    const Finding *firstFailure() const { return findings.empty() ? nullptr : &findings.front(); }
};

const char *findingKindName(FindingKind kind);
