#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/x_server.h"

namespace vexel::screencap {
namespace {

using vexel::testing::ChildProcess;
using vexel::testing::PrivateXServer;
using vexel::testing::runTool;

// No server listens on a display number this high.
const std::string kDeadDisplay = "DISPLAY=:98765";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::string& binary, const std::vector<std::string>& args,
            const std::vector<std::string>& env) {
  std::vector<std::string> argv = {binary};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv, env);
  Outcome outcome{-1, "", ""};
  std::string line;
  while (child.readLine(line)) outcome.out += line + "\n";
  outcome.err = child.drainStderr();
  outcome.status = child.wait();
  return outcome;
}

Outcome runScreencap(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return run(VEXEL_SCREENCAP_BINARY, args, env);
}

TEST(ScreencapProcess, UnreachableDisplayFailsWithThePlatformsDescription) {
  const std::string line =
      "vexel-screencap: could not query shareable content (Screen Recording permission?): cannot "
      "open X display \":98765\": the connection failed (no X server is listening there)\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--list-displays"},
           {"--fps", "--width", "abc", "--FPS", "9", "--display", "-4"},
           {"--width", "x", "--list-displays", "--fps"}}) {
    const Outcome outcome = runScreencap(args, {kDeadDisplay});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, line);
  }
}

TEST(ScreencapProcess, ListsTheOneScreenOfAPlainServer) {
  if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  PrivateXServer server(PrivateXServer::Options{"1600x900x24", {}});
  ASSERT_TRUE(server.running());
  const Outcome outcome =
      runScreencap({"--fps", "nonsense", "--list-displays"}, {"DISPLAY=" + server.display()});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const char* expected = R"js([{"id":"0","label":"Main Display (1600x900)","x":0,"y":0,
      "width":1600,"height":900,"primary":true}])js";
  EXPECT_EQ(nlohmann::json::parse(outcome.out), nlohmann::json::parse(expected));
}

TEST(ScreencapProcess, ListsRandrMonitorsInServerOrderWithThePrimary) {
  if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  PrivateXServer server(PrivateXServer::Options{"1920x1080x24", {}});
  ASSERT_TRUE(server.running());
  const std::string& display = server.display();
  // The output's own monitor becomes "left"; the others are virtual.
  if (!runTool({"xrandr", "--setmonitor", "left", "960/254x1080/286+0+0", "screen"}, display)) {
    GTEST_SKIP() << "xrandr cannot define monitors here";
  }
  ASSERT_TRUE(
      runTool({"xrandr", "--setmonitor", "*right", "960/254x540/143+960+0", "none"}, display));
  ASSERT_TRUE(
      runTool({"xrandr", "--setmonitor", "low", "640/169x540/143+960+540", "none"}, display));

  const Outcome outcome = runScreencap({"--list-displays"}, {"DISPLAY=" + display});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  ASSERT_FALSE(outcome.out.empty());
  EXPECT_EQ(outcome.out.find('\n'), outcome.out.size() - 1) << "one line";
  // The server lists its primary monitor first.
  const char* expected = R"js([
      {"id":"0","label":"Main Display (960x540)","x":960,"y":0,"width":960,"height":540,
       "primary":true},
      {"id":"1","label":"Display 2 (960x1080)","x":0,"y":0,"width":960,"height":1080,
       "primary":false},
      {"id":"2","label":"Display 3 (640x540)","x":960,"y":540,"width":640,"height":540,
       "primary":false}])js";
  EXPECT_EQ(nlohmann::json::parse(outcome.out), nlohmann::json::parse(expected));
}

// A host may start us with a standard stream closed. The X connection must not
// take its number: output written into it would reach the server as requests.
TEST(ScreencapProcess, ClosedStandardStreamsAtStartNeverFeedTheXConnection) {
  if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
  PrivateXServer server(PrivateXServer::Options{"640x480x24", {}});
  ASSERT_TRUE(server.running());
  const auto start = [&](const std::string& redirect) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect,
                                 VEXEL_SCREENCAP_BINARY, "--width", "64", "--height", "48"},
        std::vector<std::string>{"DISPLAY=" + server.display()});
  };
  {
    SCOPED_TRACE("stdout closed: the first frame write fails like a closed reader");
    auto child = start(">&-");
    const std::string err = child->drainStderr();
    EXPECT_EQ(child->wait(), 0) << err;
    EXPECT_NE(err.find("DIMS 64 48\n"), std::string::npos) << err;
    EXPECT_TRUE(
        err.ends_with("vexel-screencap: stdout closed after 0 frames \xE2\x80\x94 exiting\n"))
        << err;
  }
  {
    SCOPED_TRACE("stderr closed: frames still stream until the reader leaves");
    auto child = start("2>&-");
    std::vector<std::uint8_t> frame(64 * 48 * 4);
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
    ASSERT_TRUE(child->readExact(frame.data(), frame.size()));
    child->closeStdout();
    EXPECT_EQ(child->wait(), 0);
  }
}

TEST(ScreencapProcess, StartUpTimersEndAPlatformThatNeverAnswers) {
  const std::string listLine =
      "vexel-screencap: --list-displays timed out (stale Screen Recording grant?) — exiting\n";
  const std::string watchdogLine =
      "vexel-screencap: capture did not start within 10s (stale Screen Recording grant? System "
      "Settings → Privacy & Security → Screen Recording → toggle Visual Studio Code OFF/ON, "
      "then fully quit + reopen VS Code) — exiting\n";
  // All three at once, so the test lasts as long as the longest timer.
  ChildProcess list({VEXEL_SILENT_BINARY, "--list-displays"}, {"VEXEL_TEST_SILENT=content"});
  ChildProcess noContent({VEXEL_SILENT_BINARY}, {"VEXEL_TEST_SILENT=content"});
  ChildProcess noStart({VEXEL_SILENT_BINARY, "--fps", "30"}, {"VEXEL_TEST_SILENT=start"});
  struct Expect {
    ChildProcess& child;
    const std::string& line;
  };
  for (const Expect each :
       {Expect{list, listLine}, Expect{noContent, watchdogLine}, Expect{noStart, watchdogLine}}) {
    std::string out;
    EXPECT_FALSE(each.child.readLine(out, 20000));
    EXPECT_EQ(out, "");
    EXPECT_EQ(each.child.drainStderr(20000), each.line);
    EXPECT_EQ(each.child.wait(), 2);
  }
}

}  // namespace
}  // namespace vexel::screencap
