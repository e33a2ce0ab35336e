#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "screencap/diagnostics.h"
#include "screencap/platform/capture.h"

namespace vexel::screencap {

// The displays the content request gave, in both modes; without any, fails
// (status 1) with the error's text or with "no capturable displays found".
std::vector<Display> requireDisplays(const Outlet& outlet, std::optional<ShareableContent> content,
                                     std::optional<PlatformError> error);

// Completion of the shareable-content request in list mode: writes the roster
// line on stdout and exits 0, or fails (status 1) with nothing on stdout.
[[noreturn]] void printRoster(const Outlet& outlet, ContentProvider& provider,
                              std::optional<ShareableContent> content,
                              std::optional<PlatformError> error);

// Truncation toward zero that stays defined for values no integer can hold:
// those saturate, and NaN gives 0.
std::int64_t truncateToInt64(double value);

}  // namespace vexel::screencap
