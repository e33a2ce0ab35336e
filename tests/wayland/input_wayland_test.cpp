#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/compositor.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;
using Kind = PrivateCompositor::Kind;

// vexel-input on headless sway with one 1280x800 output. The wev window
// fills the output, so its surface coordinates are the global ones.
class InputWayland : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sway_ =
        new PrivateCompositor(Kind::kSway, "output HEADLESS-1 resolution 1280x800 position 0 0");
  }
  static void TearDownTestSuite() {
    delete sway_;
    sway_ = nullptr;
  }
  void SetUp() override {
    if (!sway_->running() || findOnPath("wev").empty())
      GTEST_SKIP() << "sway and wev (and setpriv, as root) are needed";
  }

  // wev shows a window (sway's layout gives it the whole output) and reports
  // the input it receives.
  void startProbe() {
    probe_ = std::make_unique<ChildProcess>(sway_->client({"stdbuf", "-oL", "wev"}));
    std::string line;
    bool sized = false;
    while (probe_->readLine(line, 5000)) {
      sized = sized || (line.find("configure: width: ") != std::string::npos &&
                        line.find("width: 0;") == std::string::npos);
      if (sized && line.find("xdg_surface] configure") != std::string::npos) return;
    }
    FAIL() << "the wev window did not appear";
  }
  void startInput() {
    input_ = std::make_unique<ChildProcess>(sway_->client({sway_->install(VEXEL_INPUT_BIN)}));
    std::string line;
    ASSERT_TRUE(input_->readLine(line));
    ASSERT_EQ(Json::parse(line), Json::parse(R"({"ready":true,"trusted":true})"));
  }
  void request(const std::string& line) {
    input_->writeStdin(line + "\n");
    std::string reply;
    ASSERT_TRUE(input_->readLine(reply)) << line;
    EXPECT_EQ(Json::parse(reply).value("ok", false), true) << line << " -> " << reply;
  }
  // The next event wev reports, as "motion X Y", "button CODE STATE",
  // "axis AXIS VALUE", "discrete AXIS STEPS" or "key KEYSYM MODIFIERS".
  std::optional<std::string> nextEvent() {
    std::string line;
    char text[128];
    unsigned code = 0;
    unsigned state = 0;
    int steps = 0;
    double x = 0;
    double y = 0;
    const auto say = [&](const char* format, auto... values) {
      std::snprintf(text, sizeof text, format, values...);
      return std::string(text);
    };
    while (probe_->readLine(line, 5000)) {
      const char* s = line.c_str();
      int object = 0;
      int at = 0;
      if (std::sscanf(s, "[%d: wl_pointer] %n", &object, &at) == 1 && at > 0) {
        // wev takes a pointer for each change of the seat: hear one.
        if (pointer_ == 0) pointer_ = object;
        if (object != pointer_) continue;
        s += at;
        if (std::sscanf(s, "motion: time: %*u; x, y: %lf, %lf", &x, &y) == 2 ||
            std::sscanf(s, "enter: serial: %*u; surface: %*u, x, y: %lf, %lf", &x, &y) == 2)
          return say("motion %.2f %.2f", x, y);
        if (std::sscanf(s, "button: serial: %*u; time: %*u; button: %u (%*[a-z]), state: %u", &code,
                        &state) == 2)
          return say("button %u %u", code, state);
        if (std::sscanf(s, "axis: time: %*u; axis: %u (%*[a-z]), value: %lf", &code, &x) == 2)
          return say("axis %u %.2f", code, x);
        if (std::sscanf(s, "%*[a-z_]: axis: %u (%*[a-z]), discrete: %d", &code, &steps) == 2)
          return say("discrete %u %d", code, steps);
      } else if (std::sscanf(s,
                             "[%*d: wl_keyboard] key: serial: %*u; time: %*u; key: %*u; state: %u",
                             &state) == 1) {
        pressed_ = state == 1;
      } else if (std::sscanf(s, " sym: %127s", text) == 1 && pressed_) {
        return "key " + std::string(text) + " " + modifiers_;
      } else if (const auto mask = line.find("depressed: "); mask != std::string::npos) {
        // "depressed: 0000000C: Control Mod1 " names the modifiers held.
        const auto names = line.find(": ", mask + 11);
        std::istringstream held(names == std::string::npos ? "" : line.substr(names + 2));
        modifiers_.clear();
        for (std::string name; held >> name;) modifiers_ += (modifiers_.empty() ? "" : "+") + name;
        if (modifiers_.empty()) modifiers_ = "-";
      }
    }
    return std::nullopt;
  }
  // The next event that starts with `prefix`.
  std::optional<std::string> nextLine(const std::string& prefix) {
    while (auto event = nextEvent()) {
      if (event->rfind(prefix, 0) == 0) return event;
    }
    return std::nullopt;
  }
  // Whether wev reports `expected` before it falls silent; events before it
  // (the pointer entering, repeated positions) are skipped.
  bool seen(const std::string& expected) {
    while (auto event = nextEvent()) {
      if (event == expected) return true;
    }
    return false;
  }
  // The next key press of a key other than a modifier.
  std::optional<std::string> nextKey() {
    while (auto line = nextLine("key ")) {
      if (line->find("_L ") == std::string::npos) return line;
    }
    return std::nullopt;
  }

  static PrivateCompositor* sway_;
  std::unique_ptr<ChildProcess> probe_;
  std::unique_ptr<ChildProcess> input_;
  int pointer_ = 0;
  bool pressed_ = false;
  std::string modifiers_ = "-";
};

PrivateCompositor* InputWayland::sway_ = nullptr;

TEST_F(InputWayland, PointerAndButtonsLandWhereAsked) {
  startProbe();
  startInput();
  const std::pair<std::string, std::string> moves[] = {
      {R"({"op":"move","x":100,"y":200})", "motion 100.00 200.00"},
      {R"({"op":"move","x":640.5,"y":399.25})", "motion 640.50 399.25"},
      {R"({"op":"move","x":1279,"y":799})", "motion 1279.00 799.00"},
      {R"({"op":"move","x":-50,"y":-7})", "motion 0.00 0.00"},
  };
  for (const auto& [req, expected] : moves) {
    request(req);
    EXPECT_TRUE(seen(expected)) << req;
  }
  const std::pair<std::string, std::vector<std::string>> clicks[] = {
      {R"({"op":"click","x":10,"y":20})", {"button 272 1", "button 272 0"}},
      {R"({"op":"click","x":10,"y":20,"button":"right"})", {"button 273 1", "button 273 0"}},
      {R"({"op":"click","x":10,"y":20,"button":"middle","count":2})",
       {"button 274 1", "button 274 0", "button 274 1", "button 274 0"}},
      {R"({"op":"drag","fromX":30,"fromY":40,"toX":150,"toY":100})",
       {"button 272 1", "button 272 0"}},
  };
  for (const auto& [req, expected] : clicks) {
    request(req);
    for (const std::string& line : expected) EXPECT_EQ(nextLine("button"), line) << req;
  }
}

TEST_F(InputWayland, ScrollGoesTheWayMacOSScrolls) {
  startProbe();
  startInput();
  // A positive dy scrolls up: negative on the wire, one step per 30 pixels.
  const std::pair<std::string, std::vector<std::string>> scrolls[] = {
      {R"({"op":"scroll","x":300,"y":300,"dy":60})", {"discrete 0 -2", "axis 0 -60.00"}},
      {R"({"op":"scroll","x":300,"y":300,"dy":-30})", {"discrete 0 1", "axis 0 30.00"}},
      {R"({"op":"scroll","x":300,"y":300,"dx":30})", {"discrete 1 -1", "axis 1 -30.00"}},
  };
  for (const auto& [req, expected] : scrolls) {
    request(req);
    EXPECT_EQ(nextLine("discrete"), expected[0]) << req;
    EXPECT_EQ(nextLine("axis"), expected[1]) << req;
  }
}

TEST_F(InputWayland, KeysCarryTheirModifiersAndNothingStaysPressed) {
  startProbe();
  startInput();
  const std::pair<std::string, std::string> keys[] = {
      {R"({"op":"key","key":"a"})", "key a -"},
      {R"({"op":"key","key":"a","modifiers":["shift"]})", "key A Shift"},
      {R"({"op":"key","key":"T","modifiers":["ctrl","alt"]})", "key t Control+Mod1"},
      {R"({"op":"key","key":"f5","modifiers":["cmd"]})", "key F5 Mod4"},
      {R"({"op":"key","key":"enter"})", "key Return -"},
      {R"({"op":"key","key":"backspace"})", "key BackSpace -"},
      {R"({"op":"key","key":"up"})", "key Up -"},
      {R"({"op":"key","key":"down"})", "key Down -"},
      {R"({"op":"key","key":"left"})", "key Left -"},
  };
  for (const auto& [req, expected] : keys) {
    request(req);
    EXPECT_EQ(nextKey(), expected) << req;
  }
  // A character no key can type ends the request there, and says so.
  input_->writeStdin(R"({"op":"type","text":"x\u0007y"})"
                     "\n");
  std::string reply;
  ASSERT_TRUE(input_->readLine(reply));
  EXPECT_EQ(Json::parse(reply), Json::parse(R"({"ok":false,"error":"event_create_failed"})"));
  EXPECT_EQ(nextKey(), "key x -");
  request(R"({"op":"key","key":"c"})");
  EXPECT_EQ(nextKey(), "key c -");
  // A button still held when the host goes away is released.
  request(R"({"op":"down","x":50,"y":50})");
  EXPECT_EQ(nextLine("button"), "button 272 1");
  input_->closeStdin();
  EXPECT_EQ(input_->wait(), 0);
  EXPECT_EQ(nextLine("button"), "button 272 0");
}

// Mixed text reaches a terminal byte for byte; more distinct characters than
// there are spare keys make the keymap rebind them along the way.
TEST_F(InputWayland, TypesMixedTextExactlyIntoATerminal) {
  if (findOnPath("foot").empty()) GTEST_SKIP() << "foot is needed";
  const std::string dir = sway_->runtimeDir();
  const std::string typed = dir + "/typed";
  ChildProcess foot(sway_->client(
      {"foot", "-e", "sh", "-c", "stty raw -echo; touch \"$0.ready\"; exec cat >\"$0\"", typed}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!std::filesystem::exists(typed + ".ready") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::filesystem::exists(typed + ".ready")) << "foot did not start";
  startInput();

  std::string cjk;
  for (char32_t c = 0x4e00; c < 0x4e00 + 120; ++c) {
    cjk += static_cast<char>(0xe0 | (c >> 12));
    cjk += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    cjk += static_cast<char>(0x80 | (c & 0x3f));
  }
  const std::string text =
      "Plain ASCII ~!@#$%^&*()_+{}|:\"<>? `-=[]\\;',./\tTab\n"
      "àéîõü ß Ωλ Жж 日本語 한국어 😀👍🏽 e\u0301 n\u0303 \u200d\r\n" +
      cjk + "\rend";
  request(Json{{"op", "type"}, {"text", text}}.dump());
  // The terminal reads each line break as the Return key: CR.
  std::string expected = text;
  for (std::size_t at = 0; (at = expected.find("\r\n", at)) != std::string::npos;) {
    expected.erase(at + 1, 1);
  }
  for (char& c : expected) c = c == '\n' ? '\r' : c;
  std::string got;
  while (std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10)) {
    std::ifstream file(typed, std::ios::binary);
    got.assign(std::istreambuf_iterator<char>(file), {});
    if (got.size() >= expected.size()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(got, expected);
}

// A Wayland session whose compositor lacks the protocols is refused by both
// programs, even with an X display at hand, and the reason names them.
TEST(WaylandWithoutProtocols, BothProgramsRefuseAndNameWhatIsMissing) {
  PrivateCompositor weston(Kind::kWeston);
  if (!weston.running()) GTEST_SKIP() << "weston (and setpriv, as root) is needed";
  PrivateXServer x;
  std::vector<std::string> env;
  if (x.running()) env.push_back("DISPLAY=" + x.display());

  ChildProcess input(weston.client({weston.install(VEXEL_INPUT_BIN)}, env));
  input.writeStdin("{\"op\":\"move\",\"x\":1,\"y\":1}\n{\"op\":\"status\"}\n");
  input.closeStdin();
  std::string line;
  ASSERT_TRUE(input.readLine(line));
  EXPECT_EQ(Json::parse(line), Json::parse(R"({"ready":true,"trusted":false})"));
  ASSERT_TRUE(input.readLine(line));
  const Json refused = Json::parse(line);
  EXPECT_EQ(refused["error"], "accessibility_not_granted");
  const std::string message = refused.value("message", "");
  EXPECT_NE(message.find("zwlr_virtual_pointer_manager_v1"), std::string::npos) << message;
  EXPECT_NE(message.find("zwp_virtual_keyboard_manager_v1"), std::string::npos) << message;
  ASSERT_TRUE(input.readLine(line));
  EXPECT_EQ(Json::parse(line), Json::parse(R"({"ok":true,"trusted":false})"));
  EXPECT_EQ(input.wait(), 0);

  const std::string screencap = weston.install(VEXEL_SCREENCAP_BIN);
  for (const char* mode : {"--list-displays", "--fps"}) {
    ChildProcess run(weston.client({screencap, mode, "5"}, env));
    EXPECT_EQ(run.wait(), 1) << mode;
    EXPECT_TRUE(run.drainStderr().starts_with(
        "vexel-screencap: could not query shareable content (Screen Recording permission?): this "
        "Wayland compositor lacks the screen copy protocol (zwlr_screencopy_manager_v1)"))
        << mode;
    EXPECT_FALSE(run.readLine(line, 100)) << "nothing on stdout";
  }
}

}  // namespace
}  // namespace vexel::testing
