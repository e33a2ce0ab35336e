// vexel-screencap streaming a private Xvfb, as the host sees it: the stderr
// lines, whole frames on stdout showing the screen, and how each kind of end
// looks (reader gone, reader stalled, server gone, monitor gone).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing/x_server.h"

namespace vexel::screencap {
namespace {

using vexel::testing::ChildProcess;
using vexel::testing::PrivateXServer;
using vexel::testing::runTool;
using namespace std::chrono_literals;

constexpr int kGenerousTimeoutMs = 15000;

// Reads whole stderr lines as they come, keeping all of them.
class StderrLines {
 public:
  explicit StderrLines(int fd) : fd_(fd) {}

  // The next line without its LF; false at EOF or after the timeout.
  bool next(std::string& line, int timeoutMs = kGenerousTimeoutMs) {
    for (;;) {
      const std::size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        all.push_back(line);
        return true;
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
      char chunk[4096];
      const ssize_t got = ::read(fd_, chunk, sizeof chunk);
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // Waits for a line starting with `prefix`.
  bool until(const std::string& prefix, std::string& line) {
    while (next(line)) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  void rest() {
    std::string line;
    while (next(line)) {
    }
  }

  std::vector<std::string> all;

 private:
  int fd_;
  std::string buffer_;
};

// Every byte left on stdout until EOF.
std::size_t drainStdout(int fd) {
  std::size_t total = 0;
  char chunk[65536];
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, kGenerousTimeoutMs) <= 0) return total;
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got <= 0) return total;
    total += static_cast<std::size_t>(got);
  }
}

long procStatusKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  long value = -1;
  while (status >> word) {
    if (word == key) {
      status >> value;
      break;
    }
  }
  return value;
}

int count(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const auto& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

const std::regex kClosedLine(
    "vexel-screencap: stdout closed after [0-9]+ frames \xE2\x80\x94 exiting");

struct Pixel {
  std::uint8_t b, g, r;
};

Pixel at(const std::vector<std::uint8_t>& frame, long width, long x, long y) {
  const std::size_t i = static_cast<std::size_t>((y * width + x) * 4);
  return {frame[i], frame[i + 1], frame[i + 2]};
}

struct Stream {
  long width, height, fps;
  // Columns that must be black: the aspect-fit margins.
  long marginX;
};

class ScreencapStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server.running());
  }

  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VEXEL_SCREENCAP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv,
                                          std::vector<std::string>{"DISPLAY=" + server.display()});
  }

  PrivateXServer server{PrivateXServer::Options{"640x480x24", {"-noreset"}}};
};

// The pointer starts at the centre of the screen and is drawn into the frames,
// so colours are sampled halfway between the centre and a corner.
TEST_F(ScreencapStream, FramesShowTheRootColourAtEachSizeAndRate) {
  for (const Stream s :
       {Stream{640, 480, 10, 0}, Stream{320, 240, 5, 0}, Stream{640, 240, 20, 160}}) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    auto child = start({"--width", std::to_string(s.width), "--height", std::to_string(s.height),
                        "--fps", std::to_string(s.fps)});
    StderrLines err(child->stderrFd());
    std::string line;
    ASSERT_TRUE(err.until("DIMS ", line));
    const std::string dims = "DIMS " + std::to_string(s.width) + " " + std::to_string(s.height);
    EXPECT_EQ(line, dims);
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(s.width * s.height * 4));
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
    if (!runTool({"xsetroot", "-solid", "#3366cc"}, server.display()))
      GTEST_SKIP() << "no xsetroot";
    // The new colour shows within a bounded number of frames.
    for (int i = 0; i < 40 && at(frame, s.width, s.width / 4, s.height / 4).b != 0xcc; ++i) {
      ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
    }
    const Pixel centre = at(frame, s.width, s.width / 4, s.height / 4);
    EXPECT_EQ(centre.b, 0xcc);
    EXPECT_EQ(centre.g, 0x66);
    EXPECT_EQ(centre.r, 0x33);
    if (s.marginX > 0) {
      for (const long x : {0L, s.marginX - 1, s.width - s.marginX, s.width - 1}) {
        const Pixel edge = at(frame, s.width, x, s.height / 4);
        EXPECT_EQ(edge.b + edge.g + edge.r, 0) << "column " << x;
      }
      const Pixel inside = at(frame, s.width, s.marginX + 1, s.height / 4);
      EXPECT_EQ(inside.b, 0xcc);
    }
    child->closeStdout();
    err.rest();
    EXPECT_EQ(child->wait(kGenerousTimeoutMs), 0);
    const std::string size =
        std::to_string(s.width) + "x" + std::to_string(s.height) + "@" + std::to_string(s.fps);
    ASSERT_EQ(err.all.size(), 4u);
    EXPECT_EQ(count(err.all, "DIMS "), 1);
    EXPECT_EQ(count(err.all, "vexel-screencap: capture started on display 0 (" + size + ")"), 1);
    EXPECT_EQ(count(err.all, "vexel-screencap: streaming " + size + " (steady pacing)"), 1);
    EXPECT_TRUE(std::regex_match(err.all.back(), kClosedLine)) << err.all.back();
  }
}

TEST_F(ScreencapStream, DisplayBeyondTheListFallsBackToTheFirst) {
  auto child = start({"--display", "7", "--width", "64", "--height", "48", "--fps", "5"});
  StderrLines err(child->stderrFd());
  std::string line;
  ASSERT_TRUE(err.until("vexel-screencap: capture started", line));
  EXPECT_EQ(line, "vexel-screencap: capture started on display 0 (64x48@5)");
  child->closeStdout();
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 0);
}

// Faults share the stream fixture; a separate name gives them their own label.
using ScreencapFault = ScreencapStream;

TEST_F(ScreencapFault, ReaderThatClosesAtOnceEndsTheRunWithZeroFrames) {
  auto child = start({"--width", "64", "--height", "48", "--fps", "30"});
  child->closeStdout();
  StderrLines err(child->stderrFd());
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 0);
  ASSERT_FALSE(err.all.empty());
  EXPECT_EQ(err.all.back(), "vexel-screencap: stdout closed after 0 frames \xE2\x80\x94 exiting");
  EXPECT_EQ(count(err.all, "vexel-screencap: streaming "), 0);
}

TEST_F(ScreencapFault, ReaderThatClosesRightAfterTheDimensionsLine) {
  auto child = start({"--width", "64", "--height", "48", "--fps", "30"});
  StderrLines err(child->stderrFd());
  std::string line;
  ASSERT_TRUE(err.until("DIMS ", line));
  child->closeStdout();
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 0);
  EXPECT_TRUE(std::regex_match(err.all.back(), kClosedLine)) << err.all.back();
}

TEST_F(ScreencapFault, StalledReaderCostsNoMemoryAndGetsNoBurstAfterwards) {
  constexpr long kFps = 20;
  constexpr auto kStall = 3s;
  constexpr long kSlackFrames = 4;
  auto child = start({"--width", "320", "--height", "240", "--fps", std::to_string(kFps)});
  StderrLines err(child->stderrFd());
  std::string line;
  ASSERT_TRUE(err.until("DIMS ", line));
  std::vector<std::uint8_t> frame(320 * 240 * 4);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  const long before = procStatusKiB(child->pid(), "VmRSS:");
  std::this_thread::sleep_for(kStall);
  const long during = procStatusKiB(child->pid(), "VmRSS:");
  // Whole frames only, and no more than the rate allows once reading resumes.
  long frames = 0;
  const auto resumed = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - resumed < 1s) {
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
    ++frames;
  }
  const Pixel corner = at(frame, 320, 80, 60);
  EXPECT_EQ(corner.b + corner.g + corner.r, 0) << "the default root is black";
  EXPECT_LE(frames, kFps + kSlackFrames);
  const long peak = procStatusKiB(child->pid(), "VmHWM:");
  constexpr long kSlackKiB = 8 * 1024;
  EXPECT_LE(during, before + kSlackKiB);
  EXPECT_LE(peak, before + kSlackKiB);
  child->closeStdout();
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 0);
}

TEST_F(ScreencapFault, ServerKilledMidStreamStopsWithErrorAndNoPartialFrame) {
  auto child = start({"--width", "320", "--height", "240", "--fps", "30"});
  StderrLines err(child->stderrFd());
  std::string line;
  ASSERT_TRUE(err.until("DIMS ", line));
  std::vector<std::uint8_t> frame(320 * 240 * 4);
  ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  server.kill();
  const std::size_t rest = drainStdout(child->stdoutFd());
  EXPECT_EQ(rest % frame.size(), 0u) << rest << " bytes after the kill";
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 1);
  ASSERT_FALSE(err.all.empty());
  EXPECT_EQ(err.all.back().rfind("vexel-screencap: stream stopped with error: ", 0), 0u)
      << err.all.back();
}

TEST_F(ScreencapFault, MonitorRemovedMidStreamStopsWithError) {
  const std::string& display = server.display();
  if (!runTool({"xrandr", "--setmonitor", "left", "320/85x480/127+0+0", "none"}, display) ||
      !runTool({"xrandr", "--setmonitor", "right", "320/85x480/127+320+0", "none"}, display)) {
    GTEST_SKIP() << "xrandr cannot define monitors here";
  }
  auto child = start({"--display", "1", "--width", "160", "--height", "240", "--fps", "30"});
  StderrLines err(child->stderrFd());
  std::string line;
  ASSERT_TRUE(err.until("DIMS ", line));
  std::vector<std::uint8_t> frame(160 * 240 * 4);
  ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  ASSERT_TRUE(runTool({"xrandr", "--delmonitor", "right"}, display));
  const std::size_t rest = drainStdout(child->stdoutFd());
  EXPECT_EQ(rest % frame.size(), 0u);
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 1);
  ASSERT_FALSE(err.all.empty());
  EXPECT_EQ(err.all.back().rfind("vexel-screencap: stream stopped with error: ", 0), 0u)
      << err.all.back();
}

// List mode keeps the default SIGPIPE action, like any filter whose reader has
// gone: the host sees the kill rather than a success it never received.
TEST_F(ScreencapFault, RosterToAClosedStdoutEndsBySigpipeAndSaysNothing) {
  auto child = start({"--list-displays"});
  child->closeStdout();
  StderrLines err(child->stderrFd());
  err.rest();
  EXPECT_EQ(child->wait(kGenerousTimeoutMs), 128 + SIGPIPE);
  for (const auto& each : err.all) ADD_FAILURE() << each;
}

}  // namespace
}  // namespace vexel::screencap
