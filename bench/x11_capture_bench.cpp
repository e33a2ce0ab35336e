// The per-frame cost of the X11 stream: scaling alone, and a grab plus scale
// from a private Xvfb. Times are per frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "screencap/platform/linux/threaded_stream.h"
#include "screencap/platform/pixman/scale.h"
#include "screencap/platform/x11/grabber.h"
#include "testing/x_server.h"

namespace {

using vexel::screencap::x11::ImageView;

constexpr int kSourceWidth = 1920;
constexpr int kSourceHeight = 1080;

struct Buffer {
  Buffer(int w, int h, std::size_t stride)
      : bytes(stride * static_cast<std::size_t>(h)),
        view{bytes.data(), w, h, static_cast<int>(stride)} {}
  std::vector<std::uint8_t> bytes;
  ImageView view;
};

// Something like a desktop: gradients with fine detail, so filters do real work.
Buffer desktopLike() {
  Buffer source(kSourceWidth, kSourceHeight, kSourceWidth * 4);
  for (int y = 0; y < kSourceHeight; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(source.bytes.data() + y * source.view.stride);
    for (int x = 0; x < kSourceWidth; ++x) {
      row[x] = ((x * 255 / kSourceWidth) << 16) | ((y * 255 / kSourceHeight) << 8) |
               (((x ^ y) & 1) != 0 ? 0xffU : 0U);
    }
  }
  return source;
}

void scaleTo(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  Buffer source = desktopLike();
  Buffer destination(width, height, vexel::screencap::paddedRowBytes(width));
  vexel::screencap::x11::ScalePlan plan;
  if (!makeScalePlan(source.view, destination.view, plan)) {
    state.SkipWithError("no scale plan");
    return;
  }
  for (auto _ : state) {
    runScale(plan);
    benchmark::ClobberMemory();
  }
  const char* names[] = {"copy", "bilinear", "convolution"};
  state.SetLabel(names[static_cast<int>(plan.filter)]);
}
BENCHMARK(scaleTo)
    ->Args({1920, 1080})
    ->Args({1280, 720})
    ->Args({800, 450})
    ->Args({640, 360})
    ->Args({320, 180})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

// Grab of the whole 1920x1080 root through MIT-SHM, then the scale.
void grabAndScaleOnXvfb(benchmark::State& state) {
  vexel::testing::PrivateXServer server(
      vexel::testing::PrivateXServer::Options{"1920x1080x24", {"-extension", "RANDR"}});
  if (!server.running()) {
    state.SkipWithError("Xvfb is not available");
    return;
  }
  vexel::screencap::x11::Grabber grabber;
  vexel::screencap::x11::ScreenArea area;
  if (connectGrabber(grabber, server.display()) || locateDisplay(grabber, 0, area) ||
      prepareSegment(grabber, area)) {
    state.SkipWithError("cannot set up the grab");
    return;
  }
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  Buffer destination(width, height, vexel::screencap::paddedRowBytes(width));
  vexel::screencap::x11::ScalePlan plan;
  if (!makeScalePlan(grabbedImage(grabber), destination.view, plan)) {
    state.SkipWithError("no scale plan");
    return;
  }
  const bool scale = state.range(2) != 0;
  for (auto _ : state) {
    if (grabArea(grabber)) {
      state.SkipWithError("grab failed");
      return;
    }
    if (scale) runScale(plan);
    benchmark::ClobberMemory();
  }
  state.SetLabel(scale ? "grab+scale" : "grab only");
}
BENCHMARK(grabAndScaleOnXvfb)
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Args({1280, 720, 1})
    ->Args({320, 180, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
