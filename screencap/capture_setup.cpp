#include "screencap/capture_setup.h"

#include <algorithm>
#include <limits>
#include <string>

#include "screencap/frame_sink.h"
#include "screencap/roster.h"

namespace vexel::screencap {

namespace {

constexpr std::int64_t kQueueDepth = 6;

}  // namespace

StreamConfiguration streamConfiguration(const Args& args) {
  StreamConfiguration configuration;
  configuration.width = args.width;
  configuration.height = args.height;
  // The timescale has 32 bits: a larger rate is limited rather than wrapped.
  const std::int64_t timescale =
      std::clamp<std::int64_t>(args.fps, 1, std::numeric_limits<std::int32_t>::max());
  configuration.minimumFrameInterval = MediaTime{1, static_cast<std::int32_t>(timescale)};
  configuration.pixelFormat = kPixelFormatBGRA;
  configuration.queueDepth = kQueueDepth;
  configuration.showsCursor = true;
  configuration.scalesToFit = true;
  return configuration;
}

void beginCapture(CaptureState& state, std::optional<ShareableContent> content,
                  std::optional<PlatformError> error) {
  const Outlet& outlet = state.outlet;
  const std::vector<Display> displays =
      requireDisplays(outlet, std::move(content), std::move(error));
  const auto count = static_cast<std::int64_t>(displays.size());
  const std::int64_t index = state.args.display < count ? state.args.display : 0;
  const ContentFilter filter{displays[static_cast<std::size_t>(index)]};
  state.activeStream =
      state.streams.makeStream(filter, streamConfiguration(state.args), *state.sink);
  if (!state.activeStream) fail(outlet, "startCapture failed: no capture stream could be created");

  auto frames = state.dispatch.makeSerialQueue("vexel.screencap.frames");
  if (auto added = state.activeStream->addStreamOutput(*state.sink, StreamOutputType::kScreen,
                                                       std::move(frames))) {
    fail(outlet, "addStreamOutput failed: " + added->localizedDescription);
  }
  state.activeStream->startCapture([&state, index](std::optional<PlatformError> startError) {
    captureDidStart(state, index, std::move(startError));
  });
}

void captureDidStart(CaptureState& state, std::int64_t displayIndex,
                     std::optional<PlatformError> error) {
  if (error) fail(state.outlet, "startCapture failed: " + error->localizedDescription);
  {
    const std::scoped_lock live(state.captureStarted);
    state.captureIsLive = true;
  }
  const Args& args = state.args;
  errLog(state.outlet, "vexel-screencap: capture started on display " +
                           std::to_string(displayIndex) + " (" + std::to_string(args.width) + "x" +
                           std::to_string(args.height) + "@" + std::to_string(args.fps) + ")");
}

void listTimeout(const Outlet& outlet) {
  endWith(outlet, 2, [&] {
    errLog(outlet,
           "vexel-screencap: --list-displays timed out (stale Screen Recording grant?) — exiting");
  });
}

void captureWatchdog(CaptureState& state) {
  bool live = false;
  {
    const std::scoped_lock read(state.captureStarted);
    live = state.captureIsLive;
  }
  if (live) return;
  endWith(state.outlet, 2, [&] {
    errLog(state.outlet,
           "vexel-screencap: capture did not start within 10s (stale Screen Recording grant? "
           "System Settings → Privacy & Security → Screen Recording → toggle Visual Studio Code "
           "OFF/ON, then fully quit + reopen VS Code) — exiting");
  });
}

}  // namespace vexel::screencap
