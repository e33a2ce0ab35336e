#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "screencap/platform/capture.h"
#include "screencap/platform/pixman/scale.h"
#include "screencap/platform/std/std_dispatch.h"
#include "screencap/platform/x11/stream_x11.h"
#include "testing/x_client.h"
#include "testing/x_server.h"

namespace vexel::screencap {
namespace {

using namespace std::chrono_literals;
using testing::PrivateXServer;

constexpr auto kPatience = 10s;

// Returns once everything queued on `queue` before it has run.
void drain(const std::shared_ptr<SerialQueue>& queue) {
  std::promise<void> ran;
  queue->async([&] { ran.set_value(); });
  ran.get_future().wait();
}

struct Frame {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint32_t> pixels;  // packed rows
  std::uint32_t at(std::size_t x, std::size_t y) const { return pixels[y * width + x]; }
};

// Takes frames the way a consumer must: status from the attachments, rows
// copied out by stride before the callback returns.
class Recorder final : public StreamOutput, public StreamDelegate {
 public:
  void streamDidOutputSampleBuffer(CaptureStream&, SampleBuffer& sample,
                                   StreamOutputType /*type*/) override {
    std::optional<std::int64_t> status;
    std::optional<std::vector<Rect>> reported;
    if (auto attachments = sample.sampleAttachments(); attachments && !attachments->empty()) {
      const AttachmentDictionary& info = attachments->front();
      if (const auto found = info.find(kStreamFrameInfoStatus); found != info.end())
        status = std::get<std::int64_t>(found->second);
      if (const auto found = info.find(kStreamFrameInfoDirtyRects); found != info.end())
        reported = std::get<std::vector<Rect>>(found->second);
    }
    std::optional<Frame> frame;
    if (PixelBuffer* pixels = sample.imageBuffer(); pixels != nullptr) {
      pixels->lockBaseAddress(kPixelBufferLockReadOnly);
      frame.emplace();
      frame->width = pixels->width();
      frame->height = pixels->height();
      const std::size_t stride = pixels->bytesPerRow();
      frame->pixels.resize(frame->width * frame->height);
      for (std::size_t y = 0; y < frame->height; ++y) {
        std::memcpy(&frame->pixels[y * frame->width], pixels->baseAddress() + y * stride,
                    frame->width * 4);
      }
      pixels->unlockBaseAddress(kPixelBufferLockReadOnly);
    }
    std::lock_guard guard(mutex_);
    ++delivered;
    statuses.push_back(status.value_or(-1));
    if (status == static_cast<std::int64_t>(FrameStatus::kComplete)) {
      if (frame && latest && reported) {
        ++partialFrames;
        unreportedChanges += changedOutside(*latest, *frame, *reported);
      }
      latest = std::move(frame);
      ++completes;
    }
    changed_.notify_all();
  }
  void streamDidStopWithError(CaptureStream&, const PlatformError& error) override {
    std::lock_guard guard(mutex_);
    ++stops;
    stopMessage = error.localizedDescription;
    changed_.notify_all();
  }
  // Whether the stream last said the screen is still; read under mutex_.
  bool still() const {
    return !statuses.empty() && statuses.back() == static_cast<std::int64_t>(FrameStatus::kIdle);
  }
  bool waitFor(const std::function<bool()>& ready) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, ready);
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  // Pixels that differ between two frames outside the rectangles reported.
  static int changedOutside(const Frame& before, const Frame& after,
                            const std::vector<Rect>& reported) {
    int outside = 0;
    for (std::size_t y = 0; y < after.height; ++y) {
      for (std::size_t x = 0; x < after.width; ++x) {
        if (before.at(x, y) == after.at(x, y)) continue;
        bool inside = false;
        for (const Rect& r : reported) {
          inside =
              inside || (static_cast<double>(x) >= r.x && static_cast<double>(x) < r.x + r.width &&
                         static_cast<double>(y) >= r.y && static_cast<double>(y) < r.y + r.height);
        }
        outside += inside ? 0 : 1;
      }
    }
    return outside;
  }
  int delivered = 0;
  int completes = 0;
  int partialFrames = 0;      // complete frames that reported what changed
  int unreportedChanges = 0;  // pixels changed outside what they reported
  int stops = 0;
  std::vector<std::int64_t> statuses;
  std::optional<Frame> latest;
  std::string stopMessage;
};

using Painter = testing::XClient;

constexpr std::uint32_t kOpaque = 0xff000000U;
constexpr std::uint32_t kRed = 0xff0000U;
constexpr std::uint32_t kGreen = 0x00ff00U;
constexpr std::uint32_t kBlue = 0x0000ffU;
constexpr std::uint32_t kWhite = 0xffffffU;
constexpr std::uint32_t kYellow = 0xffff00U;
constexpr std::uint32_t kMagenta = 0xff00ffU;

StreamConfiguration configuration(std::int64_t width, std::int64_t height, bool cursor) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.minimumFrameInterval = {1, 60};
  c.pixelFormat = kPixelFormatBGRA;
  c.queueDepth = 6;
  c.showsCursor = cursor;
  c.scalesToFit = true;
  return c;
}

// One stream of `display`, started, with its own queue and recorder. end()
// destroys it and returns once nothing more can be delivered.
struct Capture {
  Capture(const std::string& server, DisplayID display, const StreamConfiguration& config)
      : factory(x11::makeX11StreamFactory(server)),
        stream(factory->makeStream(ContentFilter{Display{display, 0, 0}}, config, recorder)) {
    EXPECT_EQ(stream->addStreamOutput(recorder, StreamOutputType::kScreen, queue), std::nullopt);
    std::promise<std::optional<PlatformError>> result;
    stream->startCapture([&](std::optional<PlatformError> e) { result.set_value(std::move(e)); });
    auto future = result.get_future();
    EXPECT_EQ(future.wait_for(kPatience), std::future_status::ready);
    error = future.get();
  }
  ~Capture() { end(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  void end() {
    stream.reset();
    drain(queue);
  }

  std::unique_ptr<StreamFactory> factory;
  StdDispatch dispatch;
  std::shared_ptr<SerialQueue> queue = dispatch.makeSerialQueue("test.frames");
  Recorder recorder;
  std::shared_ptr<CaptureStream> stream;
  std::optional<PlatformError> error;
};

class X11Stream : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!PrivateXServer::available()) return;
    server_ = new PrivateXServer(PrivateXServer::Options{"1920x1080x24", {"-br"}});
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  Capture capture(int width, int height, bool cursor) {
    return {server_->display(), display_, configuration(width, height, cursor)};
  }
  void SetUp() override {
    if (server_ == nullptr || !server_->running()) GTEST_SKIP() << "Xvfb is not available";
    painter_.emplace(server_->display());
    const auto monitors = painter_->monitors();
    ASSERT_FALSE(monitors.empty());
    display_ = monitors.front().name;
    // The scene: four quadrants and a yellow marker; the pointer parked on it.
    painter_->fill(0, 0, 960, 540, kRed);
    painter_->fill(960, 0, 960, 540, kGreen);
    painter_->fill(0, 540, 960, 540, kBlue);
    painter_->fill(960, 540, 960, 540, kWhite);
    painter_->fill(101, 203, 10, 10, kYellow);
    painter_->warp(1500, 900);
  }
  static std::uint32_t scene(int x, int y) {
    if (x >= 101 && x < 111 && y >= 203 && y < 213) return kYellow;
    const std::uint32_t quadrants[2][2] = {{kRed, kGreen}, {kBlue, kWhite}};
    return quadrants[y < 540 ? 0 : 1][x < 960 ? 0 : 1];
  }

  static PrivateXServer* server_;
  std::optional<Painter> painter_;
  DisplayID display_ = 0;
};
PrivateXServer* X11Stream::server_ = nullptr;

TEST_F(X11Stream, FramesShowTheMonitorScaledIntoPlace) {
  struct Case {
    int width, height;
  };
  for (const Case c :
       {Case{1920, 1080}, Case{960, 540}, Case{1280, 720}, Case{320, 180}, Case{400, 400}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    Capture run = capture(c.width, c.height, false);
    Recorder& recorder = run.recorder;
    ASSERT_EQ(run.error, std::nullopt);
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.completes > 0; }));
    run.end();

    const Frame& f = *recorder.latest;
    ASSERT_EQ(f.width, static_cast<std::size_t>(c.width));
    ASSERT_EQ(f.height, static_cast<std::size_t>(c.height));
    EXPECT_EQ(recorder.statuses.front(), static_cast<std::int64_t>(FrameStatus::kComplete));

    const x11::Placement p = x11::fitCentred(1920, 1080, c.width, c.height);
    if (c.width == 1920) {
      int wrong = 0;
      for (int y = 0; y < c.height; ++y) {
        for (int x = 0; x < c.width; ++x) wrong += f.at(x, y) != (scene(x, y) | kOpaque);
      }
      EXPECT_EQ(wrong, 0);
      continue;
    }
    // Where scaling puts each part is the scaler's own concern; here, that
    // the monitor is what is scaled, and into the frame's margins.
    for (int qy = 0; qy < 2; ++qy) {
      for (int qx = 0; qx < 2; ++qx) {
        const int x = p.x + p.width * (1 + 2 * qx) / 4;
        const int y = p.y + p.height * (1 + 2 * qy) / 4;
        EXPECT_EQ(f.at(x, y), scene(480 + 960 * qx, 270 + 540 * qy) | kOpaque) << x << "," << y;
      }
    }
    if (p.x > 0 || p.y > 0) {
      EXPECT_EQ(f.at(0, 0), kOpaque);
    }
  }
}

// A still screen is reported idle once, then costs no delivery until a
// window, one over part of it, or the pointer moving brings a new frame.
TEST_F(X11Stream, AStillScreenIsReportedIdleOnceUntilTheScreenOrTheCursorChanges) {
  Capture run = capture(320, 180, true);
  Recorder& recorder = run.recorder;
  ASSERT_EQ(run.error, std::nullopt);
  struct Change {
    std::function<void()> make;
    std::uint32_t colourAt150x110;  // 0: the pointer only
  };
  const Change changes[] = {
      {[&] { painter_->openWindow(0, 0, 1920, 1080, kMagenta); }, kMagenta},
      {[&] { painter_->openWindow(600, 600, 600, 300, kYellow); }, kYellow},
      {[&] { painter_->warp(300, 300); }, 0},
  };
  for (const Change& change : changes) {
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.still(); }));
    std::this_thread::sleep_for(100ms);  // six frame intervals
    int before = 0;
    {
      std::lock_guard guard(recorder.mutex_);
      const auto& s = recorder.statuses;
      const auto complete = static_cast<std::int64_t>(FrameStatus::kComplete);
      EXPECT_EQ(s.front(), complete);
      for (std::size_t i = 1; i < s.size(); ++i) {
        EXPECT_TRUE(s[i] == complete || s[i - 1] == complete) << "idle twice in a row";
      }
      before = recorder.completes;
    }
    change.make();
    EXPECT_TRUE(recorder.waitFor([&] {
      return recorder.completes > before &&
             (change.colourAt150x110 == 0 ||
              recorder.latest->at(150, 110) == (change.colourAt150x110 | kOpaque));
    }));
  }
  run.end();
  EXPECT_EQ(recorder.stops, 0);
}

// A small change refreshes only the output pixels that show it, reports
// where, and the frame then equals a fresh whole capture: filter edges
// right, and no trace of the pointer where it was drawn before. Scaled, and
// at the screen's own size, where the screen copy itself is delivered.
TEST_F(X11Stream, ASmallChangeUpdatesOnlyItsPartOfTheFrame) {
  for (const int width : {1280, 1920}) {
    SCOPED_TRACE(width);
    const int height = width * 9 / 16;
    const double scale = width / 1920.0;
    const auto out = [&](int v) { return static_cast<int>(std::lround(v * scale)); };
    const std::uint32_t colour = width == 1920 ? kYellow : kMagenta;
    painter_->warp(300, 700);
    Capture run = capture(width, height, true);
    Recorder& recorder = run.recorder;
    ASSERT_EQ(run.error, std::nullopt);
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.still(); }));
    Frame before;
    {
      std::lock_guard guard(recorder.mutex_);
      before = *recorder.latest;
    }
    // Larger than one batch of partial grabs.
    painter_->fill(1000, 250, 400, 200, colour);
    painter_->warp(500, 800);
    ASSERT_TRUE(recorder.waitFor([&] {
      return recorder.latest->at(out(1200), out(350)) == (colour | kOpaque) && recorder.still();
    }));
    run.end();

    Capture second = capture(width, height, true);
    Recorder& fresh = second.recorder;
    ASSERT_EQ(second.error, std::nullopt);
    ASSERT_TRUE(fresh.waitFor([&] { return fresh.completes > 0; }));
    second.end();

    // Outside the changes a fresh capture equals the frame before them, so
    // this also shows nothing else was touched.
    const Frame& after = *recorder.latest;
    int differsFromFresh = 0;
    for (std::size_t i = 0; i < after.pixels.size(); ++i)
      differsFromFresh += after.pixels[i] != fresh.latest->pixels[i];
    EXPECT_EQ(differsFromFresh, 0);
    EXPECT_NE(after.at(out(300), out(700)), before.at(out(300), out(700)))
        << "the old pointer is still drawn";
    // The changes came as partial frames, each saying where it changed.
    EXPECT_GT(recorder.partialFrames, 0);
    EXPECT_EQ(recorder.unreportedChanges, 0);
  }
}

TEST_F(X11Stream, UncapturableRequestsFailToStart) {
  struct Case {
    const char* name;
    StreamConfiguration config;
    DisplayID display;
    const char* message;
  };
  StreamConfiguration format = configuration(64, 64, true);
  format.pixelFormat = 0x34323076;
  const Case cases[] = {
      {"zero width", configuration(0, 720, true), display_, "width and height must be positive"},
      {"negative height", configuration(1280, -1, true), display_,
       "width and height must be positive"},
      {"huge", configuration(1 << 20, 720, true), display_, "at most 16384"},
      {"format", format, display_, "only BGRA"},
      {"no such display", configuration(64, 64, true), display_ + 0x7654321U, "is not connected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Capture run(server_->display(), c.display, c.config);
    ASSERT_TRUE(run.error.has_value());
    EXPECT_NE(run.error->localizedDescription.find(c.message), std::string::npos)
        << run.error->localizedDescription;
    run.end();
    EXPECT_EQ(run.recorder.delivered, 0);
    EXPECT_EQ(run.recorder.stops, 0);
  }
}

TEST_F(X11Stream, DestroyingTheStreamEndsDelivery) {
  Capture run = capture(320, 180, false);
  Recorder& recorder = run.recorder;
  ASSERT_EQ(run.error, std::nullopt);
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.delivered >= 2; }));
  run.end();
  int after = 0;
  {
    std::lock_guard guard(recorder.mutex_);
    after = recorder.delivered;
  }
  // A change a live stream would deliver, and a tick's worth of waiting.
  painter_->fill(0, 0, 1920, 1080, kMagenta);
  std::this_thread::sleep_for(100ms);
  drain(run.queue);
  std::lock_guard guard(recorder.mutex_);
  EXPECT_EQ(recorder.delivered, after);
}

// Servers of their own: one without RandR, one whose monitor goes.
TEST(X11StreamServer, WithoutMonitorsTheWholeRootIsCaptured) {
  PrivateXServer server(PrivateXServer::Options{"640x480x24", {"-br", "-extension", "RANDR"}});
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  Painter painter(server.display());
  painter.fill(600, 400, 40, 80, kGreen);
  Capture run(server.display(), 4242, configuration(640, 480, false));
  Recorder& recorder = run.recorder;
  ASSERT_EQ(run.error, std::nullopt);
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.completes > 0; }));
  run.end();
  EXPECT_EQ(recorder.latest->at(639, 479), kGreen | kOpaque);
  EXPECT_EQ(recorder.latest->at(599, 399), kOpaque);
}

// In a fresh IPC namespace, as in a container, the first segment made has the
// id 0, which is as valid as any other.
TEST(X11StreamServer, CapturesWithTheFirstSegmentOfAFreshIpcNamespace) {
  if (unshare(CLONE_NEWIPC) != 0) GTEST_SKIP() << "no IPC namespace: " << std::strerror(errno);
  PrivateXServer server(PrivateXServer::Options{"640x480x24", {"-br"}});
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  Painter painter(server.display());
  painter.fill(0, 0, 640, 480, kGreen);
  Capture run(server.display(), painter.monitors().front().name, configuration(320, 240, false));
  ASSERT_EQ(run.error, std::nullopt);
  ASSERT_TRUE(run.recorder.waitFor([&] { return run.recorder.completes > 0; }));
  run.end();
  EXPECT_EQ(run.recorder.latest->at(160, 120), kGreen | kOpaque);
}

// The pointer on another part of the screen is not on the monitor streamed:
// moving it there leaves the stream still, on every side of the monitor.
TEST(X11StreamServer, ThePointerOffTheMonitorLeavesTheStreamStill) {
  if (std::system("command -v xrandr >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xrandr";
  PrivateXServer server(PrivateXServer::Options{"640x480x24", {"-br"}});
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  const std::string monitor =
      "DISPLAY=" + server.display() + " xrandr --setmonitor VEXELTEST 200/50x160/40+220+160 none";
  ASSERT_EQ(std::system(monitor.c_str()), 0);
  Painter painter(server.display());
  DisplayID display = 0;
  for (const auto& m : painter.monitors()) {
    if (m.x == 220 && m.y == 160) display = m.name;
  }
  ASSERT_NE(display, 0U);
  painter.warp(10, 10);
  Capture run(server.display(), display, configuration(200, 160, true));
  Recorder& recorder = run.recorder;
  ASSERT_EQ(run.error, std::nullopt);
  struct Place {
    int x, y;
    bool onMonitor;
  };
  const Place places[] = {
      {100, 240, false}, {500, 240, false}, {320, 60, false}, {320, 400, false}, {300, 200, true},
  };
  for (const Place& place : places) {
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.still(); }));
    int before = 0;
    {
      std::lock_guard guard(recorder.mutex_);
      before = recorder.completes;
    }
    painter.warp(place.x, place.y);
    if (place.onMonitor) {
      EXPECT_TRUE(recorder.waitFor([&] { return recorder.completes > before; }));
    } else {
      std::this_thread::sleep_for(100ms);  // six frame intervals
      std::lock_guard guard(recorder.mutex_);
      EXPECT_EQ(recorder.completes, before) << place.x << "," << place.y;
    }
  }
  run.end();
  EXPECT_EQ(recorder.stops, 0);
}

// The sizes of the shared memory segments this process made that are still held.
std::vector<std::size_t> heldSegments() {
  std::ifstream table("/proc/sysvipc/shm");
  std::vector<std::size_t> sizes;
  std::string rest;
  long key = 0, id = 0, perms = 0, creator = 0;
  std::size_t size = 0;
  for (std::getline(table, rest); table >> key >> id >> perms >> size >> creator;) {
    if (creator == getpid()) sizes.push_back(size);
    std::getline(table, rest);
  }
  return sizes;
}

TEST(X11StreamServer, AVanishedMonitorStopsTheStream) {
  if (std::system("command -v xrandr >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xrandr";
  PrivateXServer server(PrivateXServer::Options{"640x480x24", {"-br"}});
  if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
  const std::string xrandr = "DISPLAY=" + server.display() + " xrandr ";
  ASSERT_EQ(std::system((xrandr + "--setmonitor VEXELTEST 320/80x240/60+320+240 none").c_str()), 0);
  Painter painter(server.display());
  painter.fill(320, 240, 320, 240, kBlue);
  DisplayID display = 0;
  for (const auto& monitor : painter.monitors()) {
    if (monitor.x == 320 && monitor.y == 240) display = monitor.name;
  }
  ASSERT_NE(display, 0U);
  Capture run(server.display(), display, configuration(320, 240, false));
  Recorder& recorder = run.recorder;
  ASSERT_EQ(run.error, std::nullopt);
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.completes > 0; }));
  EXPECT_EQ(recorder.latest->at(0, 0), kBlue | kOpaque);
  // A monitor that grows takes a larger segment and lets the smaller one go.
  for (const std::size_t w : {400U, 480U, 560U, 640U}) {
    const auto size = std::to_string(w) + "/1x" + std::to_string(w * 3 / 4) + "/1+0+0 none";
    ASSERT_EQ(
        std::system((xrandr + "--delmonitor VEXELTEST --setmonitor VEXELTEST " + size).c_str()), 0);
    EXPECT_TRUE(recorder.waitFor([&] {
      const auto held = heldSegments();
      return held.size() == 1 && held[0] >= w * w * 3;
    })) << w;
  }
  ASSERT_EQ(std::system((xrandr + "--delmonitor VEXELTEST").c_str()), 0);
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.stops > 0; }));
  EXPECT_NE(recorder.stopMessage.find("is not connected"), std::string::npos)
      << recorder.stopMessage;
  run.end();
  EXPECT_EQ(recorder.stops, 1);
}

}  // namespace
}  // namespace vexel::screencap
