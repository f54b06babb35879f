#pragma once

// Where a driver card keeps its number and its holder in EF Identification, the same in both
// applications.

#include <cstddef>
#include <cstdint>
#include <span>

namespace IdentificationFields {

struct Field
{
    std::size_t offset;
    std::size_t size;
};

inline constexpr Field IssuingMemberState{0, 1};
inline constexpr Field CardNumber{1, 16};
inline constexpr Field Surname{66, 35};
inline constexpr Field FirstNames{102, 35};

// The field's bytes up to its first zero byte, within the bytes that were read: a card that was
// pulled mid-read leaves a field short or empty.
std::span<const std::uint8_t> bytes(std::span<const std::uint8_t> identification, Field field);

} // namespace IdentificationFields
