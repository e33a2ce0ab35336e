#include "screencap/platform/x11/content_x11.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/x11/connection.h"

namespace vexel::screencap {

namespace {

struct MonitorRecord {
  Rect bounds;
  bool isMain = false;
};

// The displays are the active RandR monitors of the X screen, in the order
// the server lists them; sizes and origins are in pixels.
class X11ContentProvider final : public ContentProvider {
 public:
  explicit X11ContentProvider(Dispatch& dispatch) : dispatch_(dispatch) {}

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
    const auto found = monitors_.find(display);
    return found != monitors_.end() ? found->second.bounds : Rect{};
  }

  bool displayIsMain(DisplayID display) override {
    const std::scoped_lock lock(mutex_);
    const auto found = monitors_.find(display);
    return found != monitors_.end() && found->second.isMain;
  }

 private:
  std::optional<ShareableContent> query(std::optional<PlatformError>& error) {
    const x11::Connection connection;
    if (const auto& failure = connection.failure()) {
      error = PlatformError{*failure};
      return std::nullopt;
    }
    std::vector<x11::Monitor> monitors;
    if (auto failure = x11::queryMonitors(connection, monitors)) {
      error = PlatformError{std::move(*failure)};
      return std::nullopt;
    }
    std::map<DisplayID, MonitorRecord> records;
    ShareableContent content;
    for (const x11::Monitor& m : monitors) {
      content.displays.push_back(Display{m.name, m.width, m.height});
      records[m.name] =
          MonitorRecord{Rect{double(m.x), double(m.y), double(m.width), double(m.height)}, false};
    }
    // The first primary monitor is the main display, else the first one.
    const auto primary = std::find_if(monitors.begin(), monitors.end(),
                                      [](const x11::Monitor& m) { return m.primary; });
    records[primary != monitors.end() ? primary->name : monitors.front().name].isMain = true;
    const std::scoped_lock lock(mutex_);
    monitors_ = std::move(records);
    return content;
  }

  Dispatch& dispatch_;
  std::mutex mutex_;
  std::map<DisplayID, MonitorRecord> monitors_;
};

}  // namespace

std::unique_ptr<ContentProvider> makeX11ContentProvider(Dispatch& dispatch) {
  return std::make_unique<X11ContentProvider>(dispatch);
}

}  // namespace vexel::screencap
