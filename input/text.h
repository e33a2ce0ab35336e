#pragma once

#include <string>
#include <string_view>

namespace vexel::input {

// Replaces every ill-formed UTF-8 sequence by U+FFFD; valid text is handed
// back without a copy.
std::string toValidUtf8(std::string bytes);

// Strips leading and trailing Unicode space separators and tabs; line breaks stay.
std::string_view trimSpaces(std::string_view utf8);

// Full Unicode lower-case mapping, locale independent.
std::string toLower(std::string_view utf8);

// The UTF-16 code units of valid UTF-8 text.
std::u16string toUtf16(std::string_view utf8);

}  // namespace vexel::input
