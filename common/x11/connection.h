#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexel::x11 {

// XCB hands out replies, errors and events in malloc'ed memory; these own them.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = Reply<xcb_generic_error_t>;

// One connection to an X display and the screen it names. Unusable when
// `failure()` says why; the destructor disconnects.
class Connection {
 public:
  // An empty name means the DISPLAY of the environment.
  explicit Connection(std::string displayName = "");
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  // The display as named to the user, e.g. ":0".
  const std::string& displayName() const { return displayName_; }
  const xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_ != nullptr ? screen_->root : XCB_NONE; }

  // Why the display could not be opened, set once at start.
  const std::optional<std::string>& failure() const { return failure_; }
  // False once the connection broke, or when it never opened.
  bool alive() const;
  // Waits until the server has handled every request sent before; false when
  // it did not answer.
  bool roundTrip() const;

 private:
  xcb_connection_t* connection_ = nullptr;
  std::string displayName_;
  const xcb_screen_t* screen_ = nullptr;
  std::optional<std::string> failure_;
};

// The extension's data when the server has it, else null.
const xcb_query_extension_reply_t* extension(xcb_connection_t* connection, xcb_extension_t* id);

// Waits for the outcome of a request sent with its _checked variant.
Error check(xcb_connection_t* connection, xcb_void_cookie_t cookie);

// A monitor, in pixels of the root window. `name` is the RandR name atom, a
// server-wide unique identifier; the whole screen uses the root window's id.
struct Monitor {
  std::uint32_t name = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
  bool wholeScreen = false;  // no RandR monitor to go by
};

// The active RandR monitors in the server's order, or the whole screen as the
// one primary monitor where RandR 1.5 is missing or lists none. A failed
// request gives its description instead.
std::optional<std::string> queryMonitors(const Connection& connection,
                                         std::vector<Monitor>& monitors);

// True when RandR 1.5 (monitors) is there; `eventBase` is its first event.
bool hasMonitors(xcb_connection_t* connection, std::uint8_t* eventBase = nullptr);

}  // namespace vexel::x11
