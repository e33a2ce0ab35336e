// vexel-input as the host sees it, with an X display it cannot open: the replies on
// stdout, the exit status and an empty stderr, whatever the host sends or
// however it stops listening. What a request does is owned by the unit tests.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "testing/x_server.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;

class InputProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a child that is gone fails instead
    ASSERT_TRUE(child.started());
    ASSERT_EQ(reply(), Json::parse(R"({"ready":true,"trusted":false})"));
  }

  Json reply() {
    std::string line;
    // Generous: a sanitized build on a busy machine takes a minute for 64 MiB.
    if (!child.readLine(line, 240000)) return "no line";
    return Json::parse(line, nullptr, false);
  }

  // A program that stops reading would block the writer for ever: after a
  // failure it is killed first.
  void join(std::thread& writer) {
    if (HasFailure()) child.stop(SIGKILL);
    writer.join();
  }

  void endsCleanly() {
    child.closeStdin();
    std::string extra;
    EXPECT_FALSE(child.readLine(extra)) << extra;
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.drainStderr(), "");
  }

  ChildProcess child{{VEXEL_INPUT_BIN}, {"DISPLAY=:98765"}};
};

TEST_F(InputProgram, AnswersEachLineUntilStdinEndsMidLineAndExitsZero) {
  child.writeStdin(
      "\n{\"op\":\"status\",\"id\":\"a\"}\r\n[1]\n \n{\"op\":\"move\",\"x\":1,\"y\":2}\n"
      "{\"op\":\"status\",\"id\":9}");
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":"a"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  const Json refused = reply();
  EXPECT_EQ(refused["error"], "accessibility_not_granted");
  // The words vexel-screencap uses for a display it cannot open.
  EXPECT_TRUE(
      refused.value("message", "")
          .starts_with(
              "cannot open X display \":98765\": the connection failed (no X server is listening "
              "there). "))
      << refused;
  child.closeStdin();
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":9})"));
  endsCleanly();
}

TEST_F(InputProgram, LinesOf64MiBAreAnsweredWholeWithBoundedMemory) {
  const std::string big(64 << 20, 'x');
  std::thread writer([&] {
    child.writeStdin(R"({"op":"status","id":")" + big + "\"}\n");
    child.writeStdin(big + "\n");
    child.writeStdin("{\"op\":\"status\",\"id\":2}\n");
  });
  const Json first = reply();
  EXPECT_EQ(first.value("id", std::string()).size(), big.size());
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":2})"));
  join(writer);
  EXPECT_LT(child.memoryKiB("VmHWM:"), 1L << 20) << "a 64 MiB line should not take a GiB";
  endsCleanly();
}

// SIGPIPE is ignored: the failed reply write ends the program normally.
TEST_F(InputProgram, HostThatStopsReadingEndsTheProgramWithStatusZero) {
  child.closeStdout();
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += "{\"op\":\"status\"}\n";
  child.writeStdin(batch);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.drainStderr(), "");
}

}  // namespace
}  // namespace vexel::testing
