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

// Frames arrive as fast as one thread can deliver them, each changing a
// small area and reporting it, while the real timer writes on another thread:
// every written frame must be exactly one delivered frame, never a mix of
// two, never older than one written before it, and once deliveries stop the
// ticks must repeat the last frame delivered.
TEST(FrameSinkThreads, EveryTickWritesTheLatestWholeFrame) {
  testing::ScriptedIo io;
  const Outlet outlet{io, 1, 2, [](int) { ADD_FAILURE() << "no exit expected"; }};
  StdDispatch dispatch;
  constexpr std::size_t kWidth = 64;
  constexpr std::size_t kHeight = 32;
  auto sink = std::make_unique<FrameSink>(1000, outlet, dispatch);
  auto writtenCount = [&] {
    const std::scoped_lock lock(io.mutex);
    return io.chunks[1].size();
  };
  // The picture of each delivered frame by its number, held in pixel (0, 0).
  std::vector<std::size_t> delivered{0};
  {
    FakeStream stream;
    testing::FakePixels pixels(kWidth, kHeight, kWidth * 4 + 8);
    std::thread frames([&] {
      while (writtenCount() < 30) {
        const auto number = static_cast<std::uint32_t>(delivered.size());
        const std::size_t x = number * 7 % (kWidth - 8);
        const std::size_t y = number * 3 % (kHeight - 4);
        pixels.paint(0, 0, 1, 1, number);
        pixels.paint(x, y, 8, 4, number);
        std::optional<std::vector<Rect>> reported;
        if (number % 5 != 0)
          reported = std::vector<Rect>{{0, 0, 1, 1}, {double(x), double(y), 8, 4}};
        testing::FakeSample sample(&pixels, reported);
        sink->streamDidOutputSampleBuffer(stream, sample, StreamOutputType::kScreen);
        delivered.push_back(std::hash<std::string>{}(pixels.packed()));
      }
    });
    frames.join();
  }
  const std::size_t atStop = writtenCount();
  {
    std::unique_lock lock(io.mutex);
    ASSERT_TRUE(io.changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return io.chunks[1].size() >= atStop + 3; }));
  }
  sink.reset();  // stops the timer before the collector goes away
  const std::scoped_lock lock(io.mutex);
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < io.chunks[1].size(); ++i) {
    const std::string& frame = io.chunks[1][i];
    ASSERT_EQ(frame.size(), kWidth * kHeight * 4);
    std::uint32_t number = 0;
    std::memcpy(&number, frame.data(), 4);
    ASSERT_LT(number, delivered.size());
    ASSERT_EQ(std::hash<std::string>{}(frame), delivered[number]) << "frame " << i << " torn";
    ASSERT_GE(number, previous) << "frame " << i << " went back to an older one";
    previous = number;
  }
  EXPECT_EQ(previous + 1, delivered.size());
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
