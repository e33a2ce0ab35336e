#include <string>
#include <vector>

#include "tests/input/injector_fixture.h"

namespace vexel::input {
namespace {

using Mouse = InjectorTest;
using Timeline = std::vector<std::string>;

TEST_F(Mouse, MoveDownAndUpPostOneEventWithoutPauses) {
  EXPECT_EQ(postedBy(R"({"op":"move","x":1.5,"y":-2})"),
            Timeline{"mouse type=5 button=0 at=(1.5,-2)"});
  EXPECT_EQ(postedBy(R"({"op":"move","x":true,"y":false})"),
            Timeline{"mouse type=5 button=0 at=(1,0)"});
  EXPECT_EQ(postedBy(R"({"op":"move","x":-1e6,"y":99999.25})"),
            Timeline{"mouse type=5 button=0 at=(-1000000,99999.25)"});
  EXPECT_EQ(postedBy(R"({"op":"down","x":3,"y":4,"button":"right"})"),
            Timeline{"mouse type=3 button=1 at=(3,4) state=1"});
  EXPECT_EQ(postedBy(R"({"op":"up","x":3,"y":4,"button":"right"})"),
            Timeline{"mouse type=4 button=1 at=(3,4) state=1"});
  EXPECT_EQ(postedBy(R"({"op":"down","x":0,"y":0,"button":"middle"})"),
            Timeline{"mouse type=25 button=2 at=(0,0) state=1"});
  EXPECT_EQ(postedBy(R"({"op":"up","x":0,"y":0,"button":"middle"})"),
            Timeline{"mouse type=26 button=2 at=(0,0) state=1"});
}

TEST_F(Mouse, DoubleClickIsNumberedAndPaced) {
  EXPECT_EQ(postedBy(R"({"op":"click","x":10,"y":20,"count":2})"),
            (Timeline{"mouse type=5 button=0 at=(10,20)", "pause 5000us",
                      "mouse type=1 button=0 at=(10,20) state=1", "pause 8000us",
                      "mouse type=2 button=0 at=(10,20) state=1", "pause 60000us",
                      "mouse type=1 button=0 at=(10,20) state=2", "pause 8000us",
                      "mouse type=2 button=0 at=(10,20) state=2"}));
}

TEST_F(Mouse, ClickCountIsTruncatedAndClampedToThree) {
  struct Case {
    const char* count;
    Timeline states;  // click states of the presses and releases, in order
  };
  const std::vector<Case> cases = {
      {"", {"1", "1"}},
      {R"(,"count":1)", {"1", "1"}},
      {R"(,"count":2.7)", {"1", "1", "2", "2"}},
      {R"(,"count":-2.7)", {"1", "1"}},
      {R"(,"count":0)", {"1", "1"}},
      {R"(,"count":-4)", {"1", "1"}},
      {R"(,"count":"3")", {"1", "1"}},
      {R"(,"count":true)", {"1", "1"}},
      {R"(,"count":7)", {"1", "1", "2", "2", "3", "3"}},
      {R"(,"count":1e300)", {"1", "1", "2", "2", "3", "3"}},
      {R"(,"count":-1e300)", {"1", "1"}},
  };
  for (const auto& c : cases) {
    const std::string request = std::string(R"({"op":"click","x":0,"y":0)") + c.count + "}";
    Timeline states;
    for (const auto& line : postedBy(request.c_str())) {
      if (const auto at = line.find(" state="); at != std::string::npos) {
        states.push_back(line.substr(at + 7));
      }
    }
    EXPECT_EQ(states, c.states) << request;
  }
}

TEST_F(Mouse, ButtonNamesAreExactAndDefaultToLeft) {
  struct Case {
    const char* button;
    const char* down;
    const char* up;
  };
  const std::vector<Case> cases = {
      {"", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"left")", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"Right")", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"RIGHT")", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"")", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"wheel")", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":2)", "type=1 button=0", "type=2 button=0"},
      {R"(,"button":"right")", "type=3 button=1", "type=4 button=1"},
      {R"(,"button":"middle")", "type=25 button=2", "type=26 button=2"},
  };
  for (const auto& c : cases) {
    const std::string request = std::string(R"({"op":"click","x":5,"y":6)") + c.button + "}";
    EXPECT_EQ(postedBy(request.c_str()),
              (Timeline{"mouse type=5 button=0 at=(5,6)", "pause 5000us",
                        std::string("mouse ") + c.down + " at=(5,6) state=1", "pause 8000us",
                        std::string("mouse ") + c.up + " at=(5,6) state=1"}))
        << request;
  }
}

// The mouse event types of a button's press, drag and release.
struct ButtonTypes {
  std::string down, drag, up;
};
const ButtonTypes kLeft{"1 button=0", "6 button=0", "2 button=0"};
const ButtonTypes kMiddle{"25 button=2", "27 button=2", "26 button=2"};

Timeline dragTimeline(const ButtonTypes& b, const std::vector<std::string>& steps,
                      const std::string& from, const std::string& to) {
  Timeline t = {"mouse type=5 button=0 at=" + from, "pause 20000us",
                "mouse type=" + b.down + " at=" + from + " state=1", "pause 20000us"};
  for (const auto& step : steps) {
    t.push_back("mouse type=" + b.drag + " at=" + step);
    t.emplace_back("pause 8000us");
  }
  t.push_back("mouse type=" + b.up + " at=" + to + " state=1");
  return t;
}

TEST_F(Mouse, DragPressesMovesInTwelveStepsAndReleasesAtTheEnd) {
  std::vector<std::string> steps;
  for (int i = 1; i <= 12; ++i) {
    steps.push_back("(" + std::to_string(10 * i) + "," + std::to_string(5 * i) + ")");
  }
  EXPECT_EQ(postedBy(R"({"op":"drag","fromX":0,"fromY":0,"toX":120,"toY":60})"),
            dragTimeline(kLeft, steps, "(0,0)", "(120,60)"));

  const std::vector<std::string> still(12, "(7,7)");
  EXPECT_EQ(postedBy(R"({"op":"drag","fromX":7,"fromY":7,"toX":7,"toY":7,"button":"middle"})"),
            dragTimeline(kMiddle, still, "(7,7)", "(7,7)"));
}

TEST_F(Mouse, ScrollRoundsHalvesAwayFromZeroAndSaturates) {
  struct Case {
    const char* amounts;
    const char* wheels;  // vertical, horizontal, third
  };
  const std::vector<Case> cases = {
      {"", "[0,0,0]"},
      {R"(,"dy":0.49)", "[0,0,0]"},
      {R"(,"dy":2.5)", "[3,0,0]"},
      {R"(,"dy":-2.5)", "[-3,0,0]"},
      {R"(,"dy":-0.5,"dx":1.5)", "[-1,2,0]"},
      {R"(,"dx":-40,"dy":12)", "[12,-40,0]"},
      {R"(,"dy":3000000000)", "[2147483647,0,0]"},
      {R"(,"dy":-3000000000)", "[-2147483648,0,0]"},
      {R"(,"dy":1e300,"dx":-1e300)", "[2147483647,-2147483648,0]"},
      {R"(,"dy":"5","dx":null)", "[0,0,0]"},
      {R"(,"dy":true)", "[1,0,0]"},
  };
  for (const auto& c : cases) {
    const std::string request = std::string(R"({"op":"scroll","x":4,"y":8)") + c.amounts + "}";
    EXPECT_EQ(postedBy(request.c_str()),
              (Timeline{"mouse type=5 button=0 at=(4,8)", "pause 5000us",
                        std::string("scroll wheels=2 ") + c.wheels + " location=(4,8)"}))
        << request;
  }
  // Pixel units and the location set before the post.
  postedBy(R"({"op":"scroll","x":4,"y":8,"dy":1})");
  const Timeline& t = events.timeline();
  EXPECT_NE(std::find(t.begin(), t.end(), "create#2 scroll wheels=2 [1,0,0] unit=0"), t.end());
}

TEST_F(Mouse, FailedCreationStopsTheSequenceAndLeavesPostedEventsInPlace) {
  // Creation 3 is the first release: the press stays posted, as the system saw it.
  events.failCreationNumber = 3;
  EXPECT_EQ(send(R"({"op":"click","x":1,"y":1,"count":2,"id":4})"),
            Json::parse(R"({"ok":false,"error":"event_create_failed","id":4})"));
  EXPECT_EQ(events.posted(), (Timeline{"mouse type=5 button=0 at=(1,1)", "pause 5000us",
                                       "mouse type=1 button=0 at=(1,1) state=1", "pause 8000us"}));
  EXPECT_EQ(events.held(), (std::set<std::string>{"button0"}));

  // A later "up" releases it.
  events.failCreationNumber.reset();
  EXPECT_EQ(send(R"({"op":"up","x":1,"y":1})"), Json::parse(R"({"ok":true})"));

  const std::vector<std::pair<const char*, int>> failures = {
      {R"({"op":"move","x":1,"y":1})", 1},
      {R"({"op":"scroll","x":1,"y":1,"dy":3})", 2},
      {R"({"op":"drag","fromX":0,"fromY":0,"toX":9,"toY":9})", 14},
  };
  for (const auto& [request, n] : failures) {
    events.clear();
    events.failCreationNumber = n;
    EXPECT_EQ(send(request)["error"], "event_create_failed") << request;
    events.failCreationNumber.reset();
    send(R"({"op":"up","x":0,"y":0})");
  }
}

}  // namespace
}  // namespace vexel::input
