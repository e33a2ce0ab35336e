#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/wayland/connection.h"
#include "common/wayland/session.h"
#include "screencap/platform/linux/listed_content.h"
#include "screencap/platform/wayland/wayland_capture.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace vexel::screencap {

namespace {

std::string describe(const std::string& interface) {
  if (interface == zwlr_screencopy_manager_v1_interface.name) {
    return "the screen copy protocol (" + interface + ")";
  }
  if (interface == zxdg_output_manager_v1_interface.name) {
    return "the output layout protocol (" + interface + ")";
  }
  if (interface == wl_shm_interface.name) return "shared memory buffers (" + interface + ")";
  return interface;
}

class WaylandContentProvider final : public ListedContentProvider {
 public:
  using ListedContentProvider::ListedContentProvider;

 private:
  std::vector<ListedDisplay> list(std::optional<PlatformError>& error) override {
    std::string failure;
    const std::unique_ptr<wayland::Connection> connection = wayland::Connection::open(failure);
    if (!connection) {
      error = PlatformError{failure};
      return {};
    }
    const std::vector<std::string> missing =
        connection->missing({&zwlr_screencopy_manager_v1_interface,
                             &zxdg_output_manager_v1_interface, &wl_shm_interface});
    if (!missing.empty()) {
      std::vector<std::string> described;
      described.reserve(missing.size());
      for (const std::string& name : missing) described.push_back(describe(name));
      error = PlatformError{
          "this Wayland compositor lacks " + wayland::joinNames(described) +
          "; capture needs a compositor with the wlroots capture protocols (sway, Hyprland, "
          "river, labwc, Wayfire) or an X11 session (GNOME and KDE Wayland sessions are not "
          "supported yet)"};
      return {};
    }
    if (!connection->followOutputs() || !connection->roundtrip()) {
      error = PlatformError{"the Wayland compositor did not describe its outputs: " +
                            connection->failure()};
      return {};
    }
    // The displays are the outputs in the order the compositor announced
    // them, identified by their global name; the main one lies at the
    // layout's origin, else it is the first.
    std::vector<ListedDisplay> displays;
    for (const wayland::Output& o : connection->outputs()) {
      if (o.width <= 0 || o.height <= 0) continue;
      displays.push_back({Display{o.globalName, o.width, o.height},
                          Rect{double(o.x), double(o.y), double(o.width), double(o.height)},
                          false});
    }
    const auto atOrigin =
        std::find_if(displays.begin(), displays.end(),
                     [](const ListedDisplay& d) { return d.bounds.x == 0 && d.bounds.y == 0; });
    if (atOrigin != displays.end()) {
      atOrigin->isMain = true;
    } else if (!displays.empty()) {
      displays.front().isMain = true;
    }
    return displays;
  }
};

}  // namespace

std::unique_ptr<ContentProvider> makeWaylandContentProvider(Dispatch& dispatch) {
  return std::make_unique<WaylandContentProvider>(dispatch);
}

}  // namespace vexel::screencap
