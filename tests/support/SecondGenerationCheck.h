#pragma once

// The tests' own check of a download's second-generation part: the card's CardSignCertificate
// chains up to a given root certificate (through the download's link certificate when the
// member-state certificate names another root), and every second-generation signature record
// is a valid ECDSA signature of the data record before it, under that certificate's key, with the
// hash the key's size calls for. Kept apart from the simulated card's signing code, so that a
// mistake in one does not hide in the other.

#include "support/DddFile.h"

#include <cstdint>
#include <span>
#include <vector>

class SecondGenerationCheck
{
public:
    // rootCertificate: a self-signed card-verifiable certificate of the trusted root.
    static DddCheck verify(const std::vector<DddRecord> &records, std::span<const std::uint8_t> rootCertificate);
};
