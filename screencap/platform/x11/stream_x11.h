#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "screencap/platform/capture.h"

namespace vexel::screencap::x11 {

// Streams from the named X display; an empty name means the DISPLAY of the
// environment. The stream runs its own capture thread; frames reach the sink
// on the queue it hands to addStreamOutput.
std::unique_ptr<StreamFactory> makeX11StreamFactory(std::string displayName);

// Rows of delivered frames start on this boundary and always carry padding,
// so consumers never get away with assuming packed rows.
inline constexpr std::size_t kRowAlignment = 64;
std::size_t paddedRowBytes(std::size_t width);

// The largest side a stream accepts; beyond it the frame buffer alone would
// run into gigabytes.
inline constexpr std::int64_t kLargestSide = 16384;

// The spacing between delivered frames for a configured minimum interval.
std::chrono::nanoseconds frameSpacing(const MediaTime& minimumFrameInterval);

// Why a configuration cannot be captured, if it cannot.
std::optional<PlatformError> checkConfiguration(const StreamConfiguration& configuration);

}  // namespace vexel::screencap::x11
