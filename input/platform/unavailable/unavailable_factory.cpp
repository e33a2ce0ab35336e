#include "input/platform/unavailable/unavailable_events.h"

namespace vexel::input {

std::unique_ptr<EventServices> makeEventServices() {
  return makeUnavailableEventServices(
      "No input platform is available in this build of vexel-input: it cannot post mouse or "
      "keyboard events. Rebuild it on a machine with the X11 and Wayland development libraries "
      "(Linux) or on macOS.");
}

}  // namespace vexel::input
