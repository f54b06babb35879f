#include "cardmodel/ApplicationIdentification.h"

namespace ApplicationIdentification {

bool isDriverCard(std::span<const std::uint8_t> content)
{
    return !content.empty() && content[0] == DriverCardType;
}

int secondGenerationVersion(std::span<const std::uint8_t> content)
{
    if (content.size() < 3 || content[1] != 0x01)
        return 0;
    switch (content[2]) {
    case 0x00:
        return 1;
    case 0x01:
        return 2;
    default:
        return 0;
    }
}

} // namespace ApplicationIdentification
