#pragma once

#include <chrono>
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

// The least time between a press of a spare key and binding that key to
// another character. A client reads a new mapping only when it handles the
// change, possibly after presses made since; one that lags behind by less than
// this types what was sent. Slots rotate least recently used first, so typing
// waits for this only when a text needs more distinct characters off the
// keymap than there are slots, and then binds each slot at most once per
// guard: a client may then spend guard / slots on each change (6 ms with 40
// slots). A client that fetches the whole keymap again on each change fell
// more than 50 ms behind on a busy machine.
inline constexpr std::chrono::milliseconds kSpareRebindGuard{250};

// The code points of UTF-16 text; a lone surrogate stands for none.
std::u32string codePoints(std::u16string_view units);

}  // namespace vexel::input
