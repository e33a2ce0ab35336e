#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vexel::screencap {

// The options record.
struct Args {
  std::int64_t width = 1280;
  std::int64_t height = 720;
  std::int64_t fps = 15;     // at least 1
  std::int64_t display = 0;  // at least 0; a position in the display list
};

// The process arguments, program path first. Never prints, never fails:
// unrecognised arguments and unusable values are skipped.
Args parseArgs(std::span<const std::string> argv);

// An optional sign and one or more ASCII digits that fit 64 bits; nothing else.
std::optional<std::int64_t> parseStrictInteger(std::string_view text);

// True when any argument is exactly "--list-displays".
bool wantsDisplayList(std::span<const std::string> argv);

}  // namespace vexel::screencap
