// Costs of the capture streamer's frame path, apart from any capture platform:
// the intake of one padded 1080p frame, one paced write of it, and how close
// the standard-library timer keeps to its deadlines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include "screencap/frame_sink.h"
#include "screencap/platform/std/std_dispatch.h"
#include "tests/screencap/fakes.h"

namespace {

using namespace vexel::screencap;
using testing::FakeDispatch;
using testing::FakePixels;
using testing::FakeSample;
using testing::FakeStream;

constexpr std::size_t kWidth = 1920;
constexpr std::size_t kHeight = 1080;
constexpr std::size_t kPaddedStride = 1984 * 4;  // rows aligned to 64 pixels

struct DevNull {
  DevNull() : fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
  ~DevNull() { ::close(fd); }
  DevNull(const DevNull&) = delete;
  DevNull& operator=(const DevNull&) = delete;
  int fd;
};

void BM_IntakePaddedFrame(benchmark::State& state) {
  DevNull null;
  const Outlet outlet{vexel::systemIo(), null.fd, null.fd, [](int) {}};
  FakeDispatch dispatch;
  FrameSink sink(30, outlet, dispatch);
  FakeStream stream;
  FakePixels pixels(kWidth, kHeight, kPaddedStride, 1);
  FakeSample sample(&pixels);
  for (auto _ : state) {
    sink.streamDidOutputSampleBuffer(stream, sample, StreamOutputType::kScreen);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kWidth * kHeight * 4));
}
BENCHMARK(BM_IntakePaddedFrame)->Unit(benchmark::kMicrosecond);

void BM_PacedWriteToDevNull(benchmark::State& state) {
  DevNull null;
  const Outlet outlet{vexel::systemIo(), null.fd, null.fd, [](int) {}};
  FakeDispatch dispatch;
  FrameSink sink(30, outlet, dispatch);
  FakeStream stream;
  FakePixels pixels(kWidth, kHeight, kWidth * 4, 1);
  FakeSample sample(&pixels);
  sink.streamDidOutputSampleBuffer(stream, sample, StreamOutputType::kScreen);
  for (auto _ : state) dispatch.tick();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kWidth * kHeight * 4));
}
BENCHMARK(BM_PacedWriteToDevNull)->Unit(benchmark::kMicrosecond);

// Lateness of each tick against its grid deadline, in microseconds.
void BM_TimerLateness(benchmark::State& state) {
  const std::chrono::milliseconds interval(state.range(0));
  constexpr int kTicks = 60;
  std::vector<double> lateUs;
  for (auto _ : state) {
    StdDispatch dispatch;
    std::vector<DispatchClock::time_point> seen;
    seen.reserve(kTicks);
    std::promise<void> done;
    auto timer = dispatch.makeTimerSource(dispatch.makeSerialQueue("bench.timer"));
    const auto start = dispatch.now();
    timer->schedule(start, interval, std::chrono::milliseconds(2));
    timer->setEventHandler([&] {
      if (seen.size() == kTicks) return;
      seen.push_back(DispatchClock::now());
      if (seen.size() == kTicks) done.set_value();
    });
    timer->resume();
    done.get_future().wait();
    timer.reset();
    for (std::size_t i = 0; i < seen.size(); ++i) {
      lateUs.push_back(
          std::chrono::duration<double, std::micro>(seen[i] - (start + i * interval)).count());
    }
  }
  std::sort(lateUs.begin(), lateUs.end());
  state.counters["late_p50_us"] = lateUs[lateUs.size() / 2];
  state.counters["late_p99_us"] = lateUs[lateUs.size() * 99 / 100];
  state.counters["late_max_us"] = lateUs.back();
}
BENCHMARK(BM_TimerLateness)->Arg(33)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
