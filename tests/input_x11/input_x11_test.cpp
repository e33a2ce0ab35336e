#include <gtest/gtest.h>
#include <unicode/unistr.h>
#include <xcb/xcb.h>
// xcb/xkb.h names a field "explicit"; renamed while it is read, as Qt does.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "input/keycodes.h"
#include "testing/x_client.h"
#include "testing/x_server.h"

namespace vexel::testing {
namespace {

using Json = nlohmann::json;

std::string utf8(char32_t cp) {
  std::string s;
  return icu::UnicodeString(static_cast<UChar32>(cp)).toUTF8String(s);
}

// A focused full-screen window that records what reaches it and decodes key
// presses as toolkits do: the server's XKB keymap, fetched again whenever it
// changes, and the event's modifier state give the keysym and its character.
class TestWindow : public XClient {
 public:
  explicit TestWindow(const std::string& display) : XClient(display) {
    xcb_connection_t* conn_ = connection;
    EXPECT_TRUE(xkb_x11_setup_xkb_extension(
        conn_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
        XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbEvent_, nullptr));
    keyboard_ = xkb_x11_get_core_keyboard_device_id(conn_);
    constexpr std::uint16_t kEvents =
        XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    xcb_xkb_select_events(conn_, static_cast<xcb_xkb_device_spec_t>(keyboard_), kEvents, 0, kEvents,
                          0xff, 0xff, nullptr);
    loadKeymap();
    window_ = xcb_generate_id(conn_);
    const std::uint32_t values[] = {
        1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
               XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION};
    xcb_create_window(conn_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                      screen->width_in_pixels, screen->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(conn_, window_);
    sync();
    xcb_set_input_focus(conn_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    sync();
    reader_ = std::thread([this] { read(); });
  }
  ~TestWindow() {
    // A message to ourselves ends the reader.
    xcb_client_message_event_t stop{};
    stop.response_type = XCB_CLIENT_MESSAGE;
    stop.format = 32;
    stop.window = window_;
    xcb_send_event(connection, 0, window_, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&stop));
    xcb_flush(connection);
    reader_.join();
    xcb_destroy_window(connection, window_);
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
  }

  // Waits until the recorded events satisfy `done`, up to two seconds.
  bool waitFor(
      const std::function<bool(const std::vector<std::string>&, const std::string&)>& done) {
    sync();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(2), [&] { return done(events_, text_); });
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void clear() {
    sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(mutex_);
    events_.clear();
    text_.clear();
  }

 private:
  void loadKeymap() {
    xkb_keymap* map = xkb_x11_keymap_new_from_device(context_, connection, keyboard_,
                                                     XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(map, nullptr);
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    keymap_ = map;
    state_ = xkb_state_new(keymap_);
  }

  xkb_keysym_t keysymOf(xcb_keycode_t code, std::uint16_t state) {
    // The low byte holds the modifiers, bits 13 and 14 the group.
    xkb_state_update_mask(state_, state & 0xFF, 0, 0, 0, 0, (state >> 13) & 3);
    return xkb_state_key_get_one_sym(state_, code);
  }

  void read() {
    while (xcb_generic_event_t* ev = xcb_wait_for_event(connection)) {
      const int type = ev->response_type & 0x7F;
      std::string entry;
      std::string typed;
      if (type == XCB_CLIENT_MESSAGE) {
        std::free(ev);
        return;
      }
      if (type == xkbEvent_) {
        loadKeymap();
      } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        auto* k = reinterpret_cast<xcb_key_press_event_t*>(ev);
        const xcb_keysym_t sym = keysymOf(k->detail, k->state);
        entry = std::string(type == XCB_KEY_PRESS ? "key+ " : "key- ") + std::to_string(sym) +
                " state=" + std::to_string(k->state & 0xFF);
        if (type == XCB_KEY_PRESS && (k->state & ~XCB_MOD_MASK_SHIFT & 0xFF) == 0) {
          if (sym == 0xff09)
            typed = "\t";
          else if (sym == 0xff0d)
            typed = "\n";
          else if (const char32_t cp = xkb_keysym_to_utf32(sym); cp >= 0x20)
            typed = utf8(cp);
        }
      } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
        auto* b = reinterpret_cast<xcb_button_press_event_t*>(ev);
        entry = std::string(type == XCB_BUTTON_PRESS ? "button+ " : "button- ") +
                std::to_string(b->detail);
      } else if (type == XCB_MOTION_NOTIFY) {
        auto* m = reinterpret_cast<xcb_motion_notify_event_t*>(ev);
        entry = "motion " + std::to_string(m->root_x) + "," + std::to_string(m->root_y) +
                " held=" + std::to_string((m->state >> 8) & 0x1F);
      }
      std::free(ev);
      std::lock_guard lock(mutex_);
      if (!entry.empty()) events_.push_back(entry);
      text_ += typed;
      changed_.notify_all();
    }
  }

  xcb_window_t window_;
  std::uint8_t xkbEvent_ = 0;
  std::int32_t keyboard_ = -1;
  // The reader thread's only, after start.
  xkb_context* context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::string text_;
  std::thread reader_;
};

class Injector {
 public:
  explicit Injector(const std::string& display)
      : child_({VEXEL_INPUT_BIN}, {"DISPLAY=" + display}) {
    std::string line;
    EXPECT_TRUE(child_.readLine(line));
    ready = Json::parse(line);
  }
  Json request(const Json& req) {
    child_.writeStdin(req.dump() + "\n");
    std::string line;
    if (!child_.readLine(line)) return Json{{"closed", true}};
    return Json::parse(line);
  }
  int finish() {
    child_.closeStdin();
    return child_.wait();
  }
  Json ready;

 private:
  ChildProcess child_;
};

const Json kOk = {{"ok", true}};

class InputX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_ = std::make_unique<PrivateXServer>();
    ASSERT_TRUE(server_->running());
    window_ = std::make_unique<TestWindow>(server_->display());
  }
  std::unique_ptr<PrivateXServer> server_;
  std::unique_ptr<TestWindow> window_;
};

TEST_F(InputX11, PointerMovesAndButtonsLand) {
  Injector in(server_->display());
  ASSERT_EQ(in.ready["trusted"], true);
  EXPECT_EQ(in.request({{"op", "move"}, {"x", 100.6}, {"y", 200.4}}), kOk);
  EXPECT_EQ(window_->pointer(), std::make_pair(101, 200));

  // Each lands where asked. A click moves the pointer there first; "down" and
  // "up" only when it is elsewhere.
  struct Case {
    Json req;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {{{"op", "click"}, {"x", 10}, {"y", 10}}, {"motion 10,10 held=0", "button+ 1", "button- 1"}},
      {{{"op", "click"}, {"x", 10}, {"y", 10}, {"button", "right"}, {"count", 2}},
       {"motion 10,10 held=0", "button+ 3", "button- 3", "button+ 3", "button- 3"}},
      {{{"op", "down"}, {"x", 10}, {"y", 10}, {"button", "middle"}}, {"button+ 2"}},
      {{{"op", "up"}, {"x", 10}, {"y", 10}, {"button", "middle"}}, {"button- 2"}},
      {{{"op", "down"}, {"x", 40}, {"y", 50}}, {"motion 40,50 held=0", "button+ 1"}},
      {{{"op", "up"}, {"x", 60}, {"y", 70}}, {"motion 60,70 held=1", "button- 1"}},
  };
  for (const auto& c : cases) {
    window_->clear();
    EXPECT_EQ(in.request(c.req), kOk) << c.req;
    window_->waitFor([&](const auto& ev, const auto&) { return ev.size() >= c.events.size(); });
    EXPECT_EQ(window_->events(), c.events) << c.req;
  }

  window_->clear();
  EXPECT_EQ(in.request({{"op", "drag"}, {"fromX", 20}, {"fromY", 30}, {"toX", 260}, {"toY", 150}}),
            kOk);
  window_->waitFor(
      [](const auto& ev, const auto&) { return !ev.empty() && ev.back() == "button- 1"; });
  const auto ev = window_->events();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back(), "button- 1");
  const long heldMotions = std::count_if(ev.begin(), ev.end(), [](const std::string& e) {
    return e.starts_with("motion") && e.ends_with("held=1");
  });
  EXPECT_GE(heldMotions, 10);
  EXPECT_EQ(window_->pointer(), std::make_pair(260, 150));
  EXPECT_TRUE(window_->nothingHeld());
}

TEST_F(InputX11, ScrollTurnsPixelsIntoWheelClicksAndKeepsTheRest) {
  Injector in(server_->display());
  struct Step {
    double dx, dy;
    int button, clicks;
  };
  // 30 pixels make one wheel click; what is left waits for the next scroll.
  const Step steps[] =
      {
          {0, 90, 4, 3},  {0, -30, 5, 1}, {60, 0, 6, 2}, {-45, 0, 7, 1},
          {-15, 0, 7, 1}, {0, 10, 4, 0},  {0, 10, 4, 0}, {0, 10, 4, 1},
          {0, 20, 4, 0},  {0, -40, 5, 1},  // a change of direction drops what was left
      };
  for (const Step& s : steps) {
    window_->clear();
    EXPECT_EQ(in.request({{"op", "scroll"}, {"x", 50}, {"y", 60}, {"dx", s.dx}, {"dy", s.dy}}),
              kOk);
    // The move, the wheel's own place, then each click pressed and released.
    std::vector<std::string> expected(2, "motion 50,60 held=0");
    for (int i = 0; i < s.clicks; ++i) {
      expected.push_back("button+ " + std::to_string(s.button));
      expected.push_back("button- " + std::to_string(s.button));
    }
    window_->waitFor([&](const auto& ev, const auto&) { return ev.size() >= expected.size(); });
    EXPECT_EQ(window_->events(), expected) << s.dx << "," << s.dy;
  }
  EXPECT_EQ(window_->pointer(), std::make_pair(50, 60));
}

// The X keysym each key name must reach a client as, written out here and not
// taken from the provider, so a wrong entry of its key table shows.
std::uint32_t expectedKeysym(const std::string& name) {
  if (name.size() == 1) return static_cast<unsigned char>(name[0]);  // letters, digits, marks
  if (name[0] == 'f' && name.size() <= 3) return 0xffbe + std::stoi(name.substr(1)) - 1;
  static const std::map<std::string, std::uint32_t> kNamed = {
      {"enter", 0xff0d},       {"return", 0xff0d},     {"esc", 0xff1b},
      {"escape", 0xff1b},      {"tab", 0xff09},        {"space", ' '},
      {"backspace", 0xff08},   {"delete", 0xffff},     {"forward_delete", 0xffff},
      {"arrow_up", 0xff52},    {"arrow_down", 0xff54}, {"arrow_left", 0xff51},
      {"arrow_right", 0xff53}, {"up", 0xff52},         {"down", 0xff54},
      {"left", 0xff51},        {"right", 0xff53},      {"home", 0xff50},
      {"end", 0xff57},         {"pageup", 0xff55},     {"pagedown", 0xff56},
  };
  const auto found = kNamed.find(name);
  return found != kNamed.end() ? found->second : 0;
}

TEST_F(InputX11, EveryNamedKeyReachesTheClientAsItsKeysymWithItsModifiers) {
  constexpr int kShift = 1, kControl = 4, kAlt = 8, kSuper = 64;
  struct Case {
    std::string key;
    std::vector<std::string> mods;
    std::uint32_t keysym;
    int state;
  };
  std::vector<Case> cases;
  for (const auto& entry : input::KEYCODES) {
    const std::string name(entry.name);
    cases.push_back({name, {}, expectedKeysym(name), 0});
    ASSERT_NE(cases.back().keysym, 0U) << "no keysym written down for " << name;
  }
  cases.push_back({"t", {"ctrl", "shift"}, 'T', kControl | kShift});
  cases.push_back({"a", {"cmd"}, 'a', kSuper});
  cases.push_back({"z", {"cmd", "shift", "alt"}, 'Z', kSuper | kShift | kAlt});
  cases.push_back({"7", {"shift"}, '&', kShift});

  Injector in(server_->display());
  window_->clear();
  std::vector<std::string> wanted;
  for (const auto& c : cases) {
    EXPECT_EQ(in.request({{"op", "key"}, {"key", c.key}, {"modifiers", c.mods}}), kOk) << c.key;
    wanted.push_back(c.key + ": key+ " + std::to_string(c.keysym) +
                     " state=" + std::to_string(c.state));
  }
  // Presses of the keys themselves, modifiers left out, in the order sent.
  const auto keyPresses = [](const std::vector<std::string>& events) {
    std::vector<std::string> presses;
    for (const auto& e : events) {
      if (!e.starts_with("key+ ")) continue;
      const unsigned long sym = std::stoul(e.substr(5));
      if (sym < 0xffe1 || sym > 0xffee) presses.push_back(e);
    }
    return presses;
  };
  window_->waitFor(
      [&](const auto& ev, const auto&) { return keyPresses(ev).size() >= cases.size(); });
  const std::vector<std::string> got = keyPresses(window_->events());
  ASSERT_EQ(got.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].key + ": " + got[i], wanted[i]);
  }
  EXPECT_TRUE(window_->nothingHeld());
}

TEST_F(InputX11, TypesExactUnicodeAndGivesTheSpareKeysBack) {
  const XClient::Keymap before = window_->keymap();
  std::string many;  // more distinct characters off the keymap than there are spare keycodes
  for (int round = 0; round < 3; ++round) {
    for (char32_t cp = 0x4E00; cp < 0x4E00 + 60; ++cp) many += utf8(cp);
    many += " ✓🙂ß ";
  }
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"héllo wörld ✓ 日本 🙂", "héllo wörld ✓ 日本 🙂"},
      {"Plain ASCII: {x} = [1, 2]; ~!@#$%^&*()_+|\"'<>?",
       "Plain ASCII: {x} = [1, 2]; ~!@#$%^&*()_+|\"'<>?"},
      {"tab\there\r\nline two\rthree\n", "tab\there\nline two\nthree\n"},
      {"cafe\u0301 n\u0303 \U0001F44D\U0001F3FD", "cafe\u0301 n\u0303 \U0001F44D\U0001F3FD"},
      {many, many},
  };
  {
    Injector in(server_->display());
    for (int run = 0; run < 2; ++run) {
      for (const auto& [sent, expected] : texts) {
        window_->clear();
        EXPECT_EQ(in.request({{"op", "type"}, {"text", sent}}), kOk);
        window_->waitFor(
            [&](const auto&, const std::string& t) { return t.size() >= expected.size(); });
        EXPECT_EQ(window_->text(), expected);
        EXPECT_TRUE(window_->nothingHeld());
      }
    }
    EXPECT_NE(window_->keymap(), before);
    EXPECT_EQ(in.finish(), 0);
  }
  EXPECT_EQ(window_->keymap(), before);
  EXPECT_TRUE(window_->nothingHeld());
}

// Each row goes to a fresh program, so its first character takes the first
// spare slot; its pieces are typed one request each, and each is read by the
// window before the next is sent. Capitals whose lower case the server would
// pair with them, and capitals it leaves alone, land in every slot: each
// rotation puts every letter one slot further.
TEST_F(InputX11, CapitalsOffTheKeymapArriveAsThemselvesInEverySlot) {
  const std::vector<std::string> capitals = {"É", "Ä", "Ö", "Ñ", "Ω", "Ж", "Ǎ", "ẞ"};
  std::vector<std::vector<std::string>> rows = {
      {"Émile\n"}, {"Ärger über Öl"}, {"é", "É"}, {"É", "é"}};
  for (std::size_t shift = 0; shift < capitals.size(); ++shift) {
    std::vector<std::string> rotated;
    for (std::size_t i = 0; i < capitals.size(); ++i) {
      rotated.push_back(capitals[(i + shift) % capitals.size()]);
    }
    rows.push_back(rotated);
  }
  for (const auto& pieces : rows) {
    Injector in(server_->display());
    window_->clear();
    std::string typed;
    for (const std::string& piece : pieces) {
      EXPECT_EQ(in.request({{"op", "type"}, {"text", piece}}), kOk) << piece;
      typed += piece;
      window_->waitFor([&](const auto&, const std::string& t) { return t.size() >= typed.size(); });
    }
    EXPECT_EQ(window_->text(), typed);
    EXPECT_EQ(in.finish(), 0);
  }
}

// A host may start us with stdout closed. The X connection must not take its
// number, or replies would go into it; the ready line fails, so nothing is typed.
TEST_F(InputX11, ClosedStdoutAtStartNeverMeetsTheXConnection) {
  ChildProcess child({"/bin/sh", "-c", "exec \"$0\" >&-", VEXEL_INPUT_BIN},
                     {"DISPLAY=" + server_->display()});
  child.writeStdin(R"({"op":"type","text":"x"})"
                   "\n");
  child.closeStdin();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.drainStderr(), "");
  EXPECT_EQ(window_->text(), "");
}

// Binds every keycode the keymap leaves free to VoidSymbol and takes F12 off
// it, so that nothing can be lent to a character or key missing from it.
void fillKeymap(const std::string& display) {
  XClient x(display);
  XClient::Keymap map = x.keymap();
  constexpr xcb_keysym_t kVoidSymbol = 0xffffff;
  constexpr xcb_keysym_t kF12 = 0xffc9;
  for (std::size_t row = 0; row < map.syms.size(); row += map.perCode) {
    const auto begin = map.syms.begin() + static_cast<long>(row);
    const auto end = begin + map.perCode;
    if (std::find(begin, end, kF12) != end) std::fill(begin, end, 0);
    if (std::all_of(begin, end, [](xcb_keysym_t k) { return k == 0; })) *begin = kVoidSymbol;
  }
  EXPECT_TRUE(x.setKeymap(map));
}

TEST_F(InputX11, WhatTheKeymapCannotMakeFailsAndLeavesNothingPressed) {
  fillKeymap(server_->display());
  Injector in(server_->display());
  struct Case {
    Json req;
    std::string typed;  // what lands before the failure stays
    long keyEvents;
  };
  const std::vector<Case> cases = {
      {{{"op", "type"}, {"text", "ab日c"}}, "ab", 4},
      {{{"op", "type"}, {"text", "x\u0007y"}}, "x", 2},  // no keysym types BEL
      {{{"op", "key"}, {"key", "f12"}, {"modifiers", {"shift"}}}, "", 0},
  };
  const Json failed = {{"ok", false}, {"error", "event_create_failed"}};
  for (const auto& c : cases) {
    window_->clear();
    EXPECT_EQ(in.request(c.req), failed) << c.req;
    const auto keyEvents = [](const auto& ev) {
      return std::count_if(ev.begin(), ev.end(),
                           [](const auto& e) { return e.starts_with("key"); });
    };
    // The releases may reach the window after the text they finish.
    window_->waitFor([&](const auto& ev, const std::string& t) {
      return t.size() >= c.typed.size() && keyEvents(ev) >= c.keyEvents;
    });
    EXPECT_EQ(window_->text(), c.typed) << c.req;
    EXPECT_EQ(keyEvents(window_->events()), c.keyEvents) << c.req;
    EXPECT_TRUE(window_->nothingHeld()) << c.req;
  }
  EXPECT_EQ(in.request({{"op", "type"}, {"text", "ok"}}), kOk);
}

// The server dies while a long text is being typed: no "ok" for it, and no
// grant from then on.
TEST_F(InputX11, AServerGoneMidRequestTakesTheGrantAway) {
  const Json notGranted = {{"op", "move"}, {"x", 1}, {"y", 1}};
  Injector in(server_->display());
  std::thread killer([&] {
    window_->waitFor([](const auto&, const std::string& t) { return !t.empty(); });
    server_->kill();
  });
  const Json cutShort = in.request({{"op", "type"}, {"text", std::string(5000, 'x')}});
  killer.join();
  EXPECT_EQ(cutShort["error"], "accessibility_not_granted") << cutShort;
  EXPECT_NE(cutShort.value("message", "").find("XTEST"), std::string::npos) << cutShort;
  EXPECT_EQ(in.request(notGranted)["error"], "accessibility_not_granted");
  EXPECT_EQ(in.request({{"op", "status"}}), Json({{"ok", true}, {"trusted", false}}));
  EXPECT_EQ(in.finish(), 0);
}

}  // namespace
}  // namespace vexel::testing
