#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "screencap/capture_setup.h"
#include "screencap/frame_sink.h"
#include "screencap/platform/std/std_dispatch.h"
#include "tests/screencap/fakes.h"

namespace vexel::screencap {
namespace {

using testing::FakeStream;

// Collects whole frames as the pacing thread writes them.
class FrameCollector final : public PosixIo {
 public:
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    const std::scoped_lock lock(mutex);
    if (fd == 1) {
      frames.emplace_back(static_cast<const char*>(buffer), count);
      changed.notify_all();
    }
    return static_cast<ssize_t>(count);
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> frames;
};

// A frame that is rewritten in place for every delivery, each pixel holding
// the frame's sequence number.
class SequencedPixels final : public PixelBuffer {
 public:
  SequencedPixels(std::size_t width, std::size_t height)
      : width_(width), height_(height), pixels_(width * height) {}
  void show(std::uint32_t sequence) { std::fill(pixels_.begin(), pixels_.end(), sequence); }
  void lockBaseAddress(std::uint64_t) override {}
  void unlockBaseAddress(std::uint64_t) override {}
  std::size_t width() const override { return width_; }
  std::size_t height() const override { return height_; }
  std::size_t bytesPerRow() const override { return width_ * 4; }
  const std::uint8_t* baseAddress() const override {
    return reinterpret_cast<const std::uint8_t*>(pixels_.data());
  }

 private:
  std::size_t width_;
  std::size_t height_;
  std::vector<std::uint32_t> pixels_;
};

class SequencedSample final : public SampleBuffer {
 public:
  explicit SequencedSample(SequencedPixels& pixels) : pixels_(pixels) {}
  bool isValid() const override { return true; }
  PixelBuffer* imageBuffer() override { return &pixels_; }
  std::optional<std::vector<AttachmentDictionary>> sampleAttachments() const override {
    return std::nullopt;
  }

 private:
  SequencedPixels& pixels_;
};

// Frames arrive as fast as one thread can deliver them while the real timer
// writes on another: every written frame must be one whole frame, never a mix
// of two, never older than one written before it, and once deliveries stop
// the ticks must repeat the last frame delivered.
TEST(FrameSinkThreads, EveryTickWritesTheLatestWholeFrame) {
  FrameCollector io;
  const Outlet outlet{io, 1, 2, [](int) { ADD_FAILURE() << "no exit expected"; }};
  StdDispatch dispatch;
  constexpr std::size_t kWidth = 64;
  constexpr std::size_t kHeight = 32;
  auto sink = std::make_unique<FrameSink>(1000, outlet, dispatch);
  auto writtenCount = [&] {
    const std::scoped_lock lock(io.mutex);
    return io.frames.size();
  };
  std::uint32_t lastDelivered = 0;
  {
    FakeStream stream;
    SequencedPixels pixels(kWidth, kHeight);
    std::thread frames([&] {
      while (writtenCount() < 30) {
        pixels.show(++lastDelivered);
        SequencedSample sample(pixels);
        sink->streamDidOutputSampleBuffer(stream, sample, StreamOutputType::kScreen);
      }
    });
    frames.join();
  }
  const std::size_t atStop = writtenCount();
  {
    std::unique_lock lock(io.mutex);
    ASSERT_TRUE(io.changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return io.frames.size() >= atStop + 3; }));
  }
  sink.reset();  // stops the timer before the collector goes away
  const std::scoped_lock lock(io.mutex);
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < io.frames.size(); ++i) {
    const std::string& frame = io.frames[i];
    ASSERT_EQ(frame.size(), kWidth * kHeight * 4);
    std::vector<std::uint32_t> pixels(kWidth * kHeight);
    std::memcpy(pixels.data(), frame.data(), frame.size());
    for (const std::uint32_t pixel : pixels)
      ASSERT_EQ(pixel, pixels[0]) << "frame " << i << " torn";
    ASSERT_GE(pixels[0], previous) << "frame " << i << " went back to an older one";
    previous = pixels[0];
  }
  EXPECT_EQ(previous, lastDelivered);
}

// A timer that fires while another ending writes its last line must neither
// add its own line nor its status before the process is gone.
TEST(ProcessEnding, ASecondEndingWaitsForTheFirst) {
  testing::ScriptedIo io;
  std::promise<void> firstExiting;
  std::promise<void> releaseFirst;
  std::shared_future<void> released = releaseFirst.get_future().share();
  std::atomic<int> exits{0};
  const Outlet outlet{io, 1, 2, [&](int status) {
                        if (exits++ == 0) {
                          firstExiting.set_value();
                          released.wait();
                        }
                        throw testing::ExitCalled{status};
                      }};
  std::thread first([&] { (void)testing::exitStatusOf([&] { fail(outlet, "first"); }); });
  firstExiting.get_future().wait();
  std::optional<int> secondStatus;
  std::thread second([&] { secondStatus = testing::exitStatusOf([&] { listTimeout(outlet); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(io.lines(2), std::vector<std::string>{"vexel-screencap: first"});
  releaseFirst.set_value();
  first.join();
  second.join();
  EXPECT_EQ(secondStatus, 2);
  EXPECT_EQ(io.lines(2).size(), 2U);
}

}  // namespace
}  // namespace vexel::screencap
