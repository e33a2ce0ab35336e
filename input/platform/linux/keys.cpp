#include "input/platform/linux/keys.h"

#include <algorithm>
#include <array>

namespace vexel::input {

namespace {

// macOS virtual key code (ANSI layout) -> evdev code and US keysyms.
constexpr std::array kNamedKeys = std::to_array<NamedKey>({
    {0, 30, 'a', 'A'},     {11, 48, 'b', 'B'},    {8, 46, 'c', 'C'},
    {2, 32, 'd', 'D'},     {14, 18, 'e', 'E'},    {3, 33, 'f', 'F'},
    {5, 34, 'g', 'G'},     {4, 35, 'h', 'H'},     {34, 23, 'i', 'I'},
    {38, 36, 'j', 'J'},    {40, 37, 'k', 'K'},    {37, 38, 'l', 'L'},
    {46, 50, 'm', 'M'},    {45, 49, 'n', 'N'},    {31, 24, 'o', 'O'},
    {35, 25, 'p', 'P'},    {12, 16, 'q', 'Q'},    {15, 19, 'r', 'R'},
    {1, 31, 's', 'S'},     {17, 20, 't', 'T'},    {32, 22, 'u', 'U'},
    {9, 47, 'v', 'V'},     {13, 17, 'w', 'W'},    {7, 45, 'x', 'X'},
    {16, 21, 'y', 'Y'},    {6, 44, 'z', 'Z'},     {29, 11, '0', ')'},
    {18, 2, '1', '!'},     {19, 3, '2', '@'},     {20, 4, '3', '#'},
    {21, 5, '4', '$'},     {23, 6, '5', '%'},     {22, 7, '6', '^'},
    {26, 8, '7', '&'},     {28, 9, '8', '*'},     {25, 10, '9', '('},
    {27, 12, '-', '_'},    {24, 13, '=', '+'},    {33, 26, '[', '{'},
    {30, 27, ']', '}'},    {41, 39, ';', ':'},    {39, 40, '\'', '"'},
    {42, 43, '\\', '|'},   {43, 51, ',', '<'},    {47, 52, '.', '>'},
    {44, 53, '/', '?'},    {50, 41, '`', '~'},    {49, 57, ' ', 0},
    {36, 28, 0xff0d, 0},    // Return
    {53, 1, 0xff1b, 0},     // Escape
    {48, 15, 0xff09, 0},    // Tab
    {51, 14, 0xff08, 0},    // BackSpace
    {117, 111, 0xffff, 0},  // Delete
    {126, 103, 0xff52, 0}, {125, 108, 0xff54, 0}, {123, 105, 0xff51, 0},
    {124, 106, 0xff53, 0},  // arrows
    {115, 102, 0xff50, 0}, {119, 107, 0xff57, 0}, {116, 104, 0xff55, 0},
    {121, 109, 0xff56, 0},  // home end prior next
    {122, 59, 0xffbe, 0},  {120, 60, 0xffbf, 0},  {99, 61, 0xffc0, 0},
    {118, 62, 0xffc1, 0},  {96, 63, 0xffc2, 0},   {97, 64, 0xffc3, 0},
    {98, 65, 0xffc4, 0},   {100, 66, 0xffc5, 0},  {101, 67, 0xffc6, 0},
    {109, 68, 0xffc7, 0},  {103, 87, 0xffc8, 0},  {111, 88, 0xffc9, 0},  // F1-F12
});

}  // namespace

std::span<const NamedKey> namedKeys() {
  return kNamedKeys;
}

const NamedKey* namedKeyForMac(std::uint16_t macCode) {
  const auto* found = std::find_if(kNamedKeys.begin(), kNamedKeys.end(),
                                   [&](const NamedKey& k) { return k.macCode == macCode; });
  return found != kNamedKeys.end() ? &*found : nullptr;
}

std::uint32_t keysymForCodePoint(char32_t cp) {
  switch (cp) {
    case U'\t':
      return 0xff09;
    case U'\b':
      return 0xff08;
    case U'\r':
    case U'\n':
      return 0xff0d;
    case 0x1b:
      return 0xff1b;
    case 0x7f:
      return 0xffff;
    default:
      break;
  }
  if (cp < 0x20 || (cp >= 0x80 && cp < 0xa0) || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    return 0;  // other control characters and non-characters have no key
  }
  if (cp <= 0x7e || (cp >= 0xa0 && cp <= 0xff)) return cp;
  return 0x01000000U + cp;
}

std::u32string codePoints(std::u16string_view units) {
  std::u32string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if ((unit & 0xFC00) == 0xD800 && i + 1 < units.size() && (units[i + 1] & 0xFC00) == 0xDC00) {
      out.push_back(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if ((unit & 0xF800) != 0xD800) {
      out.push_back(unit);
    }
  }
  return out;
}

}  // namespace vexel::input
