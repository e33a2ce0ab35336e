#include "screencap/startup.h"

#include <csignal>

#include "screencap/args.h"
#include "screencap/frame_sink.h"
#include "screencap/roster.h"

namespace vexel::screencap {

void startListMode(const Outlet& outlet, Dispatch& dispatch, ContentProvider& content) {
  dispatch.asyncAfter(kListTimeout, [&outlet] { listTimeout(outlet); });
  content.getShareableContent([&outlet, &content](std::optional<ShareableContent> shareable,
                                                  std::optional<PlatformError> error) {
    printRoster(outlet, content, std::move(shareable), std::move(error));
  });
}

void startCaptureMode(CaptureState& state, ContentProvider& content) {
  state.dispatch.asyncAfter(kCaptureWatchdog, [&state] { captureWatchdog(state); });
  content.getShareableContent(
      [&state](std::optional<ShareableContent> shareable, std::optional<PlatformError> error) {
        beginCapture(state, std::move(shareable), std::move(error));
      });
}

void runStreamer(std::span<const std::string> argv, const Outlet& outlet, Dispatch& dispatch,
                 ContentProvider& content, StreamFactory& streams) {
  if (wantsDisplayList(argv)) {
    startListMode(outlet, dispatch, content);
    dispatch.parkMain();
  }
  const Args args = parseArgs(argv);
  // A host that closes our stdout is then a failed write, reported and ended
  // with status 0, instead of a kill by SIGPIPE.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Lives until the process ends: callbacks on other threads refer to it, and
  // the process ends without running destructors.
  auto* state = new CaptureState{outlet, dispatch, streams, args, nullptr, nullptr, {}, false};
  state->sink = std::make_unique<FrameSink>(args.fps, outlet, dispatch);
  startCaptureMode(*state, content);
  // The compiler does not carry noreturn through the virtual call.
  for (;;) dispatch.parkMain();
}

}  // namespace vexel::screencap
