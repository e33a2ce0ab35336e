#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "common/wayland/session.h"
#include "input/platform/wayland/keymap.h"
#include "screencap/platform/wayland/orient.h"

namespace vexel {
namespace {

using input::SpareBinding;

struct XkbFree {
  void operator()(xkb_context* c) const { xkb_context_unref(c); }
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
  void operator()(xkb_state* s) const { xkb_state_unref(s); }
};

// The keymap as a client compiles it: every named key on its level, the
// spares on theirs, and each modifier key setting the mask sent beside it.
TEST(WaylandKeymap, ClientsReadEveryKeyAndModifierAsSent) {
  const std::vector<SpareBinding> spares = {{input::kFirstSpareEvdev, 0x1001f600},
                                            {input::kFirstSpareEvdev + 99, 0x1000301}};
  const std::string text = input::buildKeymap(spares);
  std::unique_ptr<xkb_context, XkbFree> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  std::unique_ptr<xkb_keymap, XkbFree> keymap(xkb_keymap_new_from_string(
      context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  ASSERT_NE(keymap, nullptr) << text;

  struct Case {
    std::uint32_t evdev;
    bool shift;
    xkb_keysym_t expected;
  };
  const Case cases[] = {
      {30, false, XKB_KEY_a},         {30, true, XKB_KEY_A},       {2, true, XKB_KEY_exclam},
      {41, true, XKB_KEY_asciitilde}, {28, false, XKB_KEY_Return}, {15, false, XKB_KEY_Tab},
      {111, false, XKB_KEY_Delete},   {88, false, XKB_KEY_F12},    {148, false, 0x1001f600},
      {247, false, 0x1000301},
  };
  for (const Case& c : cases) {
    std::unique_ptr<xkb_state, XkbFree> state(xkb_state_new(keymap.get()));
    if (c.shift) xkb_state_update_key(state.get(), input::kShiftKey.evdev + 8, XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), c.evdev + 8), c.expected)
        << "evdev " << c.evdev << (c.shift ? " with Shift" : "");
  }
  for (const input::ModifierKey& m :
       {input::kShiftKey, input::kControlKey, input::kAltKey, input::kSuperKey}) {
    std::unique_ptr<xkb_state, XkbFree> state(xkb_state_new(keymap.get()));
    xkb_state_update_key(state.get(), m.evdev + 8, XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED), m.mask)
        << "evdev " << m.evdev;
  }
}

// A 3 x 2 buffer holding 1 2 3 / 4 5 6 comes out upright for every output
// transform, with the y-invert flag applied first.
TEST(WaylandOrient, EveryTransformComesOutUpright) {
  struct Case {
    std::int32_t transform;
    bool yInvert;
    int width;
    std::vector<std::uint32_t> expected;  // rows top to bottom
  };
  const Case cases[] = {
      {0, false, 3, {1, 2, 3, 4, 5, 6}}, {1, false, 2, {4, 1, 5, 2, 6, 3}},
      {2, false, 3, {6, 5, 4, 3, 2, 1}}, {3, false, 2, {3, 6, 2, 5, 1, 4}},
      {4, false, 3, {3, 2, 1, 6, 5, 4}}, {5, false, 2, {1, 4, 2, 5, 3, 6}},
      {6, false, 3, {4, 5, 6, 1, 2, 3}}, {7, false, 2, {6, 3, 5, 2, 4, 1}},
      {0, true, 3, {4, 5, 6, 1, 2, 3}},  {1, true, 2, {1, 4, 2, 5, 3, 6}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> buffer = {1, 2, 3, 4, 5, 6};
    int width = 0;
    int height = 0;
    screencap::wlr::orientedSize(c.transform, 3, 2, width, height);
    ASSERT_EQ(width, c.width);
    std::vector<std::uint32_t> shown(6, 0);
    ASSERT_TRUE(screencap::wlr::orient(
        {reinterpret_cast<std::uint8_t*>(buffer.data()), 3, 2, 12}, PIXMAN_x8r8g8b8,
        {c.transform, c.yInvert},
        {reinterpret_cast<std::uint8_t*>(shown.data()), width, height, width * 4}));
    for (auto& pixel : shown) pixel &= 0xffffff;
    EXPECT_EQ(shown, c.expected) << "transform " << c.transform << " y-invert " << c.yInvert;
  }
}

TEST(WaylandSession, AnnouncedByEitherVariable) {
  using wayland::Session;
  struct Case {
    const char* waylandDisplay;
    const char* sessionType;
    Session expected;
  };
  const Case cases[] = {
      {"wayland-1", nullptr, Session::kWayland},
      {"wayland-1", "x11", Session::kWayland},
      {"", "wayland", Session::kWayland},
      {nullptr, "x11", Session::kX11},
      {"", "", Session::kX11},
      {nullptr, nullptr, Session::kX11},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wayland::sessionFrom(c.waylandDisplay, c.sessionType), c.expected)
        << (c.waylandDisplay ? c.waylandDisplay : "(unset)") << " / "
        << (c.sessionType ? c.sessionType : "(unset)");
  }
}

}  // namespace
}  // namespace vexel
