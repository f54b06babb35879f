#include "cardmodel/IdentificationFields.h"

#include <algorithm>

namespace IdentificationFields {

std::span<const std::uint8_t> bytes(std::span<const std::uint8_t> identification, Field field)
{
    if (field.offset >= identification.size())
        return {};
    const std::span<const std::uint8_t> whole =
            identification.subspan(field.offset, std::min(field.size, identification.size() - field.offset));
    return whole.first(static_cast<std::size_t>(std::find(whole.begin(), whole.end(), 0) - whole.begin()));
}

} // namespace IdentificationFields
