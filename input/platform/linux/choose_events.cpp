#include <memory>
#include <string>
#include <utility>

#include "common/wayland/session.h"
#include "input/platform/unavailable/unavailable_events.h"
#include "input/platform/wayland/wayland_events.h"
#include "input/platform/x11/x11_events.h"

namespace vexel::input {

// A Wayland session is served through its compositor or not at all: XWayland
// would take the events for its own windows only, and answer "ok" for the rest.
std::unique_ptr<EventServices> makeEventServices() {
  if (wayland::currentSession() == wayland::Session::kX11) return makeX11EventServices();
  std::string repairText;
  if (auto services = makeWaylandEventServices(repairText)) return services;
  return makeUnavailableEventServices(std::move(repairText));
}

}  // namespace vexel::input
