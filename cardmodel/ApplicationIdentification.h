#pragma once

// What EF Application_Identification says of the card: its type (byte 0) and, in the
// second-generation application, the version of its structure (bytes 1 and 2).

#include <cstdint>
#include <span>

namespace ApplicationIdentification {

inline constexpr std::uint8_t DriverCardType = 1;

bool isDriverCard(std::span<const std::uint8_t> content);

// The version of a second-generation card: 1 for the structure 01 00, 2 for 01 01; 0 for any
// other structure and for bytes too short to tell, so that no later structure passes for one
// that is known.
int secondGenerationVersion(std::span<const std::uint8_t> content);

} // namespace ApplicationIdentification
