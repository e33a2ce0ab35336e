#include "screencap/frame_sink.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>

namespace vexel::screencap {

namespace {

constexpr std::size_t kBytesPerPixel = 4;
// Beyond this many rectangles a change is taken as the whole frame.
constexpr std::size_t kMostChangedAreas = 64;

// Keeps the pixel memory mapped for exactly the span of one intake.
class BaseAddressLock {
 public:
  explicit BaseAddressLock(PixelBuffer& pixels) : pixels_(pixels) {
    pixels_.lockBaseAddress(kPixelBufferLockReadOnly);
  }
  ~BaseAddressLock() { pixels_.unlockBaseAddress(kPixelBufferLockReadOnly); }
  BaseAddressLock(const BaseAddressLock&) = delete;
  BaseAddressLock& operator=(const BaseAddressLock&) = delete;

 private:
  PixelBuffer& pixels_;
};

}  // namespace

std::chrono::milliseconds pacingInterval(std::int64_t fps) {
  const double exact = 1000.0 / static_cast<double>(std::max<std::int64_t>(fps, 1));
  return std::max(std::chrono::milliseconds(static_cast<std::int64_t>(exact)),
                  std::chrono::milliseconds(1));
}

std::optional<std::size_t> frameByteCount(std::size_t width, std::size_t height) {
  if (width == 0 || height == 0) return std::nullopt;
  // Both lengths and every row offset must fit a signed 64-bit count too.
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
  if (width > kMax / kBytesPerPixel / height) return std::nullopt;
  return width * height * kBytesPerPixel;
}

std::optional<FrameStatus> frameStatus(
    const std::optional<std::vector<AttachmentDictionary>>& attachments) {
  if (!attachments || attachments->empty()) return std::nullopt;
  const AttachmentDictionary& first = attachments->front();
  const auto entry = first.find(kStreamFrameInfoStatus);
  if (entry == first.end()) return std::nullopt;
  const auto* status = std::get_if<std::int64_t>(&entry->second);
  if (status == nullptr) return std::nullopt;
  return static_cast<FrameStatus>(*status);
}

bool isCompleteFrame(const std::optional<std::vector<AttachmentDictionary>>& attachments) {
  const auto status = frameStatus(attachments);
  return !status || *status == FrameStatus::kComplete;
}

void ChangedAreas::add(const ChangedAreas& more) {
  if (whole) return;
  if (more.whole || areas.size() + more.areas.size() > kMostChangedAreas) {
    *this = all();
    return;
  }
  for (Area joined : more.areas) {
    // Rectangles that mostly overlap, as a moving one does from frame to
    // frame, are copied once as their bounding box.
    for (auto it = areas.begin(); it != areas.end();) {
      const std::size_t x0 = std::min(it->x, joined.x);
      const std::size_t y0 = std::min(it->y, joined.y);
      const Area box{x0, y0, std::max(it->x + it->width, joined.x + joined.width) - x0,
                     std::max(it->y + it->height, joined.y + joined.height) - y0};
      if (box.width * box.height <= it->width * it->height + joined.width * joined.height) {
        joined = box;
        it = areas.erase(it);
      } else {
        ++it;
      }
    }
    areas.push_back(joined);
  }
}

ChangedAreas reportedChanges(const std::optional<std::vector<AttachmentDictionary>>& attachments,
                             std::size_t width, std::size_t height) {
  if (!attachments || attachments->empty()) return ChangedAreas::all();
  const AttachmentDictionary& first = attachments->front();
  const auto entry = first.find(kStreamFrameInfoDirtyRects);
  if (entry == first.end()) return ChangedAreas::all();
  const auto* rects = std::get_if<std::vector<Rect>>(&entry->second);
  if (rects == nullptr || rects->size() > kMostChangedAreas) return ChangedAreas::all();
  ChangedAreas changes;
  const auto w = static_cast<double>(width);
  const auto h = static_cast<double>(height);
  for (const Rect& r : *rects) {
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.width) ||
        !std::isfinite(r.height)) {
      return ChangedAreas::all();
    }
    // The whole pixels that the rectangle touches.
    const double x0 = std::clamp(std::floor(r.x), 0.0, w);
    const double y0 = std::clamp(std::floor(r.y), 0.0, h);
    const double x1 = std::clamp(std::ceil(r.x + r.width), x0, w);
    const double y1 = std::clamp(std::ceil(r.y + r.height), y0, h);
    if (x1 <= x0 || y1 <= y0) continue;
    changes.areas.push_back({static_cast<std::size_t>(x0), static_cast<std::size_t>(y0),
                             static_cast<std::size_t>(x1 - x0), static_cast<std::size_t>(y1 - y0)});
  }
  return changes;
}

FrameSink::FrameSink(std::int64_t fps, const Outlet& outlet, Dispatch& dispatch)
    : out_(outlet), dispatch_(dispatch), fps_(std::max<std::int64_t>(fps, 1)) {}

// The timer goes first: once its source is gone no tick can reach this sink.
FrameSink::~FrameSink() {
  pacing_.reset();
}

void FrameSink::streamDidStopWithError(CaptureStream& /*stream*/, const PlatformError& error) {
  fail(out_, "stream stopped with error: " + error.localizedDescription);
}

void FrameSink::streamDidOutputSampleBuffer(CaptureStream& /*stream*/, SampleBuffer& sampleBuffer,
                                            StreamOutputType type) {
  if (type != StreamOutputType::kScreen) return;
  // Every frame passed over below, except one that says nothing changed,
  // leaves the reported changes of the next one unreliable.
  const bool lostBefore = lostTrack_;
  lostTrack_ = true;
  if (!sampleBuffer.isValid()) return;
  const auto attachments = sampleBuffer.sampleAttachments();
  if (!isCompleteFrame(attachments)) {
    if (frameStatus(attachments) == FrameStatus::kIdle) lostTrack_ = lostBefore;
    return;
  }
  PixelBuffer* pixels = sampleBuffer.imageBuffer();
  if (pixels == nullptr) return;

  const BaseAddressLock mapped(*pixels);
  const std::size_t width = pixels->width();
  const std::size_t height = pixels->height();
  if (pixels->baseAddress() == nullptr) return;
  // Rows shorter than the width would make the copy read past each row.
  if (pixels->bytesPerRow() / kBytesPerPixel < width) return;

  std::unique_lock guard(lock_);
  if (lockedW_ == 0) {
    // An empty frame or one too large to hold cannot fix the size.
    const auto bytes = frameByteCount(width, height);
    if (!bytes) return;
    try {
      latestFrame_.emplace(*bytes);
      emitBuffer_.assign(*bytes, 0);
    } catch (const std::bad_alloc&) {
      latestFrame_.reset();
      emitBuffer_ = {};
      return;
    }
    lockedW_ = static_cast<std::int64_t>(width);
    lockedH_ = static_cast<std::int64_t>(height);
    // Copied before the timer exists, so its first tick writes this frame and
    // never the buffer as allocated.
    copyRows(*pixels);
    newFrame_ = true;
    changedSinceExchange_ = ChangedAreas::all();
    lostTrack_ = false;
    guard.unlock();
    errLog(out_, "DIMS " + std::to_string(width) + " " + std::to_string(height));
    startPacing();
    return;
  }
  if (static_cast<std::int64_t>(width) != lockedW_ ||
      static_cast<std::int64_t>(height) != lockedH_) {
    return;
  }
  ChangedAreas changes =
      lostBefore ? ChangedAreas::all() : reportedChanges(attachments, width, height);
  lostTrack_ = false;
  // The source holds the whole new frame, so it also brings latestFrame_
  // up to date where an exchange left it behind.
  ChangedAreas copied = latestBehind_;
  copied.add(changes);
  if (copied.whole) {
    copyRows(*pixels);
  } else {
    copyAreas(*pixels, copied);
  }
  latestBehind_ = {};
  changedSinceExchange_.add(changes);
  newFrame_ = true;
}

void FrameSink::copyRows(const PixelBuffer& pixels) {
  const std::size_t rowBytes = static_cast<std::size_t>(lockedW_) * kBytesPerPixel;
  const std::size_t stride = pixels.bytesPerRow();
  const std::uint8_t* source = pixels.baseAddress();
  std::uint8_t* target = latestFrame_->data();
  if (stride == rowBytes) {
    std::memcpy(target, source, latestFrame_->size());
    return;
  }
  for (std::size_t row = 0; row < static_cast<std::size_t>(lockedH_); ++row) {
    std::memcpy(target + row * rowBytes, source + row * stride, rowBytes);
  }
}

void FrameSink::copyAreas(const PixelBuffer& pixels, const ChangedAreas& changes) {
  const std::size_t rowBytes = static_cast<std::size_t>(lockedW_) * kBytesPerPixel;
  const std::size_t stride = pixels.bytesPerRow();
  const std::uint8_t* source = pixels.baseAddress();
  std::uint8_t* target = latestFrame_->data();
  for (const ChangedAreas::Area& a : changes.areas) {
    for (std::size_t row = a.y; row < a.y + a.height; ++row) {
      std::memcpy(target + row * rowBytes + a.x * kBytesPerPixel,
                  source + row * stride + a.x * kBytesPerPixel, a.width * kBytesPerPixel);
    }
  }
}

void FrameSink::startPacing() {
  // A whole frame is many times the default pipe; fewer, larger transfers
  // keep the writes from waking the reader for every 64 KiB.
  out_.io.enlargePipe(out_.stdoutFd);
  auto queue = dispatch_.makeSerialQueue("vexel.screencap.pacing");
  auto timer = dispatch_.makeTimerSource(std::move(queue));
  timer->schedule(dispatch_.now(), pacingInterval(fps_), kPacingLeeway);
  // The source dies with the sink (see the destructor), so the handler never
  // outlives the object it calls.
  timer->setEventHandler([this] { tick(); });
  timer->resume();
  pacing_ = std::move(timer);
}

void FrameSink::tick() {
  {
    const std::scoped_lock guard(lock_);
    if (!latestFrame_) return;
    // The buffers trade places instead of being copied. The intake writes
    // only latestFrame_, under the lock; emitBuffer_ changes only here, on
    // this serial queue, so no one writes it while the write below reads it,
    // and the buffer the intake gets back was fully written by the last tick.
    // With nothing new, the frame already in emitBuffer_ is the latest one.
    if (newFrame_) {
      latestFrame_->swap(emitBuffer_);
      newFrame_ = false;
      // What it now holds is the frame of the last exchange.
      latestBehind_ = std::move(changedSinceExchange_);
      changedSinceExchange_ = {};
    }
  }
  // Partial writes are continued until the whole frame is out: a host that
  // splits the stream by byte count must never see half a frame.
  if (!writeAll(out_.io, out_.stdoutFd, std::as_bytes(std::span(emitBuffer_)))) {
    endWith(out_, 0, [&] {
      errLog(out_, "vexel-screencap: stdout closed after " + std::to_string(framesEmitted_) +
                       " frames — exiting");
    });
  }
  ++framesEmitted_;
  if (!firstLogged_) {
    firstLogged_ = true;
    errLog(out_, "vexel-screencap: streaming " + std::to_string(lockedW_) + "x" +
                     std::to_string(lockedH_) + "@" + std::to_string(fps_) + " (steady pacing)");
  }
}

}  // namespace vexel::screencap
