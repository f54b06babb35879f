#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vcard {

// UTF-8 text as Windows-1250 bytes, the encoding in which the program shows the card's names.
// No value for invalid UTF-8 or a character that Windows-1250 lacks.
std::optional<std::string> utf8ToWindows1250(std::string_view utf8);

} // namespace vcard
