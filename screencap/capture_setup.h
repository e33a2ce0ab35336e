#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "screencap/args.h"
#include "screencap/diagnostics.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

class FrameSink;

// Capture-mode process state: all of it set during start-up, before any
// asynchronous work is scheduled, and alive until the process exits.
struct CaptureState {
  const Outlet& outlet;
  Dispatch& dispatch;
  StreamFactory& streams;
  Args args;
  std::unique_ptr<FrameSink> sink;
  std::shared_ptr<CaptureStream> activeStream;
  std::mutex captureStarted;  // guards captureIsLive only
  bool captureIsLive = false;
};

// Completion of the shareable-content request in capture mode: chooses the
// display, configures and starts the stream.
void beginCapture(CaptureState& state, std::optional<ShareableContent> content,
                  std::optional<PlatformError> error);

// Completion of the stream's start request for the display at `displayIndex`.
void captureDidStart(CaptureState& state, std::int64_t displayIndex,
                     std::optional<PlatformError> error);

// The two start-up timers: a host waiting for a missing Screen Recording grant
// would otherwise wait for ever. Both end the process with status 2.
inline constexpr std::chrono::milliseconds kListTimeout{3000};
inline constexpr std::chrono::milliseconds kCaptureWatchdog{10000};
[[noreturn]] void listTimeout(const Outlet& outlet);
// Returns when the capture went live in time.
void captureWatchdog(CaptureState& state);

// The stream configuration requested for `args`.
StreamConfiguration streamConfiguration(const Args& args);

}  // namespace vexel::screencap
