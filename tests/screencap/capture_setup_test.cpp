#include "screencap/capture_setup.h"

#include <gtest/gtest.h>

#include "screencap/frame_sink.h"
#include "screencap/startup.h"
#include "tests/screencap/fakes.h"

namespace vexel::screencap {
namespace {

using testing::exitStatusOf;
using testing::FakeDispatch;
using testing::FakeStreamFactory;
using testing::kErr;
using testing::kOut;
using testing::ScriptedContentProvider;
using testing::ScriptedIo;

const std::string kListTimeoutLine =
    "vexel-screencap: --list-displays timed out (stale Screen Recording grant?) — exiting\n";
const std::string kWatchdogLine =
    "vexel-screencap: capture did not start within 10s (stale Screen Recording grant? System "
    "Settings → Privacy & Security → Screen Recording → toggle Visual Studio Code OFF/ON, then "
    "fully quit + reopen VS Code) — exiting\n";

struct Capture {
  explicit Capture(Args args = {})
      : outlet(testing::throwingOutlet(io)), state{outlet,  dispatch, streams, args,
                                                   nullptr, nullptr,  {},      false} {
    state.sink = std::make_unique<FrameSink>(args.fps, outlet, dispatch);
    provider.entries = {{{11, 1920, 1080}, {0, 0, 1920, 1080}, true},
                        {{22, 1280, 1024}, {1920, 0, 1280, 1024}, false}};
  }
  // Start-up up to the content request, then the content itself.
  std::optional<int> startWithContent() {
    startCaptureMode(state, provider);
    return exitStatusOf([&] { provider.pending(provider.content(), std::nullopt); });
  }

  ScriptedIo io;
  Outlet outlet;
  FakeDispatch dispatch;
  FakeStreamFactory streams;
  ScriptedContentProvider provider;
  CaptureState state;
};

TEST(StartupTimers, ListModeTimesOutAfterThreeSecondsWithStatusTwo) {
  ScriptedIo io;
  const Outlet outlet = testing::throwingOutlet(io);
  FakeDispatch dispatch;
  ScriptedContentProvider provider;
  startListMode(outlet, dispatch, provider);
  ASSERT_TRUE(provider.pending) << "content requested";
  ASSERT_EQ(dispatch.delayed.size(), 1U);
  EXPECT_EQ(dispatch.delayed[0].delay, std::chrono::seconds(3));
  EXPECT_EQ(exitStatusOf(dispatch.delayed[0].work), 2);
  EXPECT_EQ(io.written[kErr], kListTimeoutLine);
  EXPECT_EQ(io.chunks[kErr].size(), 1U) << "one write";
  EXPECT_EQ(io.written[kOut], "");
}

TEST(StartupTimers, WatchdogEndsACaptureThatNeverWentLive) {
  struct Case {
    const char* name;
    bool deliverContent;
  };
  for (const Case each :
       {Case{"content never arrived", false}, Case{"start never confirmed", true}}) {
    Capture capture;
    if (each.deliverContent) {
      EXPECT_EQ(capture.startWithContent(), std::nullopt);
      ASSERT_TRUE(capture.streams.stream->start) << each.name;
    } else {
      startCaptureMode(capture.state, capture.provider);
    }
    ASSERT_EQ(capture.dispatch.delayed.size(), 1U);
    EXPECT_EQ(capture.dispatch.delayed[0].delay, std::chrono::seconds(10));
    EXPECT_EQ(exitStatusOf(capture.dispatch.delayed[0].work), 2) << each.name;
    EXPECT_EQ(capture.io.written[kErr], kWatchdogLine) << each.name;
    EXPECT_EQ(capture.io.chunks[kErr].size(), 1U);
  }
}

TEST(StartupTimers, WatchdogStaysQuietOnceCaptureIsLive) {
  Capture capture;
  ASSERT_EQ(capture.startWithContent(), std::nullopt);
  capture.streams.stream->start(std::nullopt);
  EXPECT_EQ(exitStatusOf(capture.dispatch.delayed.at(0).work), std::nullopt);
  EXPECT_EQ(
      capture.io.lines(kErr),
      std::vector<std::string>{"vexel-screencap: capture started on display 0 (1280x720@15)"});
}

TEST(BeginCapture, ConfiguresTheChosenDisplay) {
  Args args;
  args.width = -3;
  args.height = 0;
  args.fps = 24;
  args.display = 1;
  Capture capture(args);
  ASSERT_EQ(capture.startWithContent(), std::nullopt);
  const StreamConfiguration& c = *capture.streams.configuration;
  EXPECT_EQ(c.width, -3);
  EXPECT_EQ(c.height, 0);
  EXPECT_EQ(c.minimumFrameInterval.value, 1);
  EXPECT_EQ(c.minimumFrameInterval.timescale, 24);
  EXPECT_EQ(c.pixelFormat, 0x42475241U);
  EXPECT_EQ(c.queueDepth, 6);
  EXPECT_TRUE(c.showsCursor);
  EXPECT_TRUE(c.scalesToFit);
  EXPECT_EQ(capture.streams.filter->display.displayID, 22U);
  EXPECT_EQ(capture.streams.delegate, capture.state.sink.get());
  EXPECT_EQ(capture.state.activeStream, capture.streams.stream);

  const auto& stream = *capture.streams.stream;
  EXPECT_EQ(stream.output, capture.state.sink.get());
  EXPECT_EQ(stream.outputType, StreamOutputType::kScreen);
  EXPECT_EQ(stream.outputQueue->label(), "vexel.screencap.frames");
  EXPECT_EQ(capture.io.written[kErr], "") << "nothing logged before the start is confirmed";
  stream.start(std::nullopt);
  EXPECT_EQ(capture.io.written[kErr], "vexel-screencap: capture started on display 1 (-3x0@24)\n");
  EXPECT_EQ(capture.io.written[kOut], "");
}

TEST(BeginCapture, DisplayOutOfRangeFallsBackToPositionZero) {
  for (const std::int64_t display : {2, 3, 1000}) {
    Args args;
    args.display = display;
    Capture capture(args);
    ASSERT_EQ(capture.startWithContent(), std::nullopt);
    EXPECT_EQ(capture.streams.filter->display.displayID, 11U);
    capture.streams.stream->start(std::nullopt);
    EXPECT_EQ(capture.io.written[kErr],
              "vexel-screencap: capture started on display 0 (1280x720@15)\n");
  }
}

TEST(BeginCapture, RateBeyondTheTimescaleIsLimitedNotWrapped) {
  Args args;
  args.fps = 4294967297;  // 2^32 + 1 would wrap to 1
  EXPECT_EQ(streamConfiguration(args).minimumFrameInterval.timescale, INT32_MAX);
}

TEST(BeginCapture, EachFailureEndsWithItsLineAndStatusOne) {
  struct Case {
    const char* name;
    std::function<std::optional<int>(Capture&)> run;
    std::string line;
  };
  const Case cases[] = {
      // The content's own failures are the roster's table; both modes share them.
      {"no displays",
       [](Capture& c) {
         c.provider.entries.clear();
         return c.startWithContent();
       },
       "vexel-screencap: no capturable displays found\n"},
      {"start failed",
       [](Capture& c) {
         EXPECT_EQ(c.startWithContent(), std::nullopt);
         return exitStatusOf([&] { c.streams.stream->start(PlatformError{"no permission"}); });
       },
       "vexel-screencap: startCapture failed: no permission\n"},
      {"output refused",
       [](Capture& c) {
         c.streams.addError = PlatformError{"queue refused"};
         const auto status = c.startWithContent();
         EXPECT_FALSE(c.streams.stream->start) << "never started";
         return status;
       },
       "vexel-screencap: addStreamOutput failed: queue refused\n"},
      {"stopped after start",
       [](Capture& c) {
         EXPECT_EQ(c.startWithContent(), std::nullopt);
         c.streams.stream->start(std::nullopt);
         c.io.written[kErr].clear();
         return exitStatusOf([&] {
           c.streams.delegate->streamDidStopWithError(*c.streams.stream,
                                                      PlatformError{"display went away"});
         });
       },
       "vexel-screencap: stream stopped with error: display went away\n"},
  };
  for (const auto& each : cases) {
    Capture capture;
    EXPECT_EQ(each.run(capture), 1) << each.name;
    EXPECT_EQ(capture.io.written[kErr], each.line) << each.name;
    EXPECT_EQ(capture.io.written[kOut], "") << each.name;
  }
}

}  // namespace
}  // namespace vexel::screencap
