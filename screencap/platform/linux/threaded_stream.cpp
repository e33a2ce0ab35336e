#include "screencap/platform/linux/threaded_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vexel::screencap {

namespace {

// Used when the configuration leaves the interval unset or invalid.
constexpr std::chrono::nanoseconds kDefaultSpacing{16'666'667};
constexpr std::chrono::nanoseconds kShortestSpacing = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds kLongestSpacing = std::chrono::hours(1);

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

}  // namespace

std::size_t paddedRowBytes(std::size_t width) {
  return (width * 4 / kRowAlignment + 1) * kRowAlignment;
}

std::chrono::nanoseconds frameSpacing(const MediaTime& minimumFrameInterval) {
  if (minimumFrameInterval.value <= 0 || minimumFrameInterval.timescale <= 0) {
    return kDefaultSpacing;
  }
  const std::chrono::duration<double> spacing(static_cast<double>(minimumFrameInterval.value) /
                                              minimumFrameInterval.timescale);
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
    char code[16];
    (void)std::snprintf(code, sizeof code, "0x%08x", configuration.pixelFormat);
    return PlatformError{std::string("pixel format ") + code + " is not supported; only BGRA is"};
  }
  return std::nullopt;
}

void FramePixels::AlignedFree::operator()(std::uint8_t* data) const {
  std::free(data);  // NOLINT(cppcoreguidelines-no-malloc)
}

bool FramePixels::allocate(std::size_t width, std::size_t height) {
  width_ = width;
  height_ = height;
  stride_ = paddedRowBytes(width);
  data_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kRowAlignment, stride_ * height)));
  return data_ != nullptr;
}

x11::ImageView FramePixels::view() const {
  return {data_.get(), static_cast<int>(width_), static_cast<int>(height_),
          static_cast<int>(stride_)};
}

std::optional<PlatformError> prepareFrame(StreamCore& core) {
  if (auto failure = checkConfiguration(core.configuration)) return failure;
  if (!core.pixels.allocate(static_cast<std::size_t>(core.configuration.width),
                            static_cast<std::size_t>(core.configuration.height))) {
    return PlatformError{"cannot allocate a frame buffer of " +
                         std::to_string(core.configuration.width) + "x" +
                         std::to_string(core.configuration.height)};
  }
  return std::nullopt;
}

void stopWithError(const std::shared_ptr<StreamCore>& core,
                   const std::weak_ptr<CaptureStream>& stream, const PlatformError& error) {
  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard guard(core->mutex);
    if (core->stopping || core->finished) return;
    core->finished = true;
    queue = core->queue;
  }
  auto report = [core, stream, error] {
    // Holding the stream keeps it from being torn down during the callback.
    const auto held = stream.lock();
    if (!held) return;
    core->delegate.streamDidStopWithError(*held, error);
  };
  // On the output's queue the report comes after every frame already queued.
  if (queue) {
    queue->async(std::move(report));
  } else {
    report();
  }
}

bool waitForDelivery(StreamCore& core, std::unique_lock<std::mutex>& lock) {
  core.awaitingDelivery = true;
  core.wake.wait(lock, [&] { return core.stopping || !core.inFlight; });
  core.awaitingDelivery = false;
  return core.stopping;
}

bool deliver(const std::shared_ptr<StreamCore>& core, const std::weak_ptr<CaptureStream>& stream,
             const std::shared_ptr<SerialQueue>& queue, std::shared_ptr<PixelBuffer> image,
             std::optional<std::vector<Rect>> changed) {
  {
    std::lock_guard guard(core->mutex);
    if (core->stopping) return false;
    core->inFlight = true;
  }
  queue->async([core, stream, image = std::move(image), changed = std::move(changed)] {
    if (const auto held = stream.lock()) {
      StreamOutput* output = nullptr;
      {
        std::lock_guard guard(core->mutex);
        output = core->stopping ? nullptr : core->output;
      }
      if (output != nullptr) {
        // Idle frames carry no image, as nothing new is to be seen.
        FrameSample sample(image ? FrameStatus::kComplete : FrameStatus::kIdle, image.get(),
                           changed);
        output->streamDidOutputSampleBuffer(*held, sample, StreamOutputType::kScreen);
      }
    }
    bool awaited = false;
    {
      std::lock_guard guard(core->mutex);
      core->inFlight = false;
      awaited = core->awaitingDelivery;
    }
    // A capture thread asleep until its next frame is left asleep.
    if (awaited) core->wake.notify_all();
  });
  return true;
}

ThreadedStream::~ThreadedStream() {
  {
    std::lock_guard guard(core_->mutex);
    core_->stopping = true;
  }
  core_->wake.notify_all();
  core_->interrupt();
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

std::optional<PlatformError> ThreadedStream::addStreamOutput(StreamOutput& output,
                                                             StreamOutputType type,
                                                             std::shared_ptr<SerialQueue> queue) {
  if (type != StreamOutputType::kScreen) return PlatformError{"this stream captures no audio"};
  if (!queue) return PlatformError{"a stream output needs a queue"};
  std::lock_guard guard(core_->mutex);
  if (core_->output != nullptr) return PlatformError{"the stream already has a screen output"};
  core_->output = &output;
  core_->queue = std::move(queue);
  return std::nullopt;
}

void ThreadedStream::startCapture(StartHandler handler) {
  std::unique_lock guard(startMutex_);
  if (thread_.joinable()) {
    guard.unlock();
    handler(PlatformError{"the stream has already been started"});
    return;
  }
  thread_ = std::thread(loop_, weak_from_this(), std::move(handler));
}

}  // namespace vexel::screencap
