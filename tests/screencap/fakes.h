#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/posix_io.h"
#include "screencap/diagnostics.h"
#include "screencap/platform/capture.h"
#include "screencap/platform/dispatch.h"
#include "testing/scripted_io.h"

namespace vexel::screencap::testing {

// What exitWith throws in tests, in place of ending the process.
struct ExitCalled {
  int status;
};

using ScriptedIo = vexel::testing::ScriptedIo;

inline constexpr int kOut = 1;
inline constexpr int kErr = 2;

inline Outlet throwingOutlet(PosixIo& io) {
  return Outlet{io, kOut, kErr, [](int status) { throw ExitCalled{status}; }};
}

// Dispatch that runs nothing by itself: tests run the delayed work and the
// timer's ticks; work for a queue is dropped.
class FakeDispatch final : public Dispatch {
 public:
  struct Delayed {
    std::chrono::nanoseconds delay;
    Work work;
  };
  class Queue final : public SerialQueue {
   public:
    explicit Queue(std::string label) : label_(std::move(label)) {}
    const std::string& label() const override { return label_; }
    void async(Work /*work*/) override {}

   private:
    std::string label_;
  };
  struct TimerRecord {
    std::shared_ptr<SerialQueue> queue;
    std::optional<DispatchClock::time_point> deadline;
    std::chrono::nanoseconds interval{0};
    std::chrono::nanoseconds leeway{0};
    Work handler;
    bool resumed = false;
    bool destroyed = false;
  };
  class Timer final : public TimerSource {
   public:
    explicit Timer(std::shared_ptr<TimerRecord> record) : record_(std::move(record)) {}
    ~Timer() override { record_->destroyed = true; }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    void schedule(DispatchClock::time_point deadline, std::chrono::nanoseconds interval,
                  std::chrono::nanoseconds leeway) override {
      record_->deadline = deadline;
      record_->interval = interval;
      record_->leeway = leeway;
    }
    void setEventHandler(Work handler) override { record_->handler = std::move(handler); }
    void resume() override { record_->resumed = true; }

   private:
    std::shared_ptr<TimerRecord> record_;
  };

  DispatchClock::time_point now() override { return clock; }
  void asyncAfter(std::chrono::nanoseconds delay, Work work) override {
    delayed.push_back({delay, std::move(work)});
  }
  std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override {
    return std::make_shared<Queue>(std::move(label));
  }
  std::unique_ptr<TimerSource> makeTimerSource(std::shared_ptr<SerialQueue> queue) override {
    auto record = std::make_shared<TimerRecord>();
    record->queue = std::move(queue);
    timers.push_back(record);
    return std::make_unique<Timer>(record);
  }
  [[noreturn]] void parkMain() override { throw std::logic_error("parkMain in a test"); }

  // Runs one due tick of the only timer, as its queue would.
  void tick() {
    if (timers.size() != 1 || !timers[0]->resumed || timers[0]->destroyed) {
      throw std::logic_error("no running timer");
    }
    timers[0]->handler();
  }

  DispatchClock::time_point clock{std::chrono::seconds(100)};
  std::vector<Delayed> delayed;
  std::vector<std::shared_ptr<TimerRecord>> timers;
};

// A picture kept in memory and changed in place, as a capture stream keeps
// its frame. Pixel (x, y) of picture `seed` starts as the bytes seed, x, y,
// 0xFF; row padding is 0xEE.
class FakePixels final : public PixelBuffer {
 public:
  FakePixels(std::size_t width, std::size_t height, std::size_t stride, int seed = 0)
      : width_(width), height_(height), stride_(stride), bytes_(stride * height, 0xEE) {
    for (std::size_t y = 0; y < height; ++y) {
      for (std::size_t x = 0; x < width && 4 * x + 3 < stride; ++x) {
        const std::uint8_t pixel[4] = {static_cast<std::uint8_t>(seed),
                                       static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                       0xFF};
        std::memcpy(&bytes_[y * stride + 4 * x], pixel, 4);
      }
    }
  }
  void paint(std::size_t x, std::size_t y, std::size_t w, std::size_t h, std::uint32_t value) {
    for (std::size_t row = y; row < y + h; ++row) {
      for (std::size_t column = x; column < x + w; ++column) {
        std::memcpy(&bytes_[row * stride_ + 4 * column], &value, 4);
      }
    }
  }
  void lockBaseAddress(std::uint64_t flags) override {
    lockFlags.push_back(flags);
    ++locked;
  }
  void unlockBaseAddress(std::uint64_t flags) override {
    unlockFlags.push_back(flags);
    --locked;
  }
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t bytesPerRow() const override { return stride_; }
  const std::uint8_t* baseAddress() const override {
    return nullBase || bytes_.empty() ? nullptr : bytes_.data();
  }

  // The picture as one tightly packed frame.
  std::string packed() const {
    std::string out;
    for (std::size_t y = 0; y < height_; ++y) {
      out.append(reinterpret_cast<const char*>(&bytes_[y * stride_]), width_ * 4);
    }
    return out;
  }

  bool nullBase = false;
  int locked = 0;
  std::vector<std::uint64_t> lockFlags;
  std::vector<std::uint64_t> unlockFlags;

 private:
  std::size_t width_;
  std::size_t height_;
  std::size_t stride_;
  std::vector<std::uint8_t> bytes_;
};

class FakeSample final : public SampleBuffer {
 public:
  explicit FakeSample(PixelBuffer* pixels) : pixels_(pixels) {}
  // A frame of `status` that reports `changed` as what changed, when given.
  FakeSample(PixelBuffer* pixels, std::optional<std::vector<Rect>> changed,
             FrameStatus status = FrameStatus::kComplete)
      : pixels_(pixels) {
    AttachmentDictionary info{{kStreamFrameInfoStatus, static_cast<std::int64_t>(status)}};
    if (changed) info.emplace(kStreamFrameInfoDirtyRects, std::move(*changed));
    attachments = {std::move(info)};
  }
  bool isValid() const override { return valid; }
  PixelBuffer* imageBuffer() override { return pixels_; }
  std::optional<std::vector<AttachmentDictionary>> sampleAttachments() const override {
    return attachments;
  }

  bool valid = true;
  std::optional<std::vector<AttachmentDictionary>> attachments;

 private:
  PixelBuffer* pixels_;
};

class ScriptedContentProvider final : public ContentProvider {
 public:
  struct Entry {
    Display display;
    Rect bounds;
    bool isMain = false;
  };
  void getShareableContent(ContentHandler handler) override { pending = std::move(handler); }
  Rect displayBounds(DisplayID id) override { return find(id).bounds; }
  bool displayIsMain(DisplayID id) override { return find(id).isMain; }

  ShareableContent content() const {
    ShareableContent content;
    for (const auto& entry : entries) content.displays.push_back(entry.display);
    return content;
  }

  std::vector<Entry> entries;
  ContentHandler pending;

 private:
  const Entry& find(DisplayID id) const {
    for (const auto& entry : entries) {
      if (entry.display.displayID == id) return entry;
    }
    throw std::logic_error("unknown display");
  }
};

class FakeStream final : public CaptureStream {
 public:
  std::optional<PlatformError> addStreamOutput(StreamOutput& out, StreamOutputType type,
                                               std::shared_ptr<SerialQueue> queue) override {
    output = &out;
    outputType = type;
    outputQueue = std::move(queue);
    return addError;
  }
  void startCapture(StartHandler handler) override { start = std::move(handler); }

  std::optional<PlatformError> addError;
  StreamOutput* output = nullptr;
  std::optional<StreamOutputType> outputType;
  std::shared_ptr<SerialQueue> outputQueue;
  StartHandler start;
};

class FakeStreamFactory final : public StreamFactory {
 public:
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& f, const StreamConfiguration& c,
                                            StreamDelegate& d) override {
    filter = f;
    configuration = c;
    delegate = &d;
    stream = std::make_shared<FakeStream>();
    stream->addError = addError;
    return stream;
  }

  std::optional<PlatformError> addError;  // for the streams made
  std::optional<ContentFilter> filter;
  std::optional<StreamConfiguration> configuration;
  StreamDelegate* delegate = nullptr;
  std::shared_ptr<FakeStream> stream;
};

// Runs `body` and returns the status it exited with, or nothing.
template <typename Body>
std::optional<int> exitStatusOf(Body&& body) {
  try {
    body();
  } catch (const ExitCalled& exit) {
    return exit.status;
  }
  return std::nullopt;
}

}  // namespace vexel::screencap::testing
