#include "common/x11/connection.h"

#include <xcb/randr.h>

#include <cstdlib>
#include <utility>

namespace vexel::x11 {

namespace {

std::string reason(int code) {
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

}  // namespace

Connection::Connection(std::string displayName) : displayName_(std::move(displayName)) {
  if (displayName_.empty()) {
    // Safe here: neither program ever changes its environment.
    const char* fromEnvironment = std::getenv("DISPLAY");  // NOLINT(concurrency-mt-unsafe)
    displayName_ = fromEnvironment != nullptr ? fromEnvironment : "";
  }
  if (displayName_.empty()) {
    failure_ = "cannot open X display: DISPLAY is not set";
    return;
  }
  int screenNumber = 0;
  connection_ = xcb_connect(displayName_.c_str(), &screenNumber);
  if (const int code = xcb_connection_has_error(connection_); code != 0) {
    failure_ = "cannot open X display \"" + displayName_ + "\": " + reason(code);
    return;
  }
  auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int index = 0; it.rem > 0; xcb_screen_next(&it), ++index) {
    if (index == screenNumber) screen_ = it.data;
  }
  if (screen_ == nullptr) {
    failure_ =
        "cannot open X display \"" + displayName_ + "\": " + reason(XCB_CONN_CLOSED_INVALID_SCREEN);
  }
}

Connection::~Connection() {
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

bool Connection::alive() const {
  return connection_ != nullptr && xcb_connection_has_error(connection_) == 0;
}

bool Connection::roundTrip() const {
  if (!alive()) return false;
  const Reply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  return reply != nullptr;
}

const xcb_query_extension_reply_t* extension(xcb_connection_t* connection, xcb_extension_t* id) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, id);
  return data != nullptr && data->present != 0 ? data : nullptr;
}

Error check(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  return Error(xcb_request_check(connection, cookie));
}

bool hasMonitors(xcb_connection_t* connection, std::uint8_t* eventBase) {
  const auto* data = extension(connection, &xcb_randr_id);
  if (data == nullptr) return false;
  if (eventBase != nullptr) *eventBase = data->first_event;
  const Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection, xcb_randr_query_version(connection, 1, 5), nullptr));
  return version != nullptr && (version->major_version > 1 ||
                                (version->major_version == 1 && version->minor_version >= 5));
}

std::optional<std::string> queryMonitors(const Connection& connection,
                                         std::vector<Monitor>& monitors) {
  monitors.clear();
  xcb_connection_t* c = connection.get();
  if (hasMonitors(c)) {
    xcb_generic_error_t* failure = nullptr;
    const Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), &failure));
    const Error failed(failure);
    if (!reply) {
      const int code = failed ? failed->error_code : xcb_connection_has_error(c);
      return "the X server did not list its RandR monitors (error " + std::to_string(code) + ")";
    }
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& m = *it.data;
      monitors.push_back({m.name, m.x, m.y, m.width, m.height, m.primary != 0});
    }
    if (!monitors.empty()) return std::nullopt;
  }
  // The current size of the root: the screen record of the setup may be stale.
  xcb_generic_error_t* failure = nullptr;
  const Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), &failure));
  const Error failed(failure);
  if (!geometry) {
    const int code = failed ? failed->error_code : xcb_connection_has_error(c);
    return "the X server did not give its screen size (error " + std::to_string(code) + ")";
  }
  monitors.push_back({connection.root(), 0, 0, geometry->width, geometry->height, true, true});
  return std::nullopt;
}

}  // namespace vexel::x11
