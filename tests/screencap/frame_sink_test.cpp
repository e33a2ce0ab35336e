#include "screencap/frame_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/screencap/fakes.h"

namespace vexel::screencap {
namespace {

using testing::exitStatusOf;
using testing::FakeDispatch;
using testing::FakePixels;
using testing::FakeSample;
using testing::FakeStream;
using testing::kErr;
using testing::kOut;
using testing::ScriptedIo;

struct Rig {
  explicit Rig(std::int64_t fps = 15)
      : outlet(testing::throwingOutlet(io)), sink(fps, outlet, dispatch) {}

  void feed(SampleBuffer& sample, StreamOutputType type = StreamOutputType::kScreen) {
    sink.streamDidOutputSampleBuffer(stream, sample, type);
  }
  // A complete frame of `seed`; returns the bytes it must become.
  std::string feedFrame(std::size_t width, std::size_t height, int seed, std::size_t stride = 0) {
    FakePixels pixels(width, height, stride != 0 ? stride : width * 4, seed);
    FakeSample sample(&pixels);
    feed(sample);
    return pixels.packed();
  }
  bool accepted() { return !dispatch.timers.empty(); }

  ScriptedIo io;
  Outlet outlet;
  FakeDispatch dispatch;
  FakeStream stream;
  FrameSink sink;
};

std::vector<AttachmentDictionary> withStatus(AttachmentValue status) {
  return {AttachmentDictionary{{kStreamFrameInfoStatus, status}}};
}

TEST(FrameIntake, OnlyCompleteScreenFramesFixTheSize) {
  using Attachments = std::optional<std::vector<AttachmentDictionary>>;
  struct Case {
    const char* name;
    bool accept;
    Attachments attachments;
    StreamOutputType type = StreamOutputType::kScreen;
    bool valid = true;
  };
  const Case cases[] = {
      {"no attachments", true, std::nullopt},
      {"empty attachments", true, std::vector<AttachmentDictionary>{}},
      {"no status key", true,
       std::vector<AttachmentDictionary>{{{"SCStreamFrameInfoDisplayTime", std::int64_t{5}}}}},
      {"status not an integer", true, withStatus(std::string("idle"))},
      {"status a double", true, withStatus(1.0)},
      {"status only in a later dictionary", true,
       std::vector<AttachmentDictionary>{{}, {{kStreamFrameInfoStatus, std::int64_t{1}}}}},
      {"complete", true, withStatus(std::int64_t{0})},
      {"idle", false, withStatus(std::int64_t{1})},
      {"blank", false, withStatus(std::int64_t{2})},
      {"suspended", false, withStatus(std::int64_t{3})},
      {"started", false, withStatus(std::int64_t{4})},
      {"stopped", false, withStatus(std::int64_t{5})},
      {"unknown status", false, withStatus(std::int64_t{-1})},
      {"audio output", false, std::nullopt, StreamOutputType::kAudio},
      {"invalid sample buffer", false, std::nullopt, StreamOutputType::kScreen, false},
  };
  for (const auto& each : cases) {
    Rig rig;
    FakePixels pixels(4, 2, 16, 7);
    FakeSample sample(&pixels);
    sample.valid = each.valid;
    sample.attachments = each.attachments;
    rig.feed(sample, each.type);
    EXPECT_EQ(rig.accepted(), each.accept) << each.name;
    EXPECT_EQ(rig.io.written[kErr], each.accept ? "DIMS 4 2\n" : "") << each.name;
    EXPECT_EQ(pixels.locked, 0) << each.name << ": base address left locked";
    EXPECT_EQ(rig.io.written[kOut], "") << each.name << ": the sink itself writes no frame";
  }
}

TEST(FrameIntake, UnusablePixelBuffersAreDroppedAndUnlocked) {
  struct Case {
    const char* name;
    std::size_t width, height, stride;
    bool nullBase;
  };
  const Case cases[] = {
      {"null base address", 4, 2, 16, true},
      {"zero width", 0, 2, 16, false},
      {"zero height", 4, 0, 16, false},
      {"rows shorter than the width", 4, 2, 12, false},
  };
  for (const auto& each : cases) {
    Rig rig;
    FakePixels pixels(each.width, each.height, each.stride, 1);
    pixels.nullBase = each.nullBase;
    FakeSample sample(&pixels);
    rig.feed(sample);
    EXPECT_FALSE(rig.accepted()) << each.name;
    EXPECT_EQ(rig.io.written[kErr], "") << each.name;
    EXPECT_EQ(pixels.locked, 0) << each.name;
    EXPECT_EQ(pixels.lockFlags, std::vector<std::uint64_t>{kPixelBufferLockReadOnly}) << each.name;
    EXPECT_EQ(pixels.unlockFlags, std::vector<std::uint64_t>{kPixelBufferLockReadOnly})
        << each.name;
  }
  // Afterwards a good frame is still taken as the first.
  Rig rig;
  FakeSample empty(nullptr);
  rig.feed(empty);
  EXPECT_FALSE(rig.accepted()) << "no image buffer";
  rig.feedFrame(2, 2, 1);
  EXPECT_EQ(rig.io.written[kErr], "DIMS 2 2\n");
}

TEST(FrameIntake, SizesNoBufferCanHoldAreRefusedNotAllocated) {
  // Claims a huge frame over a tiny real buffer: it must never be read or allocated.
  class HugePixels final : public PixelBuffer {
   public:
    void lockBaseAddress(std::uint64_t) override {}
    void unlockBaseAddress(std::uint64_t) override {}
    std::size_t width() const override { return std::numeric_limits<std::size_t>::max() / 8; }
    std::size_t height() const override { return 3; }
    std::size_t bytesPerRow() const override { return std::numeric_limits<std::size_t>::max(); }
    const std::uint8_t* baseAddress() const override { return byte_; }

   private:
    std::uint8_t byte_[4] = {};
  };
  Rig rig;
  HugePixels pixels;
  FakeSample sample(&pixels);
  rig.feed(sample);
  EXPECT_FALSE(rig.accepted());
  // The largest frame whose length still fits a signed 64-bit count.
  EXPECT_EQ(frameByteCount((std::size_t{1} << 61) - 1, 1), (std::size_t{1} << 63) - 4);
  EXPECT_EQ(frameByteCount(std::size_t{1} << 61, 1), std::nullopt);
  EXPECT_EQ(frameByteCount(1280, 720), std::optional<std::size_t>(3686400));
}

TEST(FramePacing, TimerRunsOnThePacingQueueAtTheTruncatedInterval) {
  Rig rig;
  rig.feedFrame(4, 2, 1);
  ASSERT_EQ(rig.dispatch.timers.size(), 1U);
  const auto& timer = *rig.dispatch.timers[0];
  EXPECT_EQ(timer.queue->label(), "vexel.screencap.pacing");
  EXPECT_EQ(timer.deadline, rig.dispatch.clock) << "first tick due at once";
  EXPECT_EQ(timer.interval, std::chrono::milliseconds(66));
  EXPECT_EQ(timer.leeway, std::chrono::milliseconds(2));
  EXPECT_TRUE(timer.resumed);

  const std::pair<std::int64_t, std::int64_t> intervals[] = {
      {1, 1000}, {10, 100}, {15, 66},  {24, 41},       {30, 33},  {60, 16},
      {501, 1},  {1000, 1}, {1001, 1}, {INT64_MAX, 1}, {0, 1000}, {-5, 1000}};
  for (const auto& [fps, ms] : intervals) {
    EXPECT_EQ(pacingInterval(fps), std::chrono::milliseconds(ms)) << fps;
  }
}

// The size is announced before the first frame, which is the first one
// delivered (never black), and repeated while nothing newer of its size comes.
TEST(FramePacing, RepeatsTheLastFrameOfTheFixedSize) {
  Rig rig;
  const std::string first = rig.feedFrame(4, 3, 1, 64);  // padded rows
  rig.dispatch.tick();
  ASSERT_EQ(rig.io.order, (std::vector<int>{kErr, kOut, kErr}));
  rig.feedFrame(5, 3, 2);  // another size: dropped
  rig.feedFrame(4, 4, 3);
  FakePixels idlePixels(4, 3, 16, 4);
  FakeSample idle(&idlePixels, std::nullopt, FrameStatus::kIdle);
  rig.feed(idle);
  rig.dispatch.tick();
  rig.dispatch.tick();
  EXPECT_EQ(rig.io.written[kOut], first + first + first);
  const std::string next = rig.feedFrame(4, 3, 5, 32);
  rig.dispatch.tick();
  EXPECT_EQ(rig.io.written[kOut], first + first + first + next);
  EXPECT_EQ(rig.dispatch.timers.size(), 1U) << "pacing starts once";
  EXPECT_EQ(
      rig.io.lines(kErr),
      (std::vector<std::string>{"DIMS 4 3", "vexel-screencap: streaming 4x3@15 (steady pacing)"}));
}

TEST(FramePacing, EveryFrameGoesOutWholeThroughInterruptedAndShortWrites) {
  Rig rig;
  const std::string frame = rig.feedFrame(8, 8, 3);
  rig.io.scripts[kOut] = {ScriptedIo::Step::kShort, ScriptedIo::Step::kInterrupt,
                          ScriptedIo::Step::kShort, ScriptedIo::Step::kWhole,
                          ScriptedIo::Step::kWhole};
  for (int i = 0; i < 3; ++i) rig.dispatch.tick();
  EXPECT_EQ(rig.io.written[kOut], frame + frame + frame);
  // Undisturbed, a frame is a single write.
  const auto before = rig.io.calls[kOut];
  rig.dispatch.tick();
  EXPECT_EQ(rig.io.calls[kOut], before + 1);
}

TEST(FramePacing, ClosedStdoutEndsWithTheCountAndStatusZero) {
  struct Case {
    std::size_t goodWrites;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {0, {"DIMS 2 1", "vexel-screencap: stdout closed after 0 frames — exiting"}},
      {3,
       {"DIMS 2 1", "vexel-screencap: streaming 2x1@1 (steady pacing)",
        "vexel-screencap: stdout closed after 3 frames — exiting"}},
  };
  for (const auto& each : cases) {
    Rig rig(0);  // a rate of 0 is streamed, and logged, as 1
    const std::string frame = rig.feedFrame(2, 1, 1);
    rig.io.closeAfter(kOut, each.goodWrites);
    std::optional<int> status;
    for (std::size_t i = 0; i <= each.goodWrites && !status; ++i) {
      status = exitStatusOf([&] { rig.dispatch.tick(); });
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(rig.io.lines(kErr), each.lines);
    EXPECT_EQ(rig.io.written[kOut].size(), each.goodWrites * frame.size());
  }
}

TEST(FramePacing, TheTimerDoesNotOutliveTheSink) {
  auto rig = std::make_unique<Rig>();
  rig->feedFrame(1, 1, 1);
  const auto timer = rig->dispatch.timers.at(0);
  EXPECT_FALSE(timer->destroyed);
  rig.reset();
  EXPECT_TRUE(timer->destroyed);
}

// Frames that report what changed are copied only there, yet every tick
// writes exactly the newest frame: across exchanges of the buffers, several
// frames between ticks, reports that reach past the edges, and frames passed
// over, after which a report is no longer to be trusted.
TEST(FrameIntake, ReportedChangesAreEnoughToKeepTheLatestFrame) {
  struct Step {
    const char* name;
    Rect paint;  // painted with a new value, then delivered
    std::optional<std::vector<Rect>> reported;
    FrameStatus status = FrameStatus::kComplete;
    bool tick = true;
  };
  const Step steps[] = {
      {"first, unreported", {0, 0, 10, 8}, std::nullopt},
      {"one rectangle", {1, 1, 2, 2}, std::vector<Rect>{{1, 1, 2, 2}}},
      {"moved by a pixel", {2, 2, 2, 2}, std::vector<Rect>{{2, 2, 2, 2}}},
      {"two frames before a tick, first",
       {5, 5, 3, 2},
       std::vector<Rect>{{5, 5, 3, 2}},
       FrameStatus::kComplete,
       false},
      {"two frames before a tick, second", {0, 0, 1, 1}, std::vector<Rect>{{0, 0, 1, 1}}},
      {"after an exchange", {7, 0, 3, 3}, std::vector<Rect>{{7, 0, 3, 3}}},
      {"unchanged, ticked", {0, 0, 0, 0}, std::vector<Rect>{}},
      {"fractional, inside", {1, 1, 3, 3}, std::vector<Rect>{{1.5, 1.5, 2, 2}}},
      {"past the edges, fractional", {8, 6, 2, 2}, std::vector<Rect>{{7.5, 5.5, 10, 10}}},
      {"unreadable", {3, 3, 4, 4}, std::vector<Rect>{{std::nan(""), 0, 1, 1}}},
      {"passed over", {0, 0, 10, 8}, std::nullopt, FrameStatus::kBlank, false},
      {"reported against the one passed over", {2, 2, 1, 1}, std::vector<Rect>{{2, 2, 1, 1}}},
      {"idle in between", {0, 0, 0, 0}, std::nullopt, FrameStatus::kIdle, false},
      {"after idle", {0, 7, 10, 1}, std::vector<Rect>{{0, 7, 10, 1}}},
  };
  Rig rig;
  FakePixels pixels(10, 8, 48);
  std::string latest;
  std::uint32_t value = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    pixels.paint(static_cast<std::size_t>(step.paint.x), static_cast<std::size_t>(step.paint.y),
                 static_cast<std::size_t>(step.paint.width),
                 static_cast<std::size_t>(step.paint.height), ++value * 0x01010101U);
    FakeSample sample(&pixels, step.reported, step.status);
    rig.feed(sample);
    if (step.status == FrameStatus::kComplete) latest = pixels.packed();
    if (!step.tick) continue;
    rig.io.chunks[kOut].clear();
    rig.dispatch.tick();
    ASSERT_EQ(rig.io.chunks[kOut].size(), 1U);
    EXPECT_EQ(rig.io.chunks[kOut].front(), latest);
  }
}

}  // namespace
}  // namespace vexel::screencap
