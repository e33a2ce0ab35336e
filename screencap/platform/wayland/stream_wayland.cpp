#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "common/wayland/connection.h"
#include "screencap/platform/linux/threaded_stream.h"
#include "screencap/platform/pixman/scale.h"
#include "screencap/platform/wayland/orient.h"
#include "screencap/platform/wayland/wayland_capture.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace vexel::screencap {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kScreencopyVersion = 3;

// The pixman format of a shared-memory buffer format the compositor offers.
std::optional<pixman_format_code_t> pixmanFormat(std::uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
      return PIXMAN_x8r8g8b8;
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
      return PIXMAN_x8b8g8r8;
    default:
      return std::nullopt;
  }
}

// Its wake-up descriptor is readable once the stream is going away, which
// ends the capture thread's wait for the compositor.
struct WaylandCore final : StreamCore {
  using StreamCore::StreamCore;
  ~WaylandCore() override {
    if (wakeFd >= 0) ::close(wakeFd);
  }
  WaylandCore(const WaylandCore&) = delete;
  WaylandCore& operator=(const WaylandCore&) = delete;
  void interrupt() override {
    if (wakeFd >= 0) (void)eventfd_write(wakeFd, 1);
  }
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

// A shared-memory buffer the compositor copies the output into.
struct ShmBuffer {
  ShmBuffer() = default;
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;
  ~ShmBuffer() { reset(); }
  void reset() {
    if (buffer != nullptr) wl_buffer_destroy(buffer);
    if (data != nullptr) munmap(data, size);
    buffer = nullptr;
    data = nullptr;
    size = 0;
  }
  wl_buffer* buffer = nullptr;
  void* data = nullptr;
  std::size_t size = 0;
  std::uint32_t format = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;
};

// Everything the capture thread owns; lives on that thread's stack.
class Capture {
 public:
  Capture(std::shared_ptr<WaylandCore> core, std::weak_ptr<CaptureStream> stream)
      : core_(std::move(core)), stream_(std::move(stream)) {}
  ~Capture() {
    if (frame_ != nullptr) zwlr_screencopy_frame_v1_destroy(frame_);
    buffer_.reset();
    if (manager_ != nullptr) zwlr_screencopy_manager_v1_destroy(manager_);
    if (shm_ != nullptr) wl_shm_destroy(shm_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::optional<PlatformError> setUp();
  void run();

 private:
  const wayland::Output* target() const;
  void request();
  void copy();
  std::optional<PlatformError> produce();
  std::optional<PlatformError> waitUntil(Clock::time_point deadline, bool& stop);
  void stopWithError(const PlatformError& error);

 public:
  // The frame's events, dispatched on the capture thread.
  static void onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride);
  static void onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags);
  static void onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t);
  static void onFailed(void* data, zwlr_screencopy_frame_v1*);
  static void onDamage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t, std::uint32_t) {}
  static void onDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {}
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1*);

 private:
  std::shared_ptr<WaylandCore> core_;
  std::weak_ptr<CaptureStream> stream_;
  std::unique_ptr<wayland::Connection> conn_;
  wl_shm* shm_ = nullptr;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  std::uint32_t managerVersion_ = 0;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  // The buffer the compositor offered for the pending frame.
  std::uint32_t offerFormat_ = 0;
  std::uint32_t offerWidth_ = 0;
  std::uint32_t offerHeight_ = 0;
  std::uint32_t offerStride_ = 0;
  bool offered_ = false;
  bool yInvert_ = false;
  bool imageReady_ = false;  // a copied image waits to be delivered
  bool frameFailed_ = false;
  bool copiedOnce_ = false;  // later copies wait for damage
  std::optional<PlatformError> bufferError_;
  ShmBuffer buffer_;
  // The scaling prepared for the current buffer, orientation and size.
  x11::ScalePlan plan_;
  bool planned_ = false;
  void* plannedData_ = nullptr;
  wlr::Orientation plannedOrientation_;
  FramePixels oriented_;
};

constexpr zwlr_screencopy_frame_v1_listener kFrameListener = {
    &Capture::onBuffer, &Capture::onFlags,  &Capture::onReady,     &Capture::onFailed,
    &Capture::onDamage, &Capture::onDmabuf, &Capture::onBufferDone};

std::optional<PlatformError> Capture::setUp() {
  if (auto failure = prepareFrame(*core_)) return failure;
  if (core_->wakeFd < 0) return PlatformError{"cannot make the stream's wake-up descriptor"};
  std::string failure;
  conn_ = wayland::Connection::open(failure);
  if (!conn_) return PlatformError{failure};
  const wayland::Global* screencopy = conn_->global(zwlr_screencopy_manager_v1_interface.name);
  if (screencopy == nullptr || !conn_->followOutputs()) {
    return PlatformError{"the Wayland compositor no longer offers screen copy"};
  }
  managerVersion_ = std::min(screencopy->version, kScreencopyVersion);
  manager_ = static_cast<zwlr_screencopy_manager_v1*>(
      conn_->bind(zwlr_screencopy_manager_v1_interface, kScreencopyVersion));
  shm_ = static_cast<wl_shm*>(conn_->bind(wl_shm_interface, 1));
  if (shm_ == nullptr) return PlatformError{"the Wayland compositor offers no shared memory"};
  if (!conn_->roundtrip()) {
    return PlatformError{"the Wayland compositor did not answer: " + conn_->failure()};
  }
  if (target() == nullptr) return PlatformError{"the display is no longer connected"};
  return std::nullopt;
}

const wayland::Output* Capture::target() const {
  for (const wayland::Output& o : conn_->outputs()) {
    if (o.globalName == core_->filter.display.displayID) return &o;
  }
  return nullptr;
}

void Capture::request() {
  offered_ = false;
  yInvert_ = false;
  frame_ = zwlr_screencopy_manager_v1_capture_output(
      manager_, core_->configuration.showsCursor ? 1 : 0, target()->output);
  zwlr_screencopy_frame_v1_add_listener(frame_, &kFrameListener, this);
}

void Capture::copy() {
  if (!offered_ || frame_ == nullptr) {
    bufferError_ = PlatformError{"the compositor offered no shared-memory buffer for the display"};
    return;
  }
  if (buffer_.buffer == nullptr || buffer_.format != offerFormat_ || buffer_.width != offerWidth_ ||
      buffer_.height != offerHeight_ || buffer_.stride != offerStride_) {
    buffer_.reset();
    planned_ = false;
    const std::size_t size = std::size_t{offerStride_} * offerHeight_;
    const int fd = memfd_create("vexel-frame", MFD_CLOEXEC);
    void* data = MAP_FAILED;
    if (fd >= 0 && size > 0 && ftruncate(fd, static_cast<off_t>(size)) == 0) {
      data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (data == MAP_FAILED) {
      if (fd >= 0) ::close(fd);
      bufferError_ =
          PlatformError{"cannot allocate a shared frame buffer of " + std::to_string(offerWidth_) +
                        "x" + std::to_string(offerHeight_)};
      return;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(size));
    buffer_.buffer = wl_shm_pool_create_buffer(
        pool, 0, static_cast<std::int32_t>(offerWidth_), static_cast<std::int32_t>(offerHeight_),
        static_cast<std::int32_t>(offerStride_), offerFormat_);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    buffer_.data = data;
    buffer_.size = size;
    buffer_.format = offerFormat_;
    buffer_.width = offerWidth_;
    buffer_.height = offerHeight_;
    buffer_.stride = offerStride_;
  }
  // The first copy is immediate; later ones wait until the output changes,
  // so an idle desktop costs nothing.
  if (copiedOnce_ && managerVersion_ >= 2) {
    zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_.buffer);
  } else {
    zwlr_screencopy_frame_v1_copy(frame_, buffer_.buffer);
  }
  copiedOnce_ = true;
}

void Capture::onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  auto* self = static_cast<Capture*>(data);
  if (!pixmanFormat(format) || self->offered_) return;
  self->offerFormat_ = format;
  self->offerWidth_ = width;
  self->offerHeight_ = height;
  self->offerStride_ = stride;
  self->offered_ = true;
  // Before version 3 no event marks the end of the offers.
  if (self->managerVersion_ < 3) self->copy();
}

void Capture::onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<Capture*>(data)->copy();
}

void Capture::onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<Capture*>(data)->yInvert_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void Capture::onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t) {
  auto* self = static_cast<Capture*>(data);
  zwlr_screencopy_frame_v1_destroy(self->frame_);
  self->frame_ = nullptr;
  self->imageReady_ = true;
}

void Capture::onFailed(void* data, zwlr_screencopy_frame_v1*) {
  auto* self = static_cast<Capture*>(data);
  zwlr_screencopy_frame_v1_destroy(self->frame_);
  self->frame_ = nullptr;
  self->frameFailed_ = true;
}

std::optional<PlatformError> Capture::produce() {
  const wayland::Output* output = target();
  const wlr::Orientation orientation{output != nullptr ? output->transform : 0, yInvert_};
  const auto format = pixmanFormat(buffer_.format);
  const x11::ImageView source{static_cast<std::uint8_t*>(buffer_.data),
                              static_cast<int>(buffer_.width), static_cast<int>(buffer_.height),
                              static_cast<int>(buffer_.stride)};
  // Upright images in the usual format are scaled straight from the buffer;
  // others are first turned upright.
  const bool direct = wlr::isUpright(orientation) && format == PIXMAN_x8r8g8b8;
  if (!planned_ || plannedData_ != buffer_.data || !(plannedOrientation_ == orientation)) {
    planned_ = false;
    x11::ImageView scaleSource = source;
    if (!direct) {
      int width = 0;
      int height = 0;
      wlr::orientedSize(orientation.transform, source.width, source.height, width, height);
      if (!oriented_.allocate(static_cast<std::size_t>(width), static_cast<std::size_t>(height))) {
        return PlatformError{"cannot allocate a frame buffer of " + std::to_string(width) + "x" +
                             std::to_string(height)};
      }
      scaleSource = oriented_.view();
    }
    if (!x11::makeScalePlan(scaleSource, core_->pixels.view(), plan_)) {
      return PlatformError{"cannot prepare the scaling of " + std::to_string(scaleSource.width) +
                           "x" + std::to_string(scaleSource.height) + " to the stream size"};
    }
    planned_ = true;
    plannedData_ = buffer_.data;
    plannedOrientation_ = orientation;
  }
  if (!direct && !wlr::orient(source, *format, orientation, oriented_.view())) {
    return PlatformError{"cannot turn the display's image upright"};
  }
  x11::runScale(plan_);
  return std::nullopt;
}

void Capture::stopWithError(const PlatformError& error) {
  screencap::stopWithError(core_, stream_, error);
}

// Dispatches the compositor's events until the deadline; an error ends the stream.
std::optional<PlatformError> Capture::waitUntil(Clock::time_point deadline, bool& stop) {
  for (;;) {
    {
      std::lock_guard guard(core_->mutex);
      if (core_->stopping) {
        stop = true;
        return std::nullopt;
      }
    }
    if (target() == nullptr) return PlatformError{"the display was disconnected"};
    if (bufferError_) return bufferError_;
    if (frameFailed_) return PlatformError{"the compositor could not copy the display"};
    if (frame_ == nullptr && !imageReady_) request();
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (conn_->pump(left, core_->wakeFd) == wayland::Connection::Pump::kBroken) {
      return PlatformError{"lost the Wayland compositor: " + conn_->failure()};
    }
  }
}

void Capture::run() {
  StreamCore& core = *core_;
  const auto spacing = frameSpacing(core.configuration.minimumFrameInterval);
  Clock::time_point deadline = Clock::now();
  for (;;) {
    bool stop = false;
    if (auto failure = waitUntil(deadline, stop)) {
      stopWithError(*failure);
      return;
    }
    if (stop) return;
    std::shared_ptr<SerialQueue> queue;
    {
      std::unique_lock lock(core.mutex);
      // The frame buffer is reused, so a frame waits for the previous delivery.
      if (waitForDelivery(core, lock)) return;
      queue = core.queue;
    }
    const Clock::time_point startedAt = Clock::now();
    deadline = std::max(deadline + spacing, startedAt + spacing);
    if (!queue) continue;  // nobody to deliver to; the image stays pending

    std::shared_ptr<PixelBuffer> image;  // none: an idle frame
    if (imageReady_) {
      if (auto failure = produce()) {
        stopWithError(*failure);
        return;
      }
      imageReady_ = false;
      image = framePixels(core_);
    }
    if (!deliver(core_, stream_, queue, std::move(image), std::nullopt)) return;
  }
}

void captureLoop(std::shared_ptr<WaylandCore> core, std::weak_ptr<CaptureStream> stream,
                 const StartHandler& handler) {
  Capture capture(std::move(core), std::move(stream));
  if (auto failure = capture.setUp()) {
    handler(failure);
    return;
  }
  handler(std::nullopt);
  capture.run();
}

class WaylandStreamFactory final : public StreamFactory {
 public:
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    auto core = std::make_shared<WaylandCore>(filter, configuration, delegate);
    return std::make_shared<ThreadedStream>(
        core, [core](std::weak_ptr<CaptureStream> stream, const StartHandler& handler) {
          captureLoop(core, std::move(stream), handler);
        });
  }
};

}  // namespace

std::unique_ptr<StreamFactory> makeWaylandStreamFactory() {
  return std::make_unique<WaylandStreamFactory>();
}

}  // namespace vexel::screencap
