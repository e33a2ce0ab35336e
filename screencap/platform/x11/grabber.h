#pragma once

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/x11/connection.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/pixman/scale.h"
#include "screencap/platform/x11/cursor.h"

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
  // Receives the damage as rectangles; 0 until first needed or when refused.
  xcb_xfixes_region_t damageRegion = 0;
  bool damageRegionRefused = false;

  ScreenArea area;
  int segmentId = -1;
  // Unmapped once the last holder lets go: a frame still being delivered
  // keeps it past a detach.
  std::shared_ptr<std::uint8_t> segmentMapping;
  std::uint8_t* segmentAddress = nullptr;  // segmentMapping's
  std::size_t segmentBytes = 0;            // the screen copy, then a scratch for partial grabs
  std::size_t scratchOffset = 0;
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

// The grabbed area as a frame to deliver; it shares the segment's mapping.
std::shared_ptr<PixelBuffer> grabbedFrame(const Grabber& grabber);

// What changed on screen since the last call, in coordinates of the grabbed
// area and clipped to it. The damage is re-armed first, so drawing that races
// with the grabs that follow shows up again next time. `known` is false when
// the server cannot say what changed.
struct Changes {
  bool known = false;
  std::vector<ScreenArea> areas;
};
std::optional<PlatformError> takeChanges(Grabber& grabber, Changes& changes);

// Whether `areas` are few and small enough to be cheaper than a whole grab.
bool fitsPartialGrab(const Grabber& grabber, const std::vector<ScreenArea>& areas);

// Refreshes only these parts of the screen copy (area coordinates, inside
// the area).
std::optional<PlatformError> grabRects(Grabber& grabber, const std::vector<ScreenArea>& areas);

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
