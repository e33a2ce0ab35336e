#include "screencap/platform/x11/stream_x11.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "screencap/platform/x11/grabber.h"

namespace vexel::screencap::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// Used when the configuration leaves the interval unset or invalid.
constexpr std::chrono::nanoseconds kDefaultSpacing{16'666'667};
constexpr std::chrono::nanoseconds kShortestSpacing = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds kLongestSpacing = std::chrono::hours(1);
// Monitor changes do not always raise a RandR event; look again this often.
constexpr std::chrono::seconds kLayoutRecheck{1};

struct AlignedFree {
  void operator()(std::uint8_t* data) const {
    std::free(data);
  }  // NOLINT(cppcoreguidelines-no-malloc)
};

class FramePixels final : public PixelBuffer {
 public:
  void lockBaseAddress(std::uint64_t) override {}
  void unlockBaseAddress(std::uint64_t) override {}
  [[nodiscard]] std::size_t width() const override { return width_; }
  [[nodiscard]] std::size_t height() const override { return height_; }
  [[nodiscard]] std::size_t bytesPerRow() const override { return stride_; }
  [[nodiscard]] const std::uint8_t* baseAddress() const override { return data_.get(); }

  bool allocate(std::size_t width, std::size_t height) {
    width_ = width;
    height_ = height;
    stride_ = paddedRowBytes(width);
    data_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kRowAlignment, stride_ * height)));
    return data_ != nullptr;
  }
  [[nodiscard]] ImageView view() const {
    return {data_.get(), static_cast<int>(width_), static_cast<int>(height_),
            static_cast<int>(stride_)};
  }

 private:
  std::size_t width_ = 0;
  std::size_t height_ = 0;
  std::size_t stride_ = 0;
  std::unique_ptr<std::uint8_t, AlignedFree> data_;
};

class FrameSample final : public SampleBuffer {
 public:
  FrameSample(FrameStatus status, PixelBuffer* pixels,
              const std::optional<std::vector<Rect>>& changed)
      : status_(status), pixels_(pixels), changed_(changed) {}
  [[nodiscard]] bool isValid() const override { return true; }
  PixelBuffer* imageBuffer() override { return pixels_; }
  [[nodiscard]] std::optional<std::vector<AttachmentDictionary>> sampleAttachments()
      const override {
    AttachmentDictionary info{{kStreamFrameInfoStatus, static_cast<std::int64_t>(status_)}};
    if (changed_) info.emplace(kStreamFrameInfoDirtyRects, *changed_);
    return std::vector<AttachmentDictionary>{std::move(info)};
  }

 private:
  FrameStatus status_;
  PixelBuffer* pixels_;
  const std::optional<std::vector<Rect>>& changed_;
};

// State shared by the stream, its capture thread and the deliveries queued on
// the output's queue; the queued work keeps it alive past the stream.
struct StreamCore {
  StreamCore(std::string display, ContentFilter contentFilter, StreamConfiguration config,
             StreamDelegate& streamDelegate)
      : displayName(std::move(display)),
        filter(contentFilter),
        configuration(config),
        delegate(streamDelegate) {}

  const std::string displayName;
  const ContentFilter filter;
  const StreamConfiguration configuration;
  StreamDelegate& delegate;

  // Written by the capture thread only while no delivery is in flight. The
  // one buffer is the whole pool, so the configured queue depth has no effect.
  FramePixels pixels;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;  // the stream is gone: nothing more is called
  bool finished = false;  // the capture ended with an error
  bool inFlight = false;  // a delivery is queued or running
  StreamOutput* output = nullptr;
  std::shared_ptr<SerialQueue> queue;
};

class X11CaptureStream;

struct CaptureRun {
  std::shared_ptr<StreamCore> core;
  std::weak_ptr<X11CaptureStream> stream;
  Grabber grabber;
  ScalePlan plan;
  CursorImage cursor;
  CursorImage shownCursor;      // as drawn into the screen copy
  bool needFrame = true;        // the whole area must be grabbed
  bool changesPending = false;  // damage was reported and not yet taken
  // Where the last frame produced differs from the one before it; absent
  // when that is not known.
  std::optional<std::vector<Rect>> changedOutput;
};

class X11CaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<X11CaptureStream> {
 public:
  explicit X11CaptureStream(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
  ~X11CaptureStream() override;
  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) override;
  void startCapture(StartHandler handler) override;

 private:
  std::shared_ptr<StreamCore> core_;
  std::mutex startMutex_;
  std::thread thread_;
};

bool intersects(const CursorImage& cursor, const ScreenArea& area) {
  return cursor.width > 0 && cursor.left < area.x + area.width &&
         area.x < cursor.left + cursor.width && cursor.top < area.y + area.height &&
         area.y < cursor.top + cursor.height;
}

bool sameCursor(const CursorImage& a, const CursorImage& b) {
  return a.left == b.left && a.top == b.top && a.serial == b.serial && a.width == b.width &&
         a.height == b.height;
}

void stopWithError(CaptureRun& run, const PlatformError& error) {
  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard guard(run.core->mutex);
    if (run.core->stopping || run.core->finished) return;
    run.core->finished = true;
    queue = run.core->queue;
  }
  auto report = [core = run.core, weak = run.stream, error] {
    // Holding the stream keeps it from being torn down during the callback.
    const auto stream = weak.lock();
    if (!stream) return;
    core->delegate.streamDidStopWithError(*stream, error);
  };
  // On the output's queue the report comes after every frame already queued.
  if (queue) {
    queue->async(std::move(report));
  } else {
    report();
  }
}

std::optional<PlatformError> replan(CaptureRun& run, const ScreenArea& area) {
  if (auto failure = prepareSegment(run.grabber, area)) return failure;
  if (!makeScalePlan(grabbedImage(run.grabber), run.core->pixels.view(), run.plan)) {
    return PlatformError{"cannot prepare the scaling of " + std::to_string(area.width) + "x" +
                         std::to_string(area.height) + " to the stream size"};
  }
  run.needFrame = true;
  return std::nullopt;
}

// Follows the display when the layout changed; a display that is gone ends
// the stream.
std::optional<PlatformError> followDisplay(CaptureRun& run) {
  ScreenArea area;
  if (auto failure = locateDisplay(run.grabber, run.core->filter.display.displayID, area)) {
    return failure;
  }
  if (area == run.grabber.area) return std::nullopt;
  return replan(run, area);
}

std::optional<PlatformError> setUp(CaptureRun& run) {
  StreamCore& core = *run.core;
  if (auto failure = checkConfiguration(core.configuration)) return failure;
  if (!core.pixels.allocate(static_cast<std::size_t>(core.configuration.width),
                            static_cast<std::size_t>(core.configuration.height))) {
    return PlatformError{"cannot allocate a frame buffer of " +
                         std::to_string(core.configuration.width) + "x" +
                         std::to_string(core.configuration.height)};
  }
  if (auto failure = connectGrabber(run.grabber, core.displayName)) return failure;
  ScreenArea area;
  if (auto failure = locateDisplay(run.grabber, core.filter.display.displayID, area)) {
    return failure;
  }
  return replan(run, area);
}

bool drawsCursor(const CaptureRun& run) {
  return run.core->configuration.showsCursor && run.grabber.cursorAvailable;
}

// The cursor's rectangle in area coordinates, clipped to the area.
ScreenArea cursorArea(const CursorImage& cursor, const ScreenArea& area) {
  if (cursor.width <= 0 || cursor.height <= 0) return {};
  const int x0 = std::max(cursor.left - area.x, 0);
  const int y0 = std::max(cursor.top - area.y, 0);
  const int x1 = std::min(cursor.left - area.x + cursor.width, area.width);
  const int y1 = std::min(cursor.top - area.y + cursor.height, area.height);
  if (x1 <= x0 || y1 <= y0) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

ScreenArea boundingBox(const std::vector<ScreenArea>& areas) {
  ScreenArea box = areas.front();
  for (const ScreenArea& a : areas) {
    const int x1 = std::max(box.x + box.width, a.x + a.width);
    const int y1 = std::max(box.y + box.height, a.y + a.height);
    box.x = std::min(box.x, a.x);
    box.y = std::min(box.y, a.y);
    box.width = x1 - box.x;
    box.height = y1 - box.y;
  }
  return box;
}

std::optional<PlatformError> produceWholeFrame(CaptureRun& run) {
  auto failure = grabArea(run.grabber);
  if (failure && connectionError(run.grabber) == std::nullopt) {
    // A grab that races with a mode change fails once; a display that is
    // gone fails again.
    if (auto moved = followDisplay(run)) return moved;
    failure = grabArea(run.grabber);
  }
  if (failure) return failure;
  if (drawsCursor(run)) {
    compositeCursor(grabbedImage(run.grabber), run.grabber.area.x, run.grabber.area.y, run.cursor);
    run.shownCursor = run.cursor;
  }
  runScale(run.plan);
  run.needFrame = false;
  run.changesPending = false;
  run.changedOutput.reset();
  return std::nullopt;
}

// Refreshes only what changed: the damaged parts of the screen copy, the
// place where the cursor was drawn before (the copy holds its pixels), and
// the output pixels that read any of them. `produced` tells whether anything
// in the area changed at all.
std::optional<PlatformError> produceChangedParts(CaptureRun& run, bool cursorMoved,
                                                 bool& produced) {
  produced = true;
  Changes changes;
  if (auto failure = takeChanges(run.grabber, changes)) return failure;
  if (!changes.known) return produceWholeFrame(run);
  run.changesPending = false;
  std::vector<ScreenArea> grabs = std::move(changes.areas);
  if (grabs.empty() && !cursorMoved) {
    produced = false;  // drawn elsewhere on the screen
    return std::nullopt;
  }
  const ScreenArea& area = run.grabber.area;
  if (drawsCursor(run)) {
    if (const ScreenArea old = cursorArea(run.shownCursor, area); old.width > 0) {
      grabs.push_back(old);
    }
  }
  if (grabs.empty()) {
    // Only the cursor moved, from outside the area into it.
  } else if (!fitsPartialGrab(run.grabber, grabs)) {
    grabs = {boundingBox(grabs)};
    if (!fitsPartialGrab(run.grabber, grabs)) return produceWholeFrame(run);
  }
  if (auto failure = grabRects(run.grabber, grabs)) {
    if (connectionError(run.grabber)) return failure;
    // The area may have changed under the grab; start again from a whole one.
    if (auto moved = followDisplay(run)) return moved;
    return produceWholeFrame(run);
  }
  if (drawsCursor(run)) {
    compositeCursor(grabbedImage(run.grabber), area.x, area.y, run.cursor);
    run.shownCursor = run.cursor;
    if (const ScreenArea now = cursorArea(run.cursor, area); now.width > 0) grabs.push_back(now);
  }
  run.changedOutput.emplace();
  for (const ScreenArea& g : grabs) {
    const Placement part = affectedOutput(run.plan, {g.x, g.y, g.width, g.height});
    runScale(run.plan, part);
    if (part.width > 0) {
      run.changedOutput->push_back(Rect{static_cast<double>(part.x), static_cast<double>(part.y),
                                        static_cast<double>(part.width),
                                        static_cast<double>(part.height)});
    }
  }
  return std::nullopt;
}

// One tick: returns false when the stream is to end.
bool tick(CaptureRun& run, Clock::time_point now, Clock::time_point& lastLayoutCheck) {
  StreamCore& core = *run.core;
  Activity activity;
  if (auto failure = collectActivity(run.grabber, activity)) {
    stopWithError(run, *failure);
    return false;
  }
  if (activity.layoutChanged || now - lastLayoutCheck >= kLayoutRecheck) {
    lastLayoutCheck = now;
    if (auto failure = followDisplay(run)) {
      stopWithError(run, *failure);
      return false;
    }
  }
  // Without damage reports every tick grabs the whole area.
  run.needFrame = run.needFrame || !run.grabber.damageAvailable;
  run.changesPending = run.changesPending || activity.damaged;
  bool cursorMoved = false;
  if (drawsCursor(run)) {
    if (auto failure = readCursor(run.grabber, run.cursor)) {
      stopWithError(run, *failure);
      return false;
    }
    cursorMoved =
        !sameCursor(run.cursor, run.shownCursor) &&
        (intersects(run.cursor, run.grabber.area) || intersects(run.shownCursor, run.grabber.area));
  }

  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard guard(core.mutex);
    queue = core.queue;
  }
  if (!queue) return true;  // nobody to deliver to; changes stay pending

  FrameStatus status = FrameStatus::kIdle;
  bool produced = false;
  std::optional<PlatformError> failure;
  if (run.needFrame) {
    failure = produceWholeFrame(run);
    produced = true;
  } else if (run.changesPending || cursorMoved) {
    failure = produceChangedParts(run, cursorMoved, produced);
  }
  if (failure) {
    stopWithError(run, *failure);
    return false;
  }
  if (produced) status = FrameStatus::kComplete;
  {
    std::lock_guard guard(core.mutex);
    if (core.stopping) return false;
    core.inFlight = true;
  }
  std::optional<std::vector<Rect>> changed;
  if (status == FrameStatus::kComplete) changed = run.changedOutput;
  queue->async([core = run.core, weak = run.stream, status, changed = std::move(changed)] {
    if (const auto stream = weak.lock()) {
      StreamOutput* output = nullptr;
      {
        std::lock_guard guard(core->mutex);
        output = core->stopping ? nullptr : core->output;
      }
      if (output != nullptr) {
        // Idle frames carry no image, as nothing new is to be seen.
        FrameSample sample(status, status == FrameStatus::kComplete ? &core->pixels : nullptr,
                           changed);
        output->streamDidOutputSampleBuffer(*stream, sample, StreamOutputType::kScreen);
      }
    }
    {
      std::lock_guard guard(core->mutex);
      core->inFlight = false;
    }
    core->wake.notify_all();
  });
  return true;
}

void captureLoop(std::shared_ptr<StreamCore> core, std::weak_ptr<X11CaptureStream> stream,
                 const StartHandler& handler) {
  CaptureRun run{std::move(core), std::move(stream), {}, {}, {}, {}, true, false, {}};
  if (auto failure = setUp(run)) {
    handler(failure);
    return;
  }
  handler(std::nullopt);

  const auto spacing = frameSpacing(run.core->configuration.minimumFrameInterval);
  Clock::time_point deadline = Clock::now();
  Clock::time_point lastLayoutCheck = deadline;
  for (;;) {
    {
      std::unique_lock lock(run.core->mutex);
      // The frame buffer is reused, so a frame waits for the previous delivery.
      run.core->wake.wait_until(lock, deadline, [&] { return run.core->stopping; });
      run.core->wake.wait(lock, [&] { return run.core->stopping || !run.core->inFlight; });
      if (run.core->stopping) return;
    }
    const Clock::time_point startedAt = Clock::now();
    if (!tick(run, startedAt, lastLayoutCheck)) return;
    // A late frame pushes the schedule back rather than bunching frames up.
    deadline = std::max(deadline + spacing, startedAt + spacing);
  }
}

X11CaptureStream::~X11CaptureStream() {
  {
    std::lock_guard guard(core_->mutex);
    core_->stopping = true;
  }
  core_->wake.notify_all();
  std::lock_guard guard(startMutex_);
  if (!thread_.joinable()) return;
  // The last reference can be dropped by a callback that runs on the capture
  // thread itself; that thread ends on its own as soon as it sees `stopping`.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

std::optional<PlatformError> X11CaptureStream::addStreamOutput(StreamOutput& output,
                                                               StreamOutputType type,
                                                               std::shared_ptr<SerialQueue> queue) {
  if (type != StreamOutputType::kScreen) {
    return PlatformError{"this stream captures no audio"};
  }
  if (!queue) return PlatformError{"a stream output needs a queue"};
  std::lock_guard guard(core_->mutex);
  if (core_->output != nullptr) return PlatformError{"the stream already has a screen output"};
  core_->output = &output;
  core_->queue = std::move(queue);
  return std::nullopt;
}

void X11CaptureStream::startCapture(StartHandler handler) {
  std::unique_lock guard(startMutex_);
  if (thread_.joinable()) {
    guard.unlock();
    handler(PlatformError{"the stream has already been started"});
    return;
  }
  thread_ = std::thread(captureLoop, core_, weak_from_this(), std::move(handler));
}

class X11StreamFactory final : public StreamFactory {
 public:
  explicit X11StreamFactory(std::string displayName) : displayName_(std::move(displayName)) {}
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    return std::make_shared<X11CaptureStream>(
        std::make_shared<StreamCore>(displayName_, filter, configuration, delegate));
  }

 private:
  std::string displayName_;
};

std::string formatCode(std::uint32_t code) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%08x", code);
  return text;
}

}  // namespace

std::size_t paddedRowBytes(std::size_t width) {
  return (width * 4 / kRowAlignment + 1) * kRowAlignment;
}

std::chrono::nanoseconds frameSpacing(const MediaTime& minimumFrameInterval) {
  if (minimumFrameInterval.value <= 0 || minimumFrameInterval.timescale <= 0) {
    return kDefaultSpacing;
  }
  const double seconds =
      static_cast<double>(minimumFrameInterval.value) / minimumFrameInterval.timescale;
  const std::chrono::duration<double> spacing(seconds);
  if (spacing >= kLongestSpacing) return kLongestSpacing;
  return std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(spacing), kShortestSpacing);
}

std::optional<PlatformError> checkConfiguration(const StreamConfiguration& configuration) {
  const std::string size =
      std::to_string(configuration.width) + "x" + std::to_string(configuration.height);
  if (configuration.width <= 0 || configuration.height <= 0) {
    return PlatformError{"cannot capture at " + size + ": width and height must be positive"};
  }
  if (configuration.width > kLargestSide || configuration.height > kLargestSide) {
    return PlatformError{"cannot capture at " + size + ": each side must be at most " +
                         std::to_string(kLargestSide) + " pixels"};
  }
  if (configuration.pixelFormat != kPixelFormatBGRA) {
    return PlatformError{"pixel format " + formatCode(configuration.pixelFormat) +
                         " is not supported; only BGRA is"};
  }
  return std::nullopt;
}

std::unique_ptr<StreamFactory> makeX11StreamFactory(std::string displayName) {
  return std::make_unique<X11StreamFactory>(std::move(displayName));
}

}  // namespace vexel::screencap::x11
