#include "input/keyboard.h"

#include <string>
#include <vector>

#include "tests/input/injector_fixture.h"

namespace vexel::input {
namespace {

using Keyboard = InjectorTest;
using Timeline = std::vector<std::string>;

Timeline keyPress(int code, const char* flags = "0x0") {
  const std::string c = std::to_string(code);
  return {"key code=" + c + " down flags=" + flags, "pause 2000us",
          "key code=" + c + " up flags=" + flags};
}

TEST_F(Keyboard, KeyNamesAreLowerCasedOnTheWireAndPostTheirCodes) {
  const std::vector<std::pair<const char*, int>> cases = {
      {"Enter", 36},
      {"return", 36},
      {"ESC", 53},
      {"delete", 117},
      {"forward_delete", 117},
      {"backspace", 51},
      {"A", 0},
      {"z", 6},
      {"0", 29},
      {"9", 25},
      {"F12", 111},
      {"f1", 122},
      {"PageDown", 121},
      {"Arrow_Left", 123},
      {"up", 126},
      {"space", 49},
      {"tab", 48},
      {"`", 50},
      {"\\\\", 42},
      {"'", 39},
  };
  for (const auto& [key, code] : cases) {
    const std::string request = std::string(R"({"op":"key","key":")") + key + "\"}";
    EXPECT_EQ(postedBy(request.c_str()), keyPress(code)) << request;
  }
}

TEST_F(Keyboard, ModifiersTravelAsFlagsOnBothEvents) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {R"(["Cmd","SHIFT"])", "0x120000"},
      {R"([1,"cmd",null])", "0x100000"},
      {R"("cmd")", "0x0"},
      {R"([])", "0x0"},
      {R"(["ctrl","control","alt"])", "0xc0000"},
      {R"(["option","win","meta","command"])", "0x180000"},
  };
  for (const auto& [mods, flags] : cases) {
    const std::string request = std::string(R"({"op":"key","key":"s","modifiers":)") + mods + "}";
    EXPECT_EQ(postedBy(request.c_str()), keyPress(1, flags)) << request;
  }
}

Timeline chunk(const std::string& text) {
  return {"key code=0 down text=\"" + text + "\"", "key code=0 up text=\"" + text + "\"",
          "pause 3000us"};
}

Timeline join(std::initializer_list<Timeline> parts) {
  Timeline out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Timeline enter() {
  return join({keyPress(36), {"pause 4000us"}});
}

TEST_F(Keyboard, TypeSplitsLinesIntoReturnPresses) {
  const Timeline aThenB = join({chunk("a"), enter(), chunk("b")});
  const std::vector<std::pair<const char*, Timeline>> cases = {
      {R"("")", {}},
      {R"("\n")", enter()},
      {R"("\n\n")", join({enter(), enter()})},
      {R"("\r")", enter()},
      {R"("\r\n\r\n")", join({enter(), enter()})},
      {R"("\n\r")", join({enter(), enter()})},
      {R"("a\r\nb")", aThenB},
      {R"("a\rb")", aThenB},
      {R"("a\nb")", aThenB},
      {R"("a\n")", join({chunk("a"), enter()})},
      {R"("\tx\u0007")", chunk("\tx\a")},
      {R"("caf\u00e9 \u65e5\u672c")", chunk("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC")},
  };
  for (const auto& [text, expected] : cases) {
    const std::string request = std::string(R"({"op":"type","text":)") + text + "}";
    EXPECT_EQ(postedBy(request.c_str()), expected) << request;
  }
}

// The UTF-16 lengths of the posted text chunks, one per key-down.
std::vector<int> chunkLengths(const RecordingEventServices& events) {
  std::vector<int> lengths;
  bool down = true;
  for (const auto& line : events.timeline()) {
    if (line.rfind("text#", 0) != 0) continue;
    if (down) lengths.push_back(std::stoi(line.substr(line.find(' ') + 1)));
    down = !down;
  }
  return lengths;
}

TEST_F(Keyboard, TypeChunksAtTwentyUnitsAndKeepsSurrogatePairsWhole) {
  const std::string grin = "\\ud83d\\ude00";  // U+1F600, two UTF-16 units
  struct Case {
    std::string text;
    std::vector<int> lengths;
  };
  const std::vector<Case> cases = {
      {std::string(19, 'a'), {19}},
      {std::string(20, 'a'), {20}},
      {std::string(21, 'a'), {20, 1}},
      {std::string(45, 'a'), {20, 20, 5}},
      {std::string(19, 'a') + grin + "xyz", {19, 5}},
      {std::string(18, 'a') + grin + "xyz", {20, 3}},
      {std::string(19, 'a') + grin, {19, 2}},
      {grin + grin + grin + grin + grin + grin + grin + grin + grin + grin + grin, {20, 2}},
      {std::string(30, 'a') + "\\n" + std::string(25, 'b'), {20, 10, 20, 5}},
  };
  for (const auto& c : cases) {
    const std::string request = R"({"op":"type","text":")" + c.text + "\"}";
    postedBy(request.c_str());
    EXPECT_EQ(chunkLengths(events), c.lengths) << c.text;
  }
  // The pair that moved stays whole inside its chunk.
  postedBy((R"({"op":"type","text":")" + std::string(19, 'a') + grin + "\"}").c_str());
  EXPECT_EQ(events.posted()[3], "key code=0 down text=\"\xF0\x9F\x98\x80\"");
}

TEST_F(Keyboard, FailedCreationPostsNothingOfThatKeyPress) {
  // The up event of the press fails: the down event is released unposted.
  events.failCreationNumber = 2;
  EXPECT_EQ(send(R"({"op":"key","key":"a","modifiers":["cmd"]})"),
            Json::parse(R"({"ok":false,"error":"event_create_failed"})"));
  EXPECT_EQ(events.posted(), Timeline{});

  // A text that fails at the Return press keeps the first line and drops the rest.
  events.clear();
  events.failCreationNumber = 3;
  EXPECT_EQ(send(R"({"op":"type","text":"ab\ncd"})")["error"], "event_create_failed");
  EXPECT_EQ(events.posted(), chunk("ab"));

  events.clear();
  events.failCreationNumber = 1;
  EXPECT_EQ(send(R"({"op":"type","text":"ab"})")["error"], "event_create_failed");
  EXPECT_EQ(events.posted(), Timeline{});
}

}  // namespace
}  // namespace vexel::input
