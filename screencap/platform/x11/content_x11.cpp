#include "screencap/platform/x11/content_x11.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "common/x11/connection.h"
#include "screencap/platform/linux/listed_content.h"

namespace vexel::screencap {

namespace {

// The displays are the active RandR monitors of the X screen, in the order
// the server lists them; sizes and origins are in pixels.
class X11ContentProvider final : public ListedContentProvider {
 public:
  using ListedContentProvider::ListedContentProvider;

 private:
  std::vector<ListedDisplay> list(std::optional<PlatformError>& error) override {
    const x11::Connection connection;
    if (const auto& failure = connection.failure()) {
      error = PlatformError{*failure};
      return {};
    }
    std::vector<x11::Monitor> monitors;
    if (auto failure = x11::queryMonitors(connection, monitors)) {
      error = PlatformError{std::move(*failure)};
      return {};
    }
    std::vector<ListedDisplay> displays;
    displays.reserve(monitors.size());
    for (const x11::Monitor& m : monitors) {
      displays.push_back({Display{m.name, m.width, m.height},
                          Rect{double(m.x), double(m.y), double(m.width), double(m.height)},
                          false});
    }
    // The first primary monitor is the main display, else the first one.
    const auto primary = std::find_if(monitors.begin(), monitors.end(),
                                      [](const x11::Monitor& m) { return m.primary; });
    if (!displays.empty()) {
      displays[primary != monitors.end() ? primary - monitors.begin() : 0].isMain = true;
    }
    return displays;
  }
};

}  // namespace

std::unique_ptr<ContentProvider> makeX11ContentProvider(Dispatch& dispatch) {
  return std::make_unique<X11ContentProvider>(dispatch);
}

}  // namespace vexel::screencap
