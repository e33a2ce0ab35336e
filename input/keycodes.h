#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vexel::input {

struct KeyCode {
  std::string_view name;
  std::uint16_t code;
};

// Key name to macOS virtual key code (ANSI layout). Names are lower case and
// looked up exactly; "delete" is forward delete, "backspace" the key left of it.
// Kept in rows by hand: one entry a line would hide the groups.
// clang-format off
inline constexpr std::array<KeyCode, 80> KEYCODES = {{
    {"a", 0},          {"b", 11},          {"c", 8},          {"d", 2},
    {"e", 14},         {"f", 3},           {"g", 5},          {"h", 4},
    {"i", 34},         {"j", 38},          {"k", 40},         {"l", 37},
    {"m", 46},         {"n", 45},          {"o", 31},         {"p", 35},
    {"q", 12},         {"r", 15},          {"s", 1},          {"t", 17},
    {"u", 32},         {"v", 9},           {"w", 13},         {"x", 7},
    {"y", 16},         {"z", 6},           {"0", 29},         {"1", 18},
    {"2", 19},         {"3", 20},          {"4", 21},         {"5", 23},
    {"6", 22},         {"7", 26},          {"8", 28},         {"9", 25},
    {"enter", 36},     {"return", 36},     {"esc", 53},       {"escape", 53},
    {"tab", 48},       {"space", 49},      {"backspace", 51}, {"delete", 117},
    {"forward_delete", 117},               {"arrow_up", 126}, {"arrow_down", 125},
    {"arrow_left", 123},                   {"arrow_right", 124},
    {"up", 126},       {"down", 125},      {"left", 123},     {"right", 124},
    {"home", 115},     {"end", 119},       {"pageup", 116},   {"pagedown", 121},
    {"f1", 122},       {"f2", 120},        {"f3", 99},        {"f4", 118},
    {"f5", 96},        {"f6", 97},         {"f7", 98},        {"f8", 100},
    {"f9", 101},       {"f10", 109},       {"f11", 103},      {"f12", 111},
    {"-", 27},         {"=", 24},          {"[", 33},         {"]", 30},
    {";", 41},         {"'", 39},          {"\\", 42},        {",", 43},
    {".", 47},         {"/", 44},          {"`", 50},
}};
// clang-format on

inline std::optional<std::uint16_t> keyCodeFor(std::string_view name) {
  for (const auto& entry : KEYCODES) {
    if (entry.name == name) return entry.code;
  }
  return std::nullopt;
}

}  // namespace vexel::input
