#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vexel::input {

// The named keys of a US layout as both Linux providers type them: the macOS
// virtual key code each stands for, its evdev code and its two keysyms (the
// second is 0 for a key with one level).
struct NamedKey {
  std::uint16_t macCode = 0;
  std::uint32_t evdev = 0;
  std::uint32_t keysym = 0;
  std::uint32_t shiftedKeysym = 0;
};

std::span<const NamedKey> namedKeys();
const NamedKey* namedKeyForMac(std::uint16_t macCode);

// The keysym that types one Unicode code point (control characters map to
// their keys: tab, backspace, return, escape, delete); 0 for none.
std::uint32_t keysymForCodePoint(char32_t cp);

// The code points of UTF-16 text; a lone surrogate stands for none.
std::u32string codePoints(std::u16string_view units);

}  // namespace vexel::input
