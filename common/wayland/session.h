#pragma once

#include <string>
#include <vector>

namespace vexel::wayland {

enum class Session { kWayland, kX11 };

// A Wayland session is announced by WAYLAND_DISPLAY or by XDG_SESSION_TYPE;
// everything else is left to X11 and its DISPLAY. Null means unset.
Session sessionFrom(const char* waylandDisplay, const char* sessionType);
// The same, read from the environment.
Session currentSession();

// "a", "a and b", "a, b and c".
std::string joinNames(const std::vector<std::string>& names);

}  // namespace vexel::wayland
