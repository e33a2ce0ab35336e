// vexel-screencap as the host sees it: exit statuses, the stderr lines, whole
// frames on stdout, and each kind of end (reader gone or stalled, streams
// closed at start, server gone). What the logic and the provider decide is
// owned by their own tests.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
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

constexpr int kPatienceMs = 15000;
const std::regex kClosedLine(
    "vexel-screencap: stdout closed after [0-9]+ frames \xE2\x80\x94 exiting");

std::unique_ptr<ChildProcess> start(const std::vector<std::string>& args, const std::string& env,
                                    const std::string& redirect = "") {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect,
                                   VEXEL_SCREENCAP_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(argv, std::vector<std::string>{env});
}

// The stderr lines up to and including the first that starts with `prefix`.
bool readErrUntil(ChildProcess& child, const std::string& prefix, std::vector<std::string>& seen) {
  std::string line;
  while (child.readErrLine(line, kPatienceMs)) {
    seen.push_back(line);
    if (line.starts_with(prefix)) return true;
  }
  return false;
}

std::vector<std::string> restOfErr(ChildProcess& child) {
  std::vector<std::string> lines;
  readErrUntil(child, "\n", lines);  // no line starts with a line feed
  return lines;
}

TEST(ScreencapProgramWithoutServer, UnreachableDisplayFailsWithOneLineInBothModes) {
  const std::string line =
      "vexel-screencap: could not query shareable content (Screen Recording permission?): cannot "
      "open X display \":98765\": the connection failed (no X server is listening there)";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--list-displays"}, {"--fps", "9", "--display", "-4"}}) {
    auto child = start(args, "DISPLAY=:98765");
    std::string out;
    EXPECT_FALSE(child->readLine(out)) << out;
    EXPECT_EQ(child->drainStderr(), line + "\n");
    EXPECT_EQ(child->wait(), 1);
  }
}

class ScreencapProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server.running());
  }
  std::unique_ptr<ChildProcess> stream(const std::vector<std::string>& args,
                                       const std::string& redirect = "") {
    return start(args, "DISPLAY=" + server.display(), redirect);
  }
  PrivateXServer server{PrivateXServer::Options{"640x480x24", {}}};
};

TEST_F(ScreencapProgram, ListsRandrMonitorsInServerOrderWithThePrimaryOnOneLine) {
  const std::string& display = server.display();
  // The output's own monitor becomes "left"; the others are virtual.
  if (!runTool({"xrandr", "--setmonitor", "left", "320/85x480/127+0+0", "screen"}, display)) {
    GTEST_SKIP() << "xrandr cannot define monitors here";
  }
  ASSERT_TRUE(
      runTool({"xrandr", "--setmonitor", "*right", "320/85x240/64+320+0", "none"}, display));
  ASSERT_TRUE(runTool({"xrandr", "--setmonitor", "low", "200/53x240/64+320+240", "none"}, display));
  auto child = stream({"--fps", "x", "--list-displays"});
  std::string out;
  ASSERT_TRUE(child->readLine(out));
  EXPECT_FALSE(child->readLine(out, 1000)) << "one line";
  EXPECT_EQ(child->drainStderr(), "");
  EXPECT_EQ(child->wait(), 0);
  // The server lists its primary monitor first.
  EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::parse(R"js([
      {"id":"0","label":"Main Display (320x240)","x":320,"y":0,"width":320,"height":240,
       "primary":true},
      {"id":"1","label":"Display 2 (320x480)","x":0,"y":0,"width":320,"height":480,
       "primary":false},
      {"id":"2","label":"Display 3 (200x240)","x":320,"y":240,"width":200,"height":240,
       "primary":false}])js"));
}

// The pointer starts at the centre of the screen and is drawn into the frames,
// so the colour is sampled halfway between the centre and a corner.
TEST_F(ScreencapProgram, StreamsTheScreenAndSaysSoInFourLines) {
  auto child = stream({"--width", "320", "--height", "240", "--fps", "10"});
  std::vector<std::string> err;
  ASSERT_TRUE(readErrUntil(*child, "DIMS ", err));
  std::vector<std::uint8_t> frame(320 * 240 * 4);
  ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  if (!runTool({"xsetroot", "-solid", "#3366cc"}, server.display())) GTEST_SKIP() << "no xsetroot";
  const std::size_t sample = (60 * 320 + 80) * 4;
  for (int i = 0; i < 40 && frame[sample] != 0xcc; ++i) {
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  }
  EXPECT_EQ(std::vector<std::uint8_t>(&frame[sample], &frame[sample + 3]),
            (std::vector<std::uint8_t>{0xcc, 0x66, 0x33}));
  child->closeStdout();
  for (auto& line : restOfErr(*child)) err.push_back(line);
  EXPECT_EQ(child->wait(kPatienceMs), 0);
  ASSERT_EQ(err.size(), 4U);
  EXPECT_EQ(err[0], "vexel-screencap: capture started on display 0 (320x240@10)");
  EXPECT_EQ(err[1], "DIMS 320 240");
  EXPECT_EQ(err[2], "vexel-screencap: streaming 320x240@10 (steady pacing)");
  EXPECT_TRUE(std::regex_match(err[3], kClosedLine)) << err[3];
}

// A host may start us with a standard stream closed: its number must not go to
// the X connection. (A reader that leaves later: the test above.)
TEST_F(ScreencapProgram, StreamsClosedAtStartEndWithStatusZero) {
  const std::vector<std::string> args = {"--width", "64", "--height", "48", "--fps", "30"};
  auto noStdout = stream(args, ">&-");
  const std::vector<std::string> err = restOfErr(*noStdout);
  EXPECT_EQ(noStdout->wait(kPatienceMs), 0);
  ASSERT_FALSE(err.empty());
  EXPECT_TRUE(std::regex_match(err.back(), kClosedLine)) << err.back();

  auto noStderr = stream(args, "2>&-");
  std::vector<std::uint8_t> frame(64 * 48 * 4);
  ASSERT_TRUE(noStderr->readExact(frame.data(), frame.size()));
  ASSERT_TRUE(noStderr->readExact(frame.data(), frame.size()));
  noStderr->closeStdout();
  EXPECT_EQ(noStderr->wait(kPatienceMs), 0);
}

TEST_F(ScreencapProgram, StalledReaderCostsNoMemoryAndGetsNoBurstAfterwards) {
  constexpr long kFps = 20;
  auto child = stream({"--width", "320", "--height", "240", "--fps", std::to_string(kFps)});
  std::vector<std::uint8_t> frame(320 * 240 * 4);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  // Where pipes can grow, the pipe is enlarged to the system's limit; what it
  // holds after the stall comes on top of the rate, plus the frame being written.
  long buffered = 1;
#ifdef F_GETPIPE_SZ
  long pipeLimit = 0;
  std::ifstream("/proc/sys/fs/pipe-max-size") >> pipeLimit;
  const long pipeBytes = fcntl(child->stdoutFd(), F_GETPIPE_SZ);
  EXPECT_EQ(pipeBytes, pipeLimit);
  buffered += pipeBytes / static_cast<long>(frame.size());
#endif
  const long before = child->memoryKiB("VmRSS:");
  std::this_thread::sleep_for(3s);
  const long during = child->memoryKiB("VmRSS:");
  long frames = 0;
  for (const auto resumed = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() - resumed < 1s; ++frames) {
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  }
  EXPECT_LE(frames, kFps + 4 + buffered) << "whole frames, no more than the rate allows";
  constexpr long kSlackKiB = 8 * 1024;
  EXPECT_LE(during, before + kSlackKiB);
  EXPECT_LE(child->memoryKiB("VmHWM:"), before + kSlackKiB);
  child->closeStdout();
  EXPECT_EQ(child->wait(kPatienceMs), 0);
}

TEST_F(ScreencapProgram, ServerKilledMidStreamEndsWithStatusOneAndNoPartialFrame) {
  auto child = stream({"--width", "320", "--height", "240", "--fps", "30"});
  std::vector<std::uint8_t> frame(320 * 240 * 4);
  ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
  server.kill();
  // Whole frames, then the end: no part of one, and no stream that goes on.
  int after = 0;
  while (after < 300 && child->readExact(frame.data(), frame.size())) ++after;
  EXPECT_LT(after, 300) << "still streaming";
  EXPECT_FALSE(child->readExact(frame.data(), 1, 0)) << "part of a frame after the kill";
  const std::vector<std::string> err = restOfErr(*child);
  EXPECT_EQ(child->wait(kPatienceMs), 1);
  ASSERT_FALSE(err.empty());
  EXPECT_TRUE(err.back().starts_with(
      "vexel-screencap: stream stopped with error: lost the connection to the X server"))
      << err.back();
}

// List mode keeps the default SIGPIPE action, like any filter whose reader has
// gone: the host sees the kill rather than a success it never received.
TEST_F(ScreencapProgram, RosterToAClosedStdoutEndsBySigpipeAndSaysNothing) {
  auto child = stream({"--list-displays"});
  child->closeStdout();
  EXPECT_EQ(child->drainStderr(kPatienceMs), "");
  EXPECT_EQ(child->wait(kPatienceMs), 128 + SIGPIPE);
}

}  // namespace
}  // namespace vexel::screencap
