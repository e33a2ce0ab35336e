#include "screencap/platform/x11/grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace vexel::screencap::x11 {

namespace {

using vexel::x11::check;
using vexel::x11::extension;
using vexel::x11::Reply;

constexpr std::uint32_t kRedMask = 0xff0000U;
constexpr std::uint32_t kGreenMask = 0x00ff00U;
constexpr std::uint32_t kBlueMask = 0x0000ffU;
constexpr std::uint8_t kBitsPerPixel = 32;
constexpr std::size_t kBytesPerPixel = kBitsPerPixel / 8;
// Changes larger than this part of the screen are cheaper as one whole grab.
constexpr std::size_t kPartialShare = 4;  // a quarter
// Partial grabs land in this much of the segment, in batches, before their
// rows go into the screen copy: small, so it adds little to the memory in use.
constexpr std::size_t kScratchBytes = std::size_t{256} * 1024;
constexpr std::size_t kScratchAlignment = 64;
// Beyond this many rectangles the round trips cost more than they save.
constexpr std::size_t kMostPartialGrabs = 32;

std::size_t aligned(std::size_t bytes) {
  return (bytes + kScratchAlignment - 1) / kScratchAlignment * kScratchAlignment;
}

std::size_t areaBytes(const ScreenArea& area) {
  return static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) *
         kBytesPerPixel;
}

PlatformError error(std::string text) {
  return PlatformError{std::move(text)};
}

std::string quoted(const Grabber& grabber) {
  return "\"" + grabber.displayName + "\"";
}

// A failed request on a live connection is a protocol error; on a dead one
// the connection is what to report.
PlatformError requestFailed(const Grabber& grabber, const std::string& what,
                            const xcb_generic_error_t* failure) {
  if (auto lost = connectionError(grabber)) return *lost;
  std::string text = what + " failed on the X server " + quoted(grabber);
  if (failure != nullptr) text += " (X error " + std::to_string(failure->error_code) + ")";
  return error(std::move(text));
}

std::optional<PlatformError> checkPixelLayout(Grabber& grabber, const xcb_screen_t& screen) {
  const xcb_setup_t* setup = xcb_get_setup(grabber.connection);
  bool formatFits = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == screen.root_depth) formatFits = it.data->bits_per_pixel == kBitsPerPixel;
  }
  bool visualFits = false;
  for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0;
       xcb_depth_next(&depth)) {
    for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
         xcb_visualtype_next(&visual)) {
      if (visual.data->visual_id != screen.root_visual) continue;
      visualFits = visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                   visual.data->red_mask == kRedMask && visual.data->green_mask == kGreenMask &&
                   visual.data->blue_mask == kBlueMask;
    }
  }
  if (!formatFits || !visualFits || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    return error("the X server " + quoted(grabber) + " has a root pixel layout of depth " +
                 std::to_string(screen.root_depth) + " that cannot be captured as BGRA");
  }
  return std::nullopt;
}

std::optional<PlatformError> setUpShm(Grabber& grabber) {
  if (extension(grabber.connection, &xcb_shm_id) == nullptr) {
    return error("the X server " + quoted(grabber) + " lacks the MIT-SHM extension");
  }
  xcb_generic_error_t* failure = nullptr;
  Reply<xcb_shm_query_version_reply_t> version(xcb_shm_query_version_reply(
      grabber.connection, xcb_shm_query_version(grabber.connection), &failure));
  const vexel::x11::Error failed(failure);
  if (!version) return requestFailed(grabber, "MIT-SHM version query", failure);
  return std::nullopt;
}

void setUpRandr(Grabber& grabber) {
  std::uint8_t eventBase = 0;
  // Negotiates the version, which RandR wants before any other request.
  (void)vexel::x11::hasMonitors(grabber.connection, &eventBase);
  if (eventBase == 0) return;
  const auto failure = check(
      grabber.connection, xcb_randr_select_input_checked(grabber.connection, grabber.root,
                                                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                                             XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                                             XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE));
  if (!failure) grabber.randrEventBase = eventBase;
}

void setUpDamage(Grabber& grabber) {
  const auto* data = extension(grabber.connection, &xcb_damage_id);
  if (data == nullptr) return;
  Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
      grabber.connection, xcb_damage_query_version(grabber.connection, 1, 1), nullptr));
  if (!version) return;
  const xcb_damage_damage_t damage = xcb_generate_id(grabber.connection);
  // One notification per change from clean to dirty: cheap however much is drawn.
  const auto failure =
      check(grabber.connection, xcb_damage_create_checked(grabber.connection, damage, grabber.root,
                                                          XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY));
  if (failure) return;
  grabber.damage = damage;
  grabber.damageEventBase = data->first_event;
  grabber.damageAvailable = true;
}

void setUpXfixes(Grabber& grabber) {
  if (extension(grabber.connection, &xcb_xfixes_id) == nullptr) return;
  // The version query is mandatory before any other XFixes request.
  Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
      grabber.connection, xcb_xfixes_query_version(grabber.connection, 4, 0), nullptr));
  grabber.cursorAvailable = version != nullptr;
}

void releaseSegment(Grabber& grabber) {
  if (grabber.segmentAttached && connectionError(grabber) == std::nullopt) {
    xcb_shm_detach(grabber.connection, grabber.segment);
  }
  grabber.segmentAttached = false;
  grabber.segmentMapping.reset();
  grabber.segmentAddress = nullptr;
  grabber.segmentId = -1;
  grabber.segmentBytes = 0;
}

}  // namespace

Grabber::~Grabber() {
  if (connection == nullptr) return;
  releaseSegment(*this);
  if (damageAvailable && xcb_connection_has_error(connection) == 0) {
    xcb_damage_destroy(connection, damage);
  }
  xcb_flush(connection);
}

std::optional<PlatformError> connectionError(const Grabber& grabber) {
  if (grabber.connection == nullptr || xcb_connection_has_error(grabber.connection) == 0) {
    return std::nullopt;
  }
  return error("lost the connection to the X server " + quoted(grabber));
}

std::optional<PlatformError> connectGrabber(Grabber& grabber, const std::string& displayName) {
  grabber.link = std::make_unique<vexel::x11::Connection>(displayName);
  grabber.displayName = grabber.link->displayName();
  if (const auto& failure = grabber.link->failure()) return error(*failure);
  grabber.connection = grabber.link->get();
  const xcb_screen_t* screen = grabber.link->screen();
  grabber.root = screen->root;
  grabber.rootDepth = screen->root_depth;
  if (auto failure = checkPixelLayout(grabber, *screen)) return failure;
  if (auto failure = setUpShm(grabber)) return failure;
  setUpRandr(grabber);
  setUpDamage(grabber);
  setUpXfixes(grabber);
  return connectionError(grabber);
}

std::optional<PlatformError> locateDisplay(Grabber& grabber, DisplayID display, ScreenArea& area) {
  std::vector<vexel::x11::Monitor> monitors;
  if (auto failure = vexel::x11::queryMonitors(*grabber.link, monitors)) {
    if (auto lost = connectionError(grabber)) return *lost;
    return error(std::move(*failure));
  }
  for (const vexel::x11::Monitor& m : monitors) {
    if (m.name != display && !m.wholeScreen) continue;
    area = {m.x, m.y, m.width, m.height};
    if (area.width <= 0 || area.height <= 0) break;
    return std::nullopt;
  }
  return error("display " + std::to_string(display) + " is not connected to the X server " +
               quoted(grabber));
}

std::optional<PlatformError> prepareSegment(Grabber& grabber, ScreenArea area) {
  const std::size_t copyBytes = aligned(areaBytes(area));
  // At least a few rows of the widest area (16384 pixels, 64 KiB a row).
  const std::size_t bytes = copyBytes + kScratchBytes;
  grabber.area = area;
  grabber.scratchOffset = copyBytes;
  if (bytes <= grabber.segmentBytes) return std::nullopt;
  releaseSegment(grabber);
  grabber.segmentId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (grabber.segmentId < 0) return error("cannot create a shared memory segment for the grab");
  void* address = shmat(grabber.segmentId, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr)
    shmctl(grabber.segmentId, IPC_RMID, nullptr);
    grabber.segmentId = -1;
    return error("cannot map the shared memory segment for the grab");
  }
  grabber.segmentAddress = static_cast<std::uint8_t*>(address);
  grabber.segmentMapping.reset(grabber.segmentAddress, [](std::uint8_t* mapped) { shmdt(mapped); });
  grabber.segment = xcb_generate_id(grabber.connection);
  const auto failure =
      check(grabber.connection,
            xcb_shm_attach_checked(grabber.connection, grabber.segment, grabber.segmentId, 0));
  // Once both sides hold it, the segment needs no name: it goes away with
  // the last detach, even if this process dies.
  shmctl(grabber.segmentId, IPC_RMID, nullptr);
  if (failure || connectionError(grabber)) {
    auto reported = requestFailed(grabber, "attaching the shared memory segment", failure.get());
    releaseSegment(grabber);
    return reported;
  }
  grabber.segmentAttached = true;
  grabber.segmentBytes = bytes;
  return std::nullopt;
}

std::optional<PlatformError> grabArea(Grabber& grabber) {
  if (grabber.damageAvailable) {
    xcb_damage_subtract(grabber.connection, grabber.damage, XCB_NONE, XCB_NONE);
  }
  const ScreenArea& a = grabber.area;
  xcb_generic_error_t* failure = nullptr;
  Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
      grabber.connection,
      xcb_shm_get_image(grabber.connection, grabber.root, static_cast<std::int16_t>(a.x),
                        static_cast<std::int16_t>(a.y), static_cast<std::uint16_t>(a.width),
                        static_cast<std::uint16_t>(a.height),
                        std::numeric_limits<std::uint32_t>::max(), XCB_IMAGE_FORMAT_Z_PIXMAP,
                        grabber.segment, 0),
      &failure));
  const vexel::x11::Error failed(failure);
  if (!image) return requestFailed(grabber, "the screen grab", failure);
  if (image->size != static_cast<std::uint32_t>(a.width) * a.height * (kBitsPerPixel / 8)) {
    return error("the X server " + quoted(grabber) + " returned a grab of an unexpected size");
  }
  return std::nullopt;
}

ImageView grabbedImage(const Grabber& grabber) {
  return {grabber.segmentAddress, grabber.area.width, grabber.area.height,
          grabber.area.width * (kBitsPerPixel / 8)};
}

namespace {

class SegmentPixels final : public PixelBuffer {
 public:
  SegmentPixels(std::shared_ptr<std::uint8_t> mapping, ImageView image)
      : mapping_(std::move(mapping)), image_(image) {}
  void lockBaseAddress(std::uint64_t) override {}
  void unlockBaseAddress(std::uint64_t) override {}
  [[nodiscard]] std::size_t width() const override {
    return static_cast<std::size_t>(image_.width);
  }
  [[nodiscard]] std::size_t height() const override {
    return static_cast<std::size_t>(image_.height);
  }
  [[nodiscard]] std::size_t bytesPerRow() const override {
    return static_cast<std::size_t>(image_.stride);
  }
  [[nodiscard]] const std::uint8_t* baseAddress() const override { return image_.data; }

 private:
  std::shared_ptr<std::uint8_t> mapping_;
  ImageView image_;
};

}  // namespace

std::shared_ptr<PixelBuffer> grabbedFrame(const Grabber& grabber) {
  return std::make_shared<SegmentPixels>(grabber.segmentMapping, grabbedImage(grabber));
}

std::optional<PlatformError> collectActivity(Grabber& grabber, Activity& activity) {
  while (xcb_generic_event_t* raw = xcb_poll_for_event(grabber.connection)) {
    Reply<xcb_generic_event_t> event(raw);
    const auto type = static_cast<std::uint8_t>(event->response_type & 0x7fU);
    if (grabber.damageAvailable && type == grabber.damageEventBase + XCB_DAMAGE_NOTIFY) {
      activity.damaged = true;
    } else if (grabber.randrEventBase != 0 &&
               (type == grabber.randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                type == grabber.randrEventBase + XCB_RANDR_NOTIFY)) {
      activity.layoutChanged = true;
    }
    // Errors of unchecked requests (the damage subtract) change nothing here.
  }
  return connectionError(grabber);
}

std::optional<PlatformError> readCursor(Grabber& grabber, CursorImage& cursor) {
  xcb_generic_error_t* failure = nullptr;
  Reply<xcb_xfixes_get_cursor_image_reply_t> image(xcb_xfixes_get_cursor_image_reply(
      grabber.connection, xcb_xfixes_get_cursor_image(grabber.connection), &failure));
  const vexel::x11::Error failed(failure);
  if (!image) return requestFailed(grabber, "the cursor query", failure);
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(image.get());
  cursor.left = image->x - image->xhot;
  cursor.top = image->y - image->yhot;
  cursor.serial = image->cursor_serial;
  if (length < image->width * image->height) {
    cursor.width = 0;
    cursor.height = 0;
    return std::nullopt;
  }
  cursor.width = image->width;
  cursor.height = image->height;
  cursor.argb.assign(pixels, pixels + static_cast<std::ptrdiff_t>(image->width) * image->height);
  return std::nullopt;
}

namespace {

bool ensureDamageRegion(Grabber& grabber) {
  if (grabber.damageRegion != 0) return true;
  if (grabber.damageRegionRefused || !grabber.damageAvailable || !grabber.cursorAvailable) {
    return false;
  }
  const xcb_xfixes_region_t region = xcb_generate_id(grabber.connection);
  Reply<xcb_generic_error_t> failure(
      xcb_request_check(grabber.connection,
                        xcb_xfixes_create_region_checked(grabber.connection, region, 0, nullptr)));
  if (failure) {
    grabber.damageRegionRefused = true;
    return false;
  }
  grabber.damageRegion = region;
  return true;
}

ScreenArea clipped(const ScreenArea& area, int width, int height) {
  const int x0 = std::max(area.x, 0);
  const int y0 = std::max(area.y, 0);
  const int x1 = std::min(area.x + area.width, width);
  const int y1 = std::min(area.y + area.height, height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::optional<PlatformError> takeChanges(Grabber& grabber, Changes& changes) {
  changes = Changes{};
  if (!ensureDamageRegion(grabber)) return connectionError(grabber);
  xcb_damage_subtract(grabber.connection, grabber.damage, XCB_NONE, grabber.damageRegion);
  xcb_generic_error_t* failure = nullptr;
  Reply<xcb_xfixes_fetch_region_reply_t> region(xcb_xfixes_fetch_region_reply(
      grabber.connection, xcb_xfixes_fetch_region(grabber.connection, grabber.damageRegion),
      &failure));
  Reply<xcb_generic_error_t> failed(failure);
  if (!region) return requestFailed(grabber, "the damage query", failure);
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
  const ScreenArea& a = grabber.area;
  for (int i = 0; i < count; ++i) {
    const ScreenArea inside = clipped(
        {rects[i].x - a.x, rects[i].y - a.y, rects[i].width, rects[i].height}, a.width, a.height);
    if (inside.width > 0) changes.areas.push_back(inside);
  }
  changes.known = true;
  return std::nullopt;
}

bool fitsPartialGrab(const Grabber& grabber, const std::vector<ScreenArea>& areas) {
  if (areas.size() > kMostPartialGrabs) return false;
  std::size_t bytes = 0;
  for (const ScreenArea& area : areas) bytes += areaBytes(area);
  return bytes <= areaBytes(grabber.area) / kPartialShare;
}

namespace {

// One band of rows of a changed rectangle, on its way through the scratch.
struct Band {
  ScreenArea rows;
  std::size_t offset = 0;
  xcb_shm_get_image_cookie_t cookie{};
};

// Collects the replies of `bands` and moves their rows into the screen copy.
std::optional<PlatformError> settle(Grabber& grabber, std::vector<Band>& bands) {
  std::optional<PlatformError> result;
  const std::size_t copyStride = static_cast<std::size_t>(grabber.area.width) * kBytesPerPixel;
  for (const Band& band : bands) {
    xcb_generic_error_t* failure = nullptr;
    Reply<xcb_shm_get_image_reply_t> image(
        xcb_shm_get_image_reply(grabber.connection, band.cookie, &failure));
    Reply<xcb_generic_error_t> failed(failure);
    if (result) continue;  // every reply is still collected
    const ScreenArea& r = band.rows;
    if (!image) {
      result = requestFailed(grabber, "the screen grab", failure);
      continue;
    }
    if (image->size != areaBytes(r)) {
      result = error("the X server " + quoted(grabber) + " returned a grab of an unexpected size");
      continue;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(r.width) * kBytesPerPixel;
    const std::uint8_t* from = grabber.segmentAddress + band.offset;
    std::uint8_t* to = grabber.segmentAddress + static_cast<std::size_t>(r.y) * copyStride +
                       static_cast<std::size_t>(r.x) * kBytesPerPixel;
    for (int row = 0; row < r.height; ++row) {
      std::memcpy(to + row * copyStride, from + row * rowBytes, rowBytes);
    }
  }
  bands.clear();
  return result;
}

}  // namespace

std::optional<PlatformError> grabRects(Grabber& grabber, const std::vector<ScreenArea>& areas) {
  const ScreenArea& a = grabber.area;
  const std::size_t scratchEnd = grabber.scratchOffset + kScratchBytes;
  // Requests go out in batches that fill the scratch, each batch one round trip.
  std::vector<Band> bands;
  std::size_t offset = grabber.scratchOffset;
  for (const ScreenArea& r : areas) {
    if (r.width <= 0 || r.height <= 0) continue;
    const std::size_t rowBytes = static_cast<std::size_t>(r.width) * kBytesPerPixel;
    const int rowsPerBand = static_cast<int>(std::max<std::size_t>(kScratchBytes / rowBytes, 1));
    for (int top = r.y; top < r.y + r.height; top += rowsPerBand) {
      const ScreenArea rows{r.x, top, r.width, std::min(rowsPerBand, r.y + r.height - top)};
      if (offset + areaBytes(rows) > scratchEnd) {
        if (auto failure = settle(grabber, bands)) return failure;
        offset = grabber.scratchOffset;
      }
      Band band{rows, offset, {}};
      band.cookie = xcb_shm_get_image(
          grabber.connection, grabber.root, static_cast<std::int16_t>(a.x + rows.x),
          static_cast<std::int16_t>(a.y + rows.y), static_cast<std::uint16_t>(rows.width),
          static_cast<std::uint16_t>(rows.height), std::numeric_limits<std::uint32_t>::max(),
          XCB_IMAGE_FORMAT_Z_PIXMAP, grabber.segment, static_cast<std::uint32_t>(offset));
      bands.push_back(band);
      offset += aligned(areaBytes(rows));
    }
  }
  return settle(grabber, bands);
}

}  // namespace vexel::screencap::x11
