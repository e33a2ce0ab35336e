#include <memory>

#include "common/wayland/session.h"
#include "screencap/platform/wayland/wayland_capture.h"
#include "screencap/platform/x11/content_x11.h"
#include "screencap/platform/x11/stream_x11.h"

namespace vexel::screencap {

// A Wayland session is captured through its compositor or not at all: XWayland
// would show its own windows only, on black. The Wayland content request
// reports a compositor without the capture protocols.
std::unique_ptr<ContentProvider> makeContentProvider(Dispatch& dispatch) {
  if (wayland::currentSession() == wayland::Session::kWayland) {
    return makeWaylandContentProvider(dispatch);
  }
  return makeX11ContentProvider(dispatch);
}

std::unique_ptr<StreamFactory> makeStreamFactory(Dispatch& /*dispatch*/) {
  if (wayland::currentSession() == wayland::Session::kWayland) return makeWaylandStreamFactory();
  return x11::makeX11StreamFactory({});
}

}  // namespace vexel::screencap
