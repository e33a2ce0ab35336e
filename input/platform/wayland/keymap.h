#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "input/platform/linux/keys.h"

namespace vexel::input {

// The modifier keys, with the real modifier each one sets.
struct ModifierKey {
  std::uint32_t evdev = 0;
  std::uint32_t keysym = 0;
  std::uint32_t mask = 0;  // of the real modifiers: Shift 1, Control 4, Mod1 8, Mod4 64
};
inline constexpr ModifierKey kShiftKey{42, 0xffe1, 1U << 0};
inline constexpr ModifierKey kControlKey{29, 0xffe3, 1U << 2};
inline constexpr ModifierKey kAltKey{56, 0xffe9, 1U << 3};
inline constexpr ModifierKey kSuperKey{125, 0xffeb, 1U << 6};

// Evdev codes lent to characters that no named key types; their X keycodes
// (evdev + 8) stay within 8..255, so XWayland clients can use them too.
inline constexpr std::uint32_t kFirstSpareEvdev = 148;
inline constexpr std::uint32_t kSpareCount = 100;

// A spare key bound to one keysym.
struct SpareBinding {
  std::uint32_t evdev = 0;
  std::uint32_t keysym = 0;
};

// The whole keymap in XKB text form: the named keys of a US layout, the four
// modifier keys and the spare keys as bound.
std::string buildKeymap(std::span<const SpareBinding> spares);

// Where a keysym sits on the named keys.
struct KeyPlace {
  std::uint32_t evdev = 0;
  bool shifted = false;
};
std::optional<KeyPlace> namedPlace(std::uint32_t keysym);

}  // namespace vexel::input
