#pragma once

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/x11/connection.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/x11/cursor.h"
#include "screencap/platform/x11/scale.h"

namespace vexel::screencap::x11 {

// A rectangle of the root window, in pixels.
struct ScreenArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const ScreenArea&, const ScreenArea&) = default;
};

// One X connection with what a grab needs. Used by one thread only; the
// destructor releases the segment and the connection.
struct Grabber {
  Grabber() = default;
  ~Grabber();
  Grabber(const Grabber&) = delete;
  Grabber& operator=(const Grabber&) = delete;

  std::unique_ptr<vexel::x11::Connection> link;
  xcb_connection_t* connection = nullptr;  // link's, once it is usable
  std::string displayName;                 // for messages only
  xcb_window_t root = 0;
  std::uint8_t rootDepth = 0;

  std::uint8_t randrEventBase = 0;
  bool damageAvailable = false;
  std::uint8_t damageEventBase = 0;
  xcb_damage_damage_t damage = 0;
  bool cursorAvailable = false;  // XFixes answered its version query

  ScreenArea area;
  int segmentId = -1;
  std::uint8_t* segmentAddress = nullptr;
  std::size_t segmentBytes = 0;
  xcb_shm_seg_t segment = 0;
  bool segmentAttached = false;
};

// Connects (an empty name means the DISPLAY of the environment), checks the
// root's pixel layout and sets up the extensions; MIT-SHM is required.
std::optional<PlatformError> connectGrabber(Grabber& grabber, const std::string& displayName);

// The RandR monitor whose name atom is `display`; the whole root window when
// the server has no monitors to go by.
std::optional<PlatformError> locateDisplay(Grabber& grabber, DisplayID display, ScreenArea& area);

// Makes the shared segment fit `area` and makes it the grabbed area.
std::optional<PlatformError> prepareSegment(Grabber& grabber, ScreenArea area);

// Copies the area into the segment. Damage is re-armed first, so drawing that
// races with the grab marks the next frame as changed.
std::optional<PlatformError> grabArea(Grabber& grabber);

ImageView grabbedImage(const Grabber& grabber);

struct Activity {
  bool damaged = false;
  bool layoutChanged = false;
};

// Drains pending events without blocking.
std::optional<PlatformError> collectActivity(Grabber& grabber, Activity& activity);

std::optional<PlatformError> readCursor(Grabber& grabber, CursorImage& cursor);

// Set once the connection is unusable.
std::optional<PlatformError> connectionError(const Grabber& grabber);

}  // namespace vexel::screencap::x11
