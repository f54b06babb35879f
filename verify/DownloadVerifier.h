#pragma once

// Verification of a written download file from its own bytes, up to the trusted roots: the
// first-generation chain (member-state certificate under a European key, card certificate under
// the member-state key) and the second-generation chain (card signing certificate, member-state
// certificate, European root, through a link certificate when the member-state certificate was
// issued under a later root), the validity of each certificate at the time of the download, and
// the card's signature over each signed file.

#include "verify/TrustStore.h"
#include "verify/Verdict.h"

#include <chrono>
#include <cstdint>
#include <span>

// Always a verdict, whatever the bytes.
Verdict verifyDownload(std::span<const std::uint8_t> file, const TrustStore &trust,
                       std::chrono::sys_seconds downloadTime);
