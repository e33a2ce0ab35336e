#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "screencap/capture_setup.h"

namespace vexel::screencap {

// The process arguments, program path first. Never prints, never fails:
// unrecognised arguments and unusable values are skipped.
Args parseArgs(std::span<const std::string> argv);

// An optional sign and one or more ASCII digits that fit 64 bits; nothing else.
std::optional<std::int64_t> parseStrictInteger(std::string_view text);

// True when any argument is exactly "--list-displays".
bool wantsDisplayList(std::span<const std::string> argv);

}  // namespace vexel::screencap
