#pragma once

#include <cstdint>
#include <string>

namespace TachoCard {

// The English sentence for a PC/SC result code, as written to the log.
std::string SCardErrorText(std::uint32_t code);

} // namespace TachoCard
