#include "input/request_loop.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "testing/recording_events.h"
#include "testing/scripted_io.h"

namespace vexel::input {
namespace {

using namespace std::string_literals;

constexpr int kIn = 0;
constexpr int kOut = 1;
constexpr const char* kEncodeFailed = "{\"ok\":false,\"error\":\"reply_encode_failed\"}\n";

using testing::ScriptedIo;
using Step = ScriptedIo::Step;

// Runs a whole session and returns the output lines parsed.
std::vector<Json> session(ScriptedIo& io, RecordingEventServices& events) {
  const Injector injector = makeInjector(events);
  runInjector(injector, io, kIn, kOut);
  std::vector<Json> out;
  for (const auto& line : io.lines(kOut)) {
    Json value = Json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << line;
    out.push_back(value);
  }
  return out;
}

const Json kReady = Json::parse(R"({"ready":true,"trusted":true})");
const Json kBadJson = Json::parse(R"({"ok":false,"error":"bad_json"})");

std::vector<Json> parsed(std::initializer_list<const char*> texts) {
  std::vector<Json> out;
  for (const char* t : texts) out.push_back(Json::parse(t));
  return out;
}

// One stream holding most framing rules; the last request has no LF.
const std::string kMixedInput =
    "\n"
    "  \t \xC2\xA0\xE2\x80\x83\n"  // spaces, tab, U+00A0, U+2003: blank
    "\r\n"                         // CR LF ending: blank
    "\r\r\n"                       // a CR left over is not blank
    "{\"op\":\"status\",\"id\":1}\r\n"
    "[1,2]\n"
    "5\n"
    "\"s\"\n"
    "{}\n"
    " \xE2\x80\x83 {\"op\":\"status\",\"id\":2}\t \n"
    "\xE2\x80\xA8{\"op\":\"status\"}\n"  // U+2028 is no space separator
    "{\"op\":\"status\"} // note\n"
    "{\"op\":\"status\"}{\"op\":\"status\"}\n"
    "{\"op\":\"status\",}\n"
    "{bad\n"
    "{\"op\":\"status\",\"id\":[\"\\n\\\"\"]}\n"
    "{\"op\":\"status\",\"id\":3}"s;

const std::vector<Json> kMixedReplies = parsed({
    R"({"ready":true,"trusted":true})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":true,"trusted":true,"id":1})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"missing_op"})",
    R"({"ok":true,"trusted":true,"id":2})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":false,"error":"bad_json"})",
    R"({"ok":true,"trusted":true,"id":["\n\""]})",
    R"({"ok":true,"trusted":true,"id":3})",
});

TEST(RequestLoop, FramesTrimsAndParsesWhateverTheStreamsDo) {
  struct Weather {
    const char* name;
    std::size_t readSlice;
    bool interruptReads;
    int readErrorAtEnd;
    std::size_t writeLimit;
    bool interruptWrites;
  };
  const std::vector<Weather> cases = {
      {"whole reads and writes", 1 << 20, false, 0, 1 << 20, false},
      {"one byte at a time", 1, false, 0, 1, false},
      {"interrupted reads and writes", 7, true, 0, 5, true},
      {"read error at the end", 3, false, EIO, 1 << 20, false},
  };
  for (const auto& w : cases) {
    ScriptedIo io(kMixedInput);
    io.readSlice = w.readSlice;
    io.interruptReads = w.interruptReads;
    io.readErrorAtEnd = w.readErrorAtEnd;
    io.writeLimit = w.writeLimit;
    for (int i = 0; w.interruptWrites && i < 1000; ++i) {
      io.scripts[kOut].insert(io.scripts[kOut].end(), {Step::kInterrupt, Step::kWhole});
    }
    RecordingEventServices events;
    EXPECT_EQ(session(io, events), kMixedReplies) << w.name;
  }
}

TEST(RequestLoop, NulBytesAnywhereMakeTheLineBadJson) {
  const std::vector<std::string> nulLines = {
      "{\"op\":\"status\",\"id\":9}\0"s,       // after the object
      "{\"op\":\"status\",\"id\":9} \0 {}"s,   // after it, text following
      "\0{\"op\":\"status\",\"id\":9}"s,       // before it
      "{\"op\":\0\"status\",\"id\":9}"s,       // between tokens
      "{\"op\":\"status\",\"id\":\"a\0b\"}"s,  // inside a string
      "\0"s,
  };
  std::string input;
  for (const auto& line : nulLines) input += line + "\n";
  ScriptedIo io(input + "{\"op\":\"status\",\"id\":1}\n");
  RecordingEventServices events;
  std::vector<Json> expected(nulLines.size() + 2, kBadJson);
  expected.front() = kReady;
  expected.back() = Json::parse(R"({"ok":true,"trusted":true,"id":1})");
  EXPECT_EQ(session(io, events), expected);
}

TEST(RequestLoop, EndOfInputRightAwayWritesOnlyTheReadyLine) {
  ScriptedIo io("");
  RecordingEventServices events;
  EXPECT_EQ(session(io, events), std::vector<Json>{kReady});
}

TEST(RequestLoop, ClosedStdoutEndsTheLoopWithoutReadingFurther) {
  const std::string input =
      "{\"op\":\"move\",\"x\":1,\"y\":1}\n{\"op\":\"status\"}\n{\"op\":\"status\"}\n";
  for (const int writes : {0, 1, 2}) {
    ScriptedIo io(input);
    io.readSlice = 1;  // a byte a read
    io.closeAfter(kOut, writes);
    RecordingEventServices events;
    const Injector injector = makeInjector(events);
    runInjector(injector, io, kIn, kOut);
    EXPECT_EQ(io.lines(kOut).size(), static_cast<std::size_t>(writes));
    // Nothing past the line whose reply failed was read.
    std::size_t end = 0;
    for (int i = 0; i < writes; ++i) end = input.find('\n', end) + 1;
    EXPECT_LE(io.reads, static_cast<int>(end)) << writes;
  }
}

TEST(RequestLoop, InvalidUtf8BecomesReplacementCharacters) {
  ScriptedIo io(
      "{\"op\":\"type\",\"text\":\"a\xFF"
      "b\xE2\x82"
      "c\xF0\x9F\x98\"}\n"
      "{\"op\":\"status\"}\xC0\xAF\n"
      "{\"op\":\"key\",\"key\":\"\xED\xA0\x80\"}\n");
  RecordingEventServices events;
  EXPECT_EQ(
      session(io, events),
      parsed({R"({"ready":true,"trusted":true})", R"({"ok":true})",
              R"({"ok":false,"error":"bad_json"})",
              "{\"ok\":false,\"error\":\"unknown_key:\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}"}));
  const auto posted = events.posted();
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted[0],
            "key code=0 down text=\"a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"
            "c\xEF\xBF\xBD\"");
}

TEST(RequestLoop, LoneSurrogateEscapesAreBadJson) {
  ScriptedIo io(
      "{\"op\":\"type\",\"text\":\"\\ud800\"}\n{\"op\":\"type\",\"text\":\"\\udc00x\"}\n"
      "{\"op\":\"type\",\"text\":\"\\ud83d\\ude00\"}\n");
  RecordingEventServices events;
  EXPECT_EQ(session(io, events),
            parsed({R"({"ready":true,"trusted":true})", R"({"ok":false,"error":"bad_json"})",
                    R"({"ok":false,"error":"bad_json"})", R"({"ok":true})"}));
}

TEST(RequestLoop, DeepNestingIsParsedAndAnsweredWithoutRecursion) {
  constexpr int kDepth = 100000;
  const std::string id = std::string(kDepth, '[') + std::string(kDepth, ']');
  ScriptedIo io("{\"op\":\"status\",\"id\":" + id + "}\n" + id + "\n{\"op\":\"status\"}\n");
  RecordingEventServices events;
  const Injector injector = makeInjector(events);
  runInjector(injector, io, kIn, kOut);
  EXPECT_EQ(io.lines(kOut),
            (std::vector<std::string>{
                R"({"ready":true,"trusted":true})", std::string(kEncodeFailed, 42),
                R"({"error":"bad_json","ok":false})", R"({"ok":true,"trusted":true})"}));
}

TEST(WriteLineJson, WritesOneLineOrTheFixedFallback) {
  Json deep = Json::array();
  for (int i = 0; i < 600; ++i) deep = Json::array({std::move(deep)});
  Json shallow = Json::array();
  for (std::size_t i = 2; i < kMaxReplyDepth; ++i) shallow = Json::array({std::move(shallow)});

  struct Case {
    const char* name;
    Json reply;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"plain", {{"ok", true}}, "{\"ok\":true}\n"},
      {"escapes", {{"id", "a\nb\"c"}}, "{\"id\":\"a\\nb\\\"c\"}\n"},
      {"invalid UTF-8 in a string", {{"id", "\xFF"}}, kEncodeFailed},
      {"too deep", {{"id", deep}}, kEncodeFailed},
      {"deepest allowed",
       {{"id", shallow}},
       "{\"id\":" + std::string(kMaxReplyDepth - 1, '[') + std::string(kMaxReplyDepth - 1, ']') +
           "}\n"},
  };
  for (const auto& c : cases) {
    ScriptedIo io("");
    io.writeLimit = 3;
    EXPECT_TRUE(writeLineJSON(io, kOut, c.reply)) << c.name;
    EXPECT_EQ(io.written[kOut], c.line) << c.name;
  }
  EXPECT_EQ(std::string(kEncodeFailed).size(), 43U);

  for (const int error : {EPIPE, EIO}) {
    ScriptedIo closed;
    closed.closeAfter(kOut, 0, error);
    EXPECT_FALSE(writeLineJSON(closed, kOut, {{"ok", true}})) << error;
  }
}

}  // namespace
}  // namespace vexel::input
