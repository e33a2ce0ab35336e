#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/dispatcher.h"
#include "testing/recording_events.h"

namespace vexel::input {

// A recording provider and the injector on top of it; every test ends by
// checking that no event leaked and nothing was left pressed.
class InjectorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(events.lifecycleProblems(), std::vector<std::string>{});
    if (expectNothingHeld) {
      EXPECT_TRUE(events.held().empty());
    }
  }

  // Sends one request through the real dispatcher.
  Json send(const char* request) { return handle(injector, Json::parse(request)); }

  // Sends a request that must succeed and returns what it posted.
  std::vector<std::string> postedBy(const char* request) {
    events.clear();
    EXPECT_EQ(send(request), Json::parse(R"({"ok":true})")) << request;
    return events.posted();
  }

  RecordingEventServices events;
  Injector injector = makeInjector(events);
  bool expectNothingHeld = true;
};

}  // namespace vexel::input
