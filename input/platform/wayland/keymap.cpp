#include "input/platform/wayland/keymap.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vexel::input {

namespace {

constexpr std::uint32_t kXkbOffset = 8;  // X keycode = evdev code + 8

constexpr std::array kModifierKeys = {kShiftKey, kControlKey, kAltKey, kSuperKey};

void appendKey(std::string& text, std::uint32_t evdev, std::uint32_t keysym,
               std::uint32_t shifted) {
  char line[96];
  if (shifted != 0) {
    (void)std::snprintf(line, sizeof line, "    key <I%u> { [ 0x%x, 0x%x ] };\n",
                        evdev + kXkbOffset, keysym, shifted);
  } else {
    (void)std::snprintf(line, sizeof line, "    key <I%u> { [ 0x%x ] };\n", evdev + kXkbOffset,
                        keysym);
  }
  text += line;
}

void appendKeycode(std::string& text, std::uint32_t evdev) {
  char line[48];
  (void)std::snprintf(line, sizeof line, "    <I%u> = %u;\n", evdev + kXkbOffset,
                      evdev + kXkbOffset);
  text += line;
}

}  // namespace

std::string buildKeymap(std::span<const SpareBinding> spares) {
  std::string text =
      "xkb_keymap {\n  xkb_keycodes \"vexel\" {\n    minimum = 8;\n    maximum = 255;\n";
  for (const NamedKey& k : namedKeys()) appendKeycode(text, k.evdev);
  for (const ModifierKey& m : kModifierKeys) appendKeycode(text, m.evdev);
  for (const SpareBinding& s : spares) appendKeycode(text, s.evdev);
  // The usual types and interpretations give the modifier keys their actions
  // and letters their Shift and Caps Lock levels.
  text +=
      "  };\n  xkb_types \"vexel\" { include \"complete\" };\n"
      "  xkb_compat \"vexel\" { include \"complete\" };\n  xkb_symbols \"vexel\" {\n";
  for (const NamedKey& k : namedKeys()) appendKey(text, k.evdev, k.keysym, k.shiftedKeysym);
  for (const ModifierKey& m : kModifierKeys) appendKey(text, m.evdev, m.keysym, 0);
  // A spare holds its keysym on both levels: with one, the core keyboard map
  // that XWayland derives has it alone, and a core client reads a lone É as é.
  for (const SpareBinding& s : spares) appendKey(text, s.evdev, s.keysym, s.keysym);
  const std::pair<const char*, const ModifierKey*> modmap[] = {
      {"Shift", &kShiftKey}, {"Control", &kControlKey}, {"Mod1", &kAltKey}, {"Mod4", &kSuperKey}};
  for (const auto& [name, key] : modmap) {
    char line[64];
    (void)std::snprintf(line, sizeof line, "    modifier_map %s { <I%u> };\n", name,
                        key->evdev + kXkbOffset);
    text += line;
  }
  text += "  };\n};\n";
  return text;
}

std::optional<KeyPlace> namedPlace(std::uint32_t keysym) {
  if (keysym == 0) return std::nullopt;
  for (const NamedKey& k : namedKeys()) {
    if (k.keysym == keysym) return KeyPlace{k.evdev, false};
  }
  for (const NamedKey& k : namedKeys()) {
    if (k.shiftedKeysym == keysym) return KeyPlace{k.evdev, true};
  }
  return std::nullopt;
}

}  // namespace vexel::input
