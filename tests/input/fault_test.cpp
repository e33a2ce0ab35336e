// vexel-input fed what a buggy or hostile host might send. Each case states
// what the host sees: the replies, the exit status, an empty stderr.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "testing/x_server.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;

class InputFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(child.started());
    ASSERT_EQ(reply(), Json::parse(R"({"ready":true,"trusted":false})"));
  }

  Json reply() {
    std::string line;
    if (!child.readLine(line, 60000)) return "no line";
    return Json::parse(line, nullptr, false);
  }

  // Peak resident memory of the child so far, from /proc.
  long peakKiB() {
    std::ifstream status("/proc/" + std::to_string(child.pid()) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
      if (key == "VmHWM:") {
        status >> value;
        return value;
      }
    }
    return -1;
  }

  void endsCleanly() {
    child.closeStdin();
    std::string extra;
    EXPECT_FALSE(child.readLine(extra)) << extra;
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.drainStderr(), "");
  }

  // No display to act on: the protocol is what is under test.
  ChildProcess child{{VEXEL_INPUT_BINARY}, {"DISPLAY="}};
};

TEST_F(InputFaults, LinesOf64MiBAreAnsweredWholeWithBoundedMemory) {
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
  writer.join();
  EXPECT_LT(peakKiB(), 1L << 20) << "a 64 MiB line should not take a GiB";
  endsCleanly();
}

TEST_F(InputFaults, AMillionNestedArraysNeitherCrashNorHang) {
  const std::string nested = std::string(1000000, '[') + std::string(1000000, ']');
  std::thread writer([&] {
    child.writeStdin("{\"op\":\"status\",\"id\":" + nested + "}\n");
    child.writeStdin(nested + "\n");
    child.writeStdin("{\"op\":\"status\",\"id\":" + std::string(1000000, '[') + "\n");
    child.writeStdin("{\"op\":\"status\",\"id\":3}\n");
  });
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"reply_encode_failed"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":3})"));
  writer.join();
  endsCleanly();
}

TEST_F(InputFaults, NulBytesInvalidUtf8AndLoneSurrogatesAreRefusedOrRepaired) {
  using namespace std::string_literals;
  child.writeStdin("{\"op\":\"status\",\"id\":9}\0\n"s);
  child.writeStdin("\0\n"s);
  child.writeStdin("{\"op\":\"status\",\"id\":\"a\\u0000b\"}\n");
  child.writeStdin("{\"op\":\"status\",\"id\":\"\xFF\xFE\"}\n");
  child.writeStdin("{\"op\":\"status\",\"id\":\"\\ud800\"}\n");
  child.writeStdin("{\"op\":\"status\",\"id\":\"\\udfff\\ud800\"}\n");
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":"a\u0000b"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":"\ufffd\ufffd"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  endsCleanly();
}

TEST_F(InputFaults, AHundredThousandRequestsAtFullSpeedAreAllAnsweredInOrder) {
  constexpr int kRequests = 100000;
  std::thread writer([&] {
    std::string batch;
    for (int i = 0; i < kRequests; ++i) {
      batch += R"({"op":"move","x":1,"y":2,"id":)" + std::to_string(i) + "}\n";
      if (batch.size() > 4096) {
        child.writeStdin(batch);
        batch.clear();
      }
    }
    child.writeStdin(batch);
  });
  int inOrder = 0;
  for (int i = 0; i < kRequests; ++i) {
    const Json r = reply();
    if (r.value("id", -1) != i) break;
    ++inOrder;
  }
  writer.join();
  EXPECT_EQ(inOrder, kRequests);
  endsCleanly();
}

TEST_F(InputFaults, StdinClosedMidLineAnswersWhatArrived) {
  child.writeStdin("{\"op\":\"status\",\"id\":1}\n{\"op\":\"sta");
  EXPECT_EQ(reply(), Json::parse(R"({"ok":true,"trusted":false,"id":1})"));
  child.closeStdin();
  EXPECT_EQ(reply(), Json::parse(R"({"ok":false,"error":"bad_json"})"));
  EXPECT_EQ(child.wait(), 0);
}

TEST_F(InputFaults, HostThatStopsReadingEndsTheProgramWithStatusZero) {
  child.closeStdout();
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += "{\"op\":\"status\"}\n";
  child.writeStdin(batch);
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.drainStderr(), "");
}

}  // namespace
}  // namespace vexel::testing
