#include "common/wayland/session.h"

#include <cstdlib>
#include <string_view>

namespace vexel::wayland {

Session sessionFrom(const char* waylandDisplay, const char* sessionType) {
  if (waylandDisplay != nullptr && *waylandDisplay != '\0') return Session::kWayland;
  if (sessionType != nullptr && std::string_view(sessionType) == "wayland") {
    return Session::kWayland;
  }
  return Session::kX11;
}

Session currentSession() {
  // Read once, on the main thread at start-up, before any other thread exists.
  return sessionFrom(std::getenv("WAYLAND_DISPLAY"),    // NOLINT(concurrency-mt-unsafe)
                     std::getenv("XDG_SESSION_TYPE"));  // NOLINT(concurrency-mt-unsafe)
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace vexel::wayland
