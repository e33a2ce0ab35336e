#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/wayland/connection.h"
#include "common/wayland/session.h"
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

struct OutputRecord {
  Rect bounds;
  bool isMain = false;
};

class WaylandContentProvider final : public ContentProvider {
 public:
  explicit WaylandContentProvider(Dispatch& dispatch) : dispatch_(dispatch) {}

  void getShareableContent(ContentHandler handler) override {
    // Off the caller's thread, as the platform's completions arrive.
    dispatch_.asyncAfter(std::chrono::nanoseconds(0), [this, handler = std::move(handler)] {
      std::optional<PlatformError> error;
      std::optional<ShareableContent> content = query(error);
      handler(std::move(content), std::move(error));
    });
  }

  Rect displayBounds(DisplayID display) override {
    const std::scoped_lock lock(mutex_);
    const auto found = outputs_.find(display);
    return found != outputs_.end() ? found->second.bounds : Rect{};
  }

  bool displayIsMain(DisplayID display) override {
    const std::scoped_lock lock(mutex_);
    const auto found = outputs_.find(display);
    return found != outputs_.end() && found->second.isMain;
  }

 private:
  std::optional<ShareableContent> query(std::optional<PlatformError>& error) {
    std::string failure;
    const std::unique_ptr<wayland::Connection> connection = wayland::Connection::open(failure);
    if (!connection) {
      error = PlatformError{failure};
      return std::nullopt;
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
      return std::nullopt;
    }
    if (!connection->followOutputs() || !connection->roundtrip()) {
      error = PlatformError{"the Wayland compositor did not describe its outputs: " +
                            connection->failure()};
      return std::nullopt;
    }
    // The displays are the outputs in the order the compositor announced
    // them, identified by their global name; the main one lies at the
    // layout's origin, else it is the first.
    ShareableContent content;
    std::map<DisplayID, OutputRecord> records;
    std::optional<DisplayID> main;
    for (const wayland::Output& o : connection->outputs()) {
      if (o.width <= 0 || o.height <= 0) continue;
      content.displays.push_back(Display{o.globalName, o.width, o.height});
      records[o.globalName] =
          OutputRecord{Rect{double(o.x), double(o.y), double(o.width), double(o.height)}, false};
      if (o.x == 0 && o.y == 0 && !main) main = o.globalName;
    }
    if (!content.displays.empty()) {
      records[main.value_or(content.displays.front().displayID)].isMain = true;
    }
    const std::scoped_lock lock(mutex_);
    outputs_ = std::move(records);
    return content;
  }

  Dispatch& dispatch_;
  std::mutex mutex_;
  std::map<DisplayID, OutputRecord> outputs_;
};

}  // namespace

std::unique_ptr<ContentProvider> makeWaylandContentProvider(Dispatch& dispatch) {
  return std::make_unique<WaylandContentProvider>(dispatch);
}

}  // namespace vexel::screencap
