#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "screencap/diagnostics.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/dispatch.h"

namespace vexel::screencap {

// The options record.
struct Args {
  std::int64_t width = 1280;
  std::int64_t height = 720;
  std::int64_t fps = 15;     // at least 1
  std::int64_t display = 0;  // at least 0; a position in the display list
};

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

}  // namespace vexel::screencap
