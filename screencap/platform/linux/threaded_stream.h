#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "screencap/platform/capture.h"
#include "screencap/platform/pixman/scale.h"

namespace vexel::screencap {

// Rows of the frame buffer start on this boundary and always carry padding,
// so consumers never get away with assuming packed rows.
inline constexpr std::size_t kRowAlignment = 64;
std::size_t paddedRowBytes(std::size_t width);

// The largest side a stream accepts; beyond it the frame buffer alone would
// run into gigabytes.
inline constexpr std::int64_t kLargestSide = 16384;

// The spacing between delivered frames for a configured minimum interval.
std::chrono::nanoseconds frameSpacing(const MediaTime& minimumFrameInterval);

// Why a configuration cannot be captured, if it cannot.
std::optional<PlatformError> checkConfiguration(const StreamConfiguration& configuration);

// A frame buffer with padded, aligned rows.
class FramePixels final : public PixelBuffer {
 public:
  void lockBaseAddress(std::uint64_t) override {}
  void unlockBaseAddress(std::uint64_t) override {}
  [[nodiscard]] std::size_t width() const override { return width_; }
  [[nodiscard]] std::size_t height() const override { return height_; }
  [[nodiscard]] std::size_t bytesPerRow() const override { return stride_; }
  [[nodiscard]] const std::uint8_t* baseAddress() const override { return data_.get(); }

  bool allocate(std::size_t width, std::size_t height);
  [[nodiscard]] x11::ImageView view() const;

 private:
  struct AlignedFree {
    void operator()(std::uint8_t* data) const;
  };
  std::size_t width_ = 0;
  std::size_t height_ = 0;
  std::size_t stride_ = 0;
  std::unique_ptr<std::uint8_t, AlignedFree> data_;
};

// State shared by a stream, its capture thread and the deliveries queued on
// the output's queue; the queued work keeps it alive past the stream.
struct StreamCore {
  StreamCore(ContentFilter contentFilter, StreamConfiguration config,
             StreamDelegate& streamDelegate)
      : filter(contentFilter), configuration(config), delegate(streamDelegate) {}
  virtual ~StreamCore() = default;
  StreamCore(const StreamCore&) = delete;
  StreamCore& operator=(const StreamCore&) = delete;
  // Called once the stream is going away, for a capture thread that waits on
  // more than `wake`.
  virtual void interrupt() {}

  const ContentFilter filter;
  const StreamConfiguration configuration;
  StreamDelegate& delegate;

  // Written by the capture thread only while no delivery is in flight. The
  // one buffer is the whole pool, so the configured queue depth has no effect.
  FramePixels pixels;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;          // the stream is gone: nothing more is called
  bool finished = false;          // the capture ended with an error
  bool inFlight = false;          // a delivery is queued or running
  bool awaitingDelivery = false;  // the capture thread waits for inFlight to clear
  StreamOutput* output = nullptr;
  std::shared_ptr<SerialQueue> queue;
};

// Waits, with `lock` held on core.mutex, until no delivery is in flight;
// true when the stream is stopping instead.
bool waitForDelivery(StreamCore& core, std::unique_lock<std::mutex>& lock);

// Allocates the frame buffer of the configured size, if the size is capturable.
std::optional<PlatformError> prepareFrame(StreamCore& core);

// Reports `error` to the delegate once, after every frame already queued.
void stopWithError(const std::shared_ptr<StreamCore>& core,
                   const std::weak_ptr<CaptureStream>& stream, const PlatformError& error);

// Queues a frame for the output: `image` with what changed in it, if known,
// or an idle frame when there is no image. False when the stream is going away.
bool deliver(const std::shared_ptr<StreamCore>& core, const std::weak_ptr<CaptureStream>& stream,
             const std::shared_ptr<SerialQueue>& queue, std::shared_ptr<PixelBuffer> image,
             std::optional<std::vector<Rect>> changed);

// The core's frame buffer, held with the core.
inline std::shared_ptr<PixelBuffer> framePixels(const std::shared_ptr<StreamCore>& core) {
  return {core, &core->pixels};
}

// A stream whose capture runs on a thread of its own, started by
// startCapture and ended by the destructor.
class ThreadedStream final : public CaptureStream,
                             public std::enable_shared_from_this<ThreadedStream> {
 public:
  using CaptureLoop = std::function<void(std::weak_ptr<CaptureStream>, const StartHandler&)>;
  ThreadedStream(std::shared_ptr<StreamCore> core, CaptureLoop loop)
      : core_(std::move(core)), loop_(std::move(loop)) {}
  ~ThreadedStream() override;
  ThreadedStream(const ThreadedStream&) = delete;
  ThreadedStream& operator=(const ThreadedStream&) = delete;

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) override;
  void startCapture(StartHandler handler) override;

 private:
  std::shared_ptr<StreamCore> core_;
  CaptureLoop loop_;
  std::mutex startMutex_;
  std::thread thread_;
};

}  // namespace vexel::screencap
