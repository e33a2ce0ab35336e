#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/x_server.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;

// The real program with no display to act on: the protocol works all the same.
ChildProcess startInput() {
  return ChildProcess({VEXEL_INPUT_BINARY}, {"DISPLAY="});
}

Json readReply(ChildProcess& child) {
  std::string line;
  if (!child.readLine(line)) return "no line";
  return Json::parse(line, nullptr, false);
}

TEST(InputProcess, ServesUntilStdinEndsAndThenExitsZero) {
  ChildProcess child = startInput();
  ASSERT_TRUE(child.started());
  EXPECT_EQ(readReply(child), Json::parse(R"({"ready":true,"trusted":false})"));
  child.writeStdin(
      "\n{\"op\":\"status\",\"id\":\"a\"}\r\n[1]\n \n{\"op\":\"move\",\"x\":1,\"y\":2}\n"
      "{\"op\":\"status\",\"id\":9}");
  EXPECT_EQ(readReply(child), Json::parse(R"({"ok":true,"trusted":false,"id":"a"})"));
  EXPECT_EQ(readReply(child), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  const Json refused = readReply(child);
  EXPECT_EQ(refused["error"], "accessibility_not_granted");
  EXPECT_TRUE(refused["message"].is_string() && !refused["message"].empty());
  child.closeStdin();
  EXPECT_EQ(readReply(child), Json::parse(R"({"ok":true,"trusted":false,"id":9})"));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.drainStderr(), "");
}

TEST(InputProcess, ManyRequestsWrittenAtOnceComeBackInOrder) {
  ChildProcess child = startInput();
  ASSERT_TRUE(child.started());
  readReply(child);
  std::string batch;
  constexpr int kRequests = 2000;
  for (int i = 0; i < kRequests; ++i)
    batch += R"({"op":"status","id":)" + std::to_string(i) + "}\n";
  child.writeStdin(batch);
  child.closeStdin();
  for (int i = 0; i < kRequests; ++i) {
    const Json reply = readReply(child);
    ASSERT_EQ(reply["id"], i);
  }
  std::string extra;
  EXPECT_FALSE(child.readLine(extra));
  EXPECT_EQ(child.wait(), 0);
}

TEST(InputProcess, HostClosingStdoutEndsTheProgramQuietly) {
  ChildProcess child = startInput();
  ASSERT_TRUE(child.started());
  readReply(child);
  child.closeStdout();
  // SIGPIPE is ignored: the failed reply write ends the program normally.
  child.writeStdin("{\"op\":\"status\"}\n{\"op\":\"status\"}\n");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.drainStderr(), "");
}

}  // namespace
}  // namespace vexel::testing
