#include <string>
#include <vector>

#include "tests/input/injector_fixture.h"

namespace vexel::input {
namespace {

using Dispatcher = InjectorTest;

struct Exchange {
  const char* request;
  const char* reply;
};

TEST_F(Dispatcher, RepliesWithTheErrorOfTheFirstBadField) {
  const std::vector<Exchange> cases = {
      {R"({})", R"({"ok":false,"error":"missing_op"})"},
      {R"({"id":7})", R"({"ok":false,"error":"missing_op","id":7})"},
      {R"({"op":5,"id":null})", R"({"ok":false,"error":"missing_op","id":null})"},
      {R"({"op":null})", R"({"ok":false,"error":"missing_op"})"},
      {R"({"op":["move"],"x":1,"y":1})", R"({"ok":false,"error":"missing_op"})"},
      {R"({"op":"fly"})", R"({"ok":false,"error":"unknown_op:fly"})"},
      {R"({"op":"Move","x":1,"y":2})", R"({"ok":false,"error":"unknown_op:Move"})"},
      {R"({"op":""})", R"({"ok":false,"error":"unknown_op:"})"},
      {R"({"op":"move"})", R"({"ok":false,"error":"missing_number:x"})"},
      {R"({"op":"move","x":"10","y":1})", R"({"ok":false,"error":"missing_number:x"})"},
      {R"({"op":"move","x":1,"y":null})", R"({"ok":false,"error":"missing_number:y"})"},
      {R"({"op":"move","X":1,"y":1})", R"({"ok":false,"error":"missing_number:x"})"},
      {R"({"op":"click","y":1})", R"({"ok":false,"error":"missing_number:x"})"},
      {R"({"op":"down","x":1,"button":"right"})", R"({"ok":false,"error":"missing_number:y"})"},
      {R"({"op":"up","y":[1]})", R"({"ok":false,"error":"missing_number:x"})"},
      {R"({"op":"drag"})", R"({"ok":false,"error":"missing_number:fromX"})"},
      {R"({"op":"drag","fromX":0,"fromY":0,"toX":1})",
       R"({"ok":false,"error":"missing_number:toY"})"},
      {R"({"op":"drag","fromX":0,"toX":1,"toY":1})",
       R"({"ok":false,"error":"missing_number:fromY"})"},
      {R"({"op":"scroll","x":1,"dy":3})", R"({"ok":false,"error":"missing_number:y"})"},
      {R"({"op":"type"})", R"({"ok":false,"error":"missing_text"})"},
      {R"({"op":"type","text":5})", R"({"ok":false,"error":"missing_text"})"},
      {R"({"op":"key"})", R"({"ok":false,"error":"missing_key"})"},
      {R"({"op":"key","key":["a"]})", R"({"ok":false,"error":"missing_key"})"},
      {R"({"op":"key","key":"F13"})", R"({"ok":false,"error":"unknown_key:f13"})"},
      {R"({"op":"key","key":"a","modifiers":["cmd","Hyper"]})",
       R"({"ok":false,"error":"unknown_modifier:hyper"})"},
      {R"({"op":"key","key":"nope","modifiers":["hyper"]})",
       R"({"ok":false,"error":"unknown_key:nope"})"},
      // The full lower-case mapping turns U+0130 into i and a combining dot.
      {R"({"op":"key","key":"\u0130"})", "{\"ok\":false,\"error\":\"unknown_key:i\xCC\x87\"}"},
  };
  for (const auto& c : cases) {
    events.clear();
    EXPECT_EQ(send(c.request), Json::parse(c.reply)) << c.request;
    EXPECT_EQ(events.posted(), std::vector<std::string>{}) << c.request;
  }
}

TEST_F(Dispatcher, ReturnsEveryKindOfIdUnchanged) {
  const std::vector<const char*> ids = {R"(0)",  R"(-1.5)",         R"("abc")",
                                        R"("")", R"(true)",         R"(null)",
                                        R"([])", R"([1,"a",null])", R"({"n":{"m":[2]}})"};
  for (const char* id : ids) {
    const Json expected = Json::parse(id);
    const std::vector<std::string> requests = {
        std::string(R"({"op":"status","id":)") + id + "}",
        std::string(R"({"op":"move","x":1,"y":2,"id":)") + id + "}",
        std::string(R"({"op":"move","id":)") + id + "}",
        std::string(R"({"id":)") + id + "}",
    };
    for (const auto& request : requests) {
      const Json reply = handle(injector, Json::parse(request));
      ASSERT_TRUE(reply.contains("id")) << request;
      EXPECT_EQ(reply["id"], expected) << request;
    }
  }
}

TEST_F(Dispatcher, GateAsksForTheGrantOnEveryActionAndBeforeTheFields) {
  events.trusted = false;
  const std::vector<Exchange> withoutGrant = {
      {R"({"op":"status","id":1})", R"({"ok":true,"trusted":false,"id":1})"},
      {R"({"op":"fly"})", R"({"ok":false,"error":"accessibility_not_granted","message":"m"})"},
      {R"({"op":"move"})", R"({"ok":false,"error":"accessibility_not_granted","message":"m"})"},
      {R"({"op":"type","text":"x","id":"q"})",
       R"({"ok":false,"error":"accessibility_not_granted","message":"m","id":"q"})"},
      {R"({"op":7})", R"({"ok":false,"error":"missing_op"})"},
  };
  events.message = "m";
  Injector untrusted = makeInjector(events);
  for (const auto& c : withoutGrant) {
    events.clear();
    EXPECT_EQ(handle(untrusted, Json::parse(c.request)), Json::parse(c.reply)) << c.request;
    EXPECT_EQ(events.posted(), std::vector<std::string>{}) << c.request;
    EXPECT_EQ(events.trustQueries(), Json::parse(c.request)["op"].is_string() ? 1 : 0);
  }

  // A grant given while the program runs counts from the next request on.
  events.trusted = true;
  EXPECT_EQ(handle(untrusted, Json::parse(R"({"op":"move","x":1,"y":1})")),
            Json::parse(R"({"ok":true})"));
}

TEST_F(Dispatcher, RepairTextIsTheProvidersOwnOrTheMacOneTakenAtStartUp) {
  events.trusted = false;
  for (const std::optional<std::string>& own :
       {std::optional<std::string>("fix it"), std::optional<std::string>()}) {
    events.message = own;
    const Injector started = makeInjector(events);
    events.message = "changed later";
    EXPECT_EQ(handle(started, Json::parse(R"({"op":"key","key":"a"})"))["message"],
              own.value_or(ACCESSIBILITY_MESSAGE));
  }
}

TEST_F(Dispatcher, SucceedsWithOkAloneAndIgnoresOtherKeys) {
  EXPECT_EQ(send(R"({"op":"move","x":1,"y":2,"extra":{"a":1},"op2":"key"})"),
            Json::parse(R"({"ok":true})"));
  EXPECT_EQ(send(R"({"op":"type","text":""})"), Json::parse(R"({"ok":true})"));
  EXPECT_EQ(send(R"({"op":"scroll","x":0,"y":0})"), Json::parse(R"({"ok":true})"));
}

TEST_F(Dispatcher, UndeliveredEventsEndTheRequestWithAFailure) {
  using Reason = DeliveryFailure::Reason;
  struct Case {
    const char* request;
    int failingPost;
    Reason reason;
    const char* reply;
  };
  const std::vector<Case> cases = {
      {R"({"op":"key","key":"a","modifiers":["shift"]})", 1, Reason::kUndeliverable,
       R"({"ok":false,"error":"event_create_failed"})"},
      {R"({"op":"type","text":"ab\ncd","id":2})", 3, Reason::kAccessLost,
       R"({"ok":false,"error":"accessibility_not_granted","message":"m","id":2})"},
      {R"({"op":"scroll","x":1,"y":1,"dy":5})", 2, Reason::kUndeliverable,
       R"({"ok":false,"error":"event_create_failed"})"},
      {R"({"op":"move","x":1,"y":1})", 1, Reason::kAccessLost,
       R"({"ok":false,"error":"accessibility_not_granted","message":"m"})"},
  };
  events.message = "m";
  const Injector withMessage = makeInjector(events);
  for (const auto& c : cases) {
    events.clear();
    events.failPostNumber = c.failingPost;
    events.failPostReason = c.reason;
    EXPECT_EQ(handle(withMessage, Json::parse(c.request)), Json::parse(c.reply)) << c.request;
    // The request stopped at the failed post; every event was released (TearDown).
    EXPECT_EQ(events.timeline().back().rfind("release#", 0), 0U) << c.request;
  }
}

}  // namespace
}  // namespace vexel::input
