#include "screencap/platform/x11/content_x11.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vexel::screencap {

namespace {

std::string connectionErrorText(int code) {
  switch (code) {
    case XCB_CONN_ERROR:
      return "the connection failed (no X server is listening there)";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
      return "an extension is not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
      return "a request exceeded the maximum length";
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "the display name could not be parsed";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "the display has no such screen";
    default:
      return "X connection error " + std::to_string(code);
  }
}

// Read once, on the main thread at start-up, for the error descriptions;
// xcb_connect reads it itself.
std::string displayName() {
  const char* name = std::getenv("DISPLAY");  // NOLINT(concurrency-mt-unsafe)
  return name != nullptr ? name : "";
}

struct ConnectionCloser {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

struct MonitorRecord {
  Rect bounds;
  bool isMain = false;
};

// The displays are the active RandR monitors of the X screen, in the order
// the server lists them; sizes and origins are in pixels.
class X11ContentProvider final : public ContentProvider {
 public:
  explicit X11ContentProvider(Dispatch& dispatch)
      : dispatch_(dispatch), displayName_(displayName()) {}

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
    const std::string& name = displayName_;
    int screenNumber = 0;
    Connection connection(xcb_connect(nullptr, &screenNumber));
    if (const int code = xcb_connection_has_error(connection.get()); code != 0) {
      error = PlatformError{name.empty() ? "cannot open X display: DISPLAY is not set"
                                         : "cannot open X display \"" + name +
                                               "\": " + connectionErrorText(code)};
      return std::nullopt;
    }
    xcb_screen_t* screen = screenOf(connection.get(), screenNumber);
    if (screen == nullptr) {
      error =
          PlatformError{"X display \"" + name + "\" has no screen " + std::to_string(screenNumber)};
      return std::nullopt;
    }

    std::map<DisplayID, MonitorRecord> records;
    ShareableContent content;
    if (!queryMonitors(connection.get(), screen, content, records, error)) {
      if (error) return std::nullopt;
      // Without RandR 1.5 the whole screen is the one display.
      content.displays.push_back(
          Display{screen->root, screen->width_in_pixels, screen->height_in_pixels});
      records[screen->root] = MonitorRecord{
          Rect{0, 0, double(screen->width_in_pixels), double(screen->height_in_pixels)}, true};
    }
    const std::scoped_lock lock(mutex_);
    monitors_ = std::move(records);
    return content;
  }

  static xcb_screen_t* screenOf(xcb_connection_t* connection, int number) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (; it.rem > 0; --number, xcb_screen_next(&it)) {
      if (number == 0) return it.data;
    }
    return nullptr;
  }

  // False without an error when the server has no monitor list to offer.
  static bool queryMonitors(xcb_connection_t* connection, xcb_screen_t* screen,
                            ShareableContent& content, std::map<DisplayID, MonitorRecord>& records,
                            std::optional<PlatformError>& error) {
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection, &xcb_randr_id);
    if (extension == nullptr || extension->present == 0) return false;

    xcb_generic_error_t* failure = nullptr;
    ReplyPtr<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5),
                                      &failure),
        &std::free);
    std::free(failure);
    failure = nullptr;
    if (!version || version->major_version < 1 ||
        (version->major_version == 1 && version->minor_version < 5)) {
      return false;
    }

    ReplyPtr<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(connection,
                                     xcb_randr_get_monitors(connection, screen->root, 1), &failure),
        &std::free);
    if (!monitors) {
      const int code =
          failure != nullptr ? failure->error_code : xcb_connection_has_error(connection);
      std::free(failure);
      error = PlatformError{"the X server did not list its RandR monitors (error " +
                            std::to_string(code) + ")"};
      return true;
    }
    std::optional<DisplayID> primary;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& info = *it.data;
      // A monitor's name atom is unique on its server, so it serves as the identifier.
      const DisplayID id = info.name;
      content.displays.push_back(Display{id, info.width, info.height});
      records[id] = MonitorRecord{
          Rect{double(info.x), double(info.y), double(info.width), double(info.height)}, false};
      if (info.primary != 0 && !primary) primary = id;
    }
    if (content.displays.empty()) return true;
    records[primary.value_or(content.displays.front().displayID)].isMain = true;
    return true;
  }

  Dispatch& dispatch_;
  const std::string displayName_;
  std::mutex mutex_;
  std::map<DisplayID, MonitorRecord> monitors_;
};

}  // namespace

std::unique_ptr<ContentProvider> makeX11ContentProvider(Dispatch& dispatch) {
  return std::make_unique<X11ContentProvider>(dispatch);
}

}  // namespace vexel::screencap
