#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
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
using testing::ScriptedPixelBuffer;
using testing::ScriptedSampleBuffer;

// Frames arrive on one thread while the real timer writes on another: every
// written frame must be one whole frame, never a mix of two.
TEST(FrameSinkThreads, FramesWrittenWhileNewOnesArriveAreNeverTorn) {
  testing::ScriptedIo io;
  const Outlet outlet{io, 1, 2, [](int) { ADD_FAILURE() << "no exit expected"; }};
  StdDispatch dispatch;
  constexpr std::size_t kWidth = 64;
  constexpr std::size_t kHeight = 32;
  auto sink = std::make_unique<FrameSink>(1000, outlet, dispatch);
  std::atomic<bool> stop{false};
  std::thread frames([&] {
    FakeStream stream;
    std::vector<std::shared_ptr<ScriptedPixelBuffer>> buffers;
    for (int seed = 1; seed <= 4; ++seed) {
      buffers.push_back(std::make_shared<ScriptedPixelBuffer>(kWidth, kHeight, 320, seed));
    }
    for (std::size_t i = 0; !stop; ++i) {
      ScriptedSampleBuffer sample(buffers[i % buffers.size()]);
      sink->streamDidOutputSampleBuffer(stream, sample, StreamOutputType::kScreen);
    }
  });
  {
    std::unique_lock lock(io.mutex);
    ASSERT_TRUE(io.changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return io.chunks[1].size() >= 30; }));
  }
  stop = true;
  frames.join();
  sink.reset();  // stops the timer before the collector goes away
  const std::scoped_lock lock(io.mutex);
  for (const std::string& frame : io.chunks[1]) {
    ASSERT_EQ(frame.size(), kWidth * kHeight * 4);
    for (std::size_t i = 0; i < frame.size(); i += 4) {
      ASSERT_EQ(frame[i], frame[0]) << "pixel " << i / 4 << " from another frame";
    }
  }
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
