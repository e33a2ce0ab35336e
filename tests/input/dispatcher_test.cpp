#include <gtest/gtest.h>

#include "input/dispatcher.h"
#include "input/platform/recording/recording_events.h"

namespace vexel::input {
namespace {

TEST(Dispatcher, StatusAnswersWithTrust) {
  RecordingEventServices events;
  const Injector injector = makeInjector(events);
  EXPECT_EQ(handle(injector, Json::parse(R"({"op":"status","id":1})")),
            Json::parse(R"({"ok":true,"trusted":true,"id":1})"));
}

}  // namespace
}  // namespace vexel::input
